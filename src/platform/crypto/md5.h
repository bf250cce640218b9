// MD5 (RFC 1321) from the platform's crypto library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/crypto/hex_digest.h"

namespace warderon {

using TMd5Digest = std::array<std::uint8_t, 16>;

// Throws std::runtime_error when the crypto library fails.
TMd5Digest Md5(std::string_view data);

inline std::string Md5Hex(std::string_view data) { return HexDigest(Md5(data)); }

}  // namespace warderon

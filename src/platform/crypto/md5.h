// MD5 (RFC 1321) from the platform's crypto library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace warderon {

using TMd5Digest = std::array<std::uint8_t, 16>;

// Throws std::runtime_error when the crypto library fails.
TMd5Digest Md5(std::string_view data);

// A digest as 32 lower-case hexadecimal digits.
inline std::string HexDigest(const TMd5Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

inline std::string Md5Hex(std::string_view data) { return HexDigest(Md5(data)); }

}  // namespace warderon

// SHA-256 from the platform's crypto library (libcrypto on Linux, CNG on
// Windows), fed in pieces: a file's content is hashed as it is read.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/crypto/hex_digest.h"

namespace warderon {

using TSha256Digest = std::array<std::uint8_t, 32>;

class TSha256 {
 public:
  // Throws std::runtime_error when the crypto library fails.
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  void Add(std::string_view data);
  // The digest of what was added; the hash then starts again, empty.
  TSha256Digest Finish();

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

inline TSha256Digest Sha256(std::string_view data) {
  TSha256 hash;
  hash.Add(data);
  return hash.Finish();
}

}  // namespace warderon

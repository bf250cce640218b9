// A digest as lower-case hexadecimal digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace warderon {

template <std::size_t N>
std::string HexDigest(const std::array<std::uint8_t, N>& digest, std::size_t bytes = N) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < bytes && i < N; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace warderon

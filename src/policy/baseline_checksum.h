// The seal of a baseline section: "1" and ten upper-case hexadecimal digits
// of the MD5 digest of the salt, the upper-cased section name and every
// entry's name=value text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace warderon {

// Chosen once and never to change: every stored checksum depends on it.
// Positive, 19 decimal digits.
constexpr std::int64_t ChecksumSalt = 7302419658130274561;

// The digest reads the checksum text as UTF-8 bytes.
class TBaselineChecksum {
 public:
  void ChecksumBegin();
  void ChecksumAppend(std::string_view text);
  std::string ChecksumFinish() const;

 private:
  std::string text_;
};

}  // namespace warderon

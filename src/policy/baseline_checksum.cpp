#include "policy/baseline_checksum.h"

#include "platform/crypto/md5.h"

namespace warderon {

void TBaselineChecksum::ChecksumBegin() { text_ = std::to_string(ChecksumSalt); }

void TBaselineChecksum::ChecksumAppend(std::string_view text) { text_.append(text); }

std::string TBaselineChecksum::ChecksumFinish() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const TMd5Digest digest = Md5(text_);
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  // The first digit is dropped and the next ten follow the "1".
  std::string checksum = "1";
  checksum.append(hex, 1, 10);
  return checksum;
}

}  // namespace warderon

#include "platform/crypto/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace warderon {
namespace {

std::string Hex(const TMd5Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const auto byte : digest) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
  }
  return out;
}

TEST(Md5, MatchesTheRfc1321TestSuite) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, expected] : vectors) {
    EXPECT_EQ(Hex(Md5(input)), expected) << "input: \"" << input << "\"";
  }
}

TEST(Md5, HashesBytesAfterAnEmbeddedNul) { EXPECT_NE(Md5(std::string("a\0b", 3)), Md5("a")); }

}  // namespace
}  // namespace warderon

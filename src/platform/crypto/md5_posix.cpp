#include <openssl/evp.h>

#include <stdexcept>

#include "platform/crypto/md5.h"

namespace warderon {

TMd5Digest Md5(std::string_view data) {
  TMd5Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("MD5: the OpenSSL digest failed");
  }
  return digest;
}

}  // namespace warderon

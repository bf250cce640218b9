#include <openssl/evp.h>

#include <stdexcept>

#include "platform/crypto/sha256.h"

namespace warderon {

struct TSha256::TState {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~TState() { EVP_MD_CTX_free(context); }
  void Start() {
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
      throw std::runtime_error("SHA-256: the OpenSSL digest failed");
    }
  }
};

TSha256::TSha256() : state_(std::make_unique<TState>()) { state_->Start(); }
TSha256::~TSha256() = default;

void TSha256::Add(std::string_view data) {
  if (EVP_DigestUpdate(state_->context, data.data(), data.size()) != 1) {
    throw std::runtime_error("SHA-256: the OpenSSL digest failed");
  }
}

TSha256Digest TSha256::Finish() {
  TSha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("SHA-256: the OpenSSL digest failed");
  }
  state_->Start();
  return digest;
}

}  // namespace warderon

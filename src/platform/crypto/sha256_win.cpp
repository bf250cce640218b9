#include "platform/win/win_support.h"

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "platform/crypto/sha256.h"

namespace warderon {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

[[noreturn]] void Fail() { throw std::runtime_error("SHA-256: the BCrypt digest failed"); }

}  // namespace

struct TSha256::TState {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~TState() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  void Start() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    hash = nullptr;
    if (!Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) Fail();
  }
};

TSha256::TSha256() : state_(std::make_unique<TState>()) {
  if (!Succeeded(
          BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    Fail();
  }
  state_->Start();
}
TSha256::~TSha256() = default;

void TSha256::Add(std::string_view data) {
  // CNG takes at most 4 GiB a call.
  while (!data.empty()) {
    const auto piece = static_cast<ULONG>(std::min<std::size_t>(data.size(), 1U << 30));
    if (!Succeeded(BCryptHashData(
            state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), piece, 0))) {
      Fail();
    }
    data.remove_prefix(piece);
  }
}

TSha256Digest TSha256::Finish() {
  TSha256Digest digest{};
  if (!Succeeded(
          BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    Fail();
  }
  state_->Start();
  return digest;
}

}  // namespace warderon

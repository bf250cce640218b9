#include "platform/win/win_support.h"

#include <bcrypt.h>

#include <stdexcept>

#include "platform/crypto/md5.h"

namespace warderon {
namespace {

struct TAlgorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  ~TAlgorithm() {
    if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
  }
};

struct THash {
  BCRYPT_HASH_HANDLE handle = nullptr;
  ~THash() {
    if (handle != nullptr) BCryptDestroyHash(handle);
  }
};

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

TMd5Digest Md5(std::string_view data) {
  TAlgorithm algorithm;
  THash hash;
  TMd5Digest digest{};
  if (!Succeeded(
          BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_MD5_ALGORITHM, nullptr, 0)) ||
      !Succeeded(BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0)) ||
      !Succeeded(BCryptHashData(hash.handle,
                                reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                static_cast<ULONG>(data.size()), 0)) ||
      !Succeeded(
          BCryptFinishHash(hash.handle, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw std::runtime_error("MD5: the BCrypt digest failed");
  }
  return digest;
}

}  // namespace warderon

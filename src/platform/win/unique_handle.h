// One move-only owner for every kind of OS handle; a traits struct per close
// function names the invalid value and how to close.
#pragma once

#include "platform/win/win_support.h"

namespace warderon::win {

template <class TTraits>
class TUniqueHandle {
 public:
  using THandle = typename TTraits::THandle;

  TUniqueHandle() = default;
  explicit TUniqueHandle(THandle handle) : handle_(handle) {}
  ~TUniqueHandle() { Reset(); }
  TUniqueHandle(TUniqueHandle&& other) noexcept : handle_(other.Release()) {}
  TUniqueHandle& operator=(TUniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TUniqueHandle(const TUniqueHandle&) = delete;
  TUniqueHandle& operator=(const TUniqueHandle&) = delete;

  THandle Get() const { return handle_; }
  bool Valid() const { return handle_ != TTraits::Invalid(); }
  THandle Release() {
    THandle handle = handle_;
    handle_ = TTraits::Invalid();
    return handle;
  }
  void Reset(THandle handle = TTraits::Invalid()) {
    if (Valid()) TTraits::Close(handle_);
    handle_ = handle;
  }
  // For out-parameters of creating calls: closes the current handle first.
  THandle* Receive() {
    Reset();
    return &handle_;
  }

 private:
  THandle handle_ = TTraits::Invalid();
};

struct TRegKeyTraits {
  using THandle = HKEY;
  static THandle Invalid() { return nullptr; }
  static void Close(THandle key) { RegCloseKey(key); }
};
using TRegKey = TUniqueHandle<TRegKeyTraits>;

struct TServiceHandleTraits {
  using THandle = SC_HANDLE;
  static THandle Invalid() { return nullptr; }
  static void Close(THandle handle) { CloseServiceHandle(handle); }
};
using TServiceHandle = TUniqueHandle<TServiceHandleTraits>;

struct TKernelHandleTraits {
  using THandle = HANDLE;
  static THandle Invalid() { return nullptr; }
  static void Close(THandle handle) { CloseHandle(handle); }
};
using TKernelHandle = TUniqueHandle<TKernelHandleTraits>;

// A file's handle is invalid as INVALID_HANDLE_VALUE, not as null.
struct TFileHandleTraits {
  using THandle = HANDLE;
  static THandle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(THandle handle) { CloseHandle(handle); }
};
using TFileHandle = TUniqueHandle<TFileHandleTraits>;

struct TLibraryTraits {
  using THandle = HMODULE;
  static THandle Invalid() { return nullptr; }
  static void Close(THandle module) { FreeLibrary(module); }
};
using TLibrary = TUniqueHandle<TLibraryTraits>;

// A function of a library loaded at run time, or null when the library or
// the function is missing.
template <class TFunction>
TFunction LookUpFunction(HMODULE module, const char* name) {
  return module == nullptr
             ? nullptr
             : reinterpret_cast<TFunction>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace warderon::win

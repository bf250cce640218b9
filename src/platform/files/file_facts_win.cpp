#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/files/file_facts.h"

namespace warderon {
namespace {

using win::Narrow;
using win::TKernelHandle;
using win::Widen;

constexpr DWORD kComparedAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::int64_t Nanoseconds(std::int64_t file_time) {
  return (file_time - 116444736000000000LL) * 100;  // from 1601 in 100 ns
}
std::int64_t Nanoseconds(const FILETIME& time) {
  return Nanoseconds(
      static_cast<std::int64_t>((ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime));
}

std::string SidText(PSID sid) {
  if (sid == nullptr) return "";
  LPWSTR text = nullptr;
  if (ConvertSidToStringSidW(sid, &text) == FALSE) return "";
  std::string result = Narrow(text);
  LocalFree(text);
  return result;
}

struct TLocalMemory {
  PSECURITY_DESCRIPTOR memory = nullptr;
  ~TLocalMemory() {
    if (memory != nullptr) LocalFree(memory);
  }
};

}  // namespace

std::optional<TFileFacts> ReadFileFacts(const std::string& path, std::string& error) {
  // A link is looked at itself, never followed.
  const TKernelHandle file(CreateFileW(
      Widen(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.Valid() || GetFileInformationByHandle(file.Get(), &info) == FALSE) {
    error = win::SystemMessage(GetLastError());
    return std::nullopt;
  }
  TFileFacts facts;
  facts.volume = info.dwVolumeSerialNumber;
  facts.file_id = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  facts.last_write = Nanoseconds(info.ftLastWriteTime);
  facts.size = (ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.mode = info.dwFileAttributes & kComparedAttributes;
  facts.links = info.nNumberOfLinks;
  facts.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof basic) != FALSE) {
    facts.status_changed =
        basic.ChangeTime.QuadPart == 0 ? 0 : Nanoseconds(basic.ChangeTime.QuadPart);
  }
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;
  TLocalMemory descriptor;
  if (GetSecurityInfo(
          file.Get(), SE_FILE_OBJECT,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &owner, &group, &dacl, nullptr, &descriptor.memory) == ERROR_SUCCESS) {
    facts.owner = SidText(owner);
    facts.group = SidText(group);
    TSha256 hash;
    if (owner != nullptr) {
      hash.Add({static_cast<const char*>(owner), GetLengthSid(owner)});
    }
    hash.Add(std::string_view("\0", 1));
    if (dacl != nullptr) hash.Add({reinterpret_cast<const char*>(dacl), dacl->AclSize});
    const TSha256Digest digest = hash.Finish();
    std::memcpy(&facts.security, digest.data(), sizeof facts.security);
    if (facts.security == 0) facts.security = 1;
  }
  return facts;
}

std::string AccountText(const std::string& account, bool) {
  PSID sid = nullptr;
  if (ConvertStringSidToSidW(Widen(account).c_str(), &sid) == FALSE) return account;
  wchar_t name[256] = {};
  wchar_t domain[256] = {};
  DWORD name_length = 256;
  DWORD domain_length = 256;
  SID_NAME_USE use{};
  const bool found =
      LookupAccountSidW(nullptr, sid, name, &name_length, domain, &domain_length, &use) != FALSE;
  LocalFree(sid);
  if (!found) return account;
  return domain_length > 0 ? Narrow(domain) + "\\" + Narrow(name) : Narrow(name);
}

std::string ModeText(std::uint32_t mode) {
  std::string text;
  if (mode & FILE_ATTRIBUTE_READONLY) text += 'R';
  if (mode & FILE_ATTRIBUTE_HIDDEN) text += 'H';
  if (mode & FILE_ATTRIBUTE_SYSTEM) text += 'S';
  return text.empty() ? "-" : text;
}

struct TContentDigest::TState {
  TKernelHandle file;
  TSha256 hash;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::int64_t last_write = 0;
  bool changed = false;
};

TContentDigest::TContentDigest() = default;
TContentDigest::~TContentDigest() = default;

bool TContentDigest::Open(const std::string& path, std::string& error) {
  state_.reset();
  TKernelHandle file(
      CreateFileW(Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.Valid() || GetFileInformationByHandle(file.Get(), &info) == FALSE) {
    error = win::SystemMessage(GetLastError());
    return false;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    error = "a link or a directory";
    return false;
  }
  state_ = std::make_unique<TState>();
  state_->file = std::move(file);
  state_->size = (ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  state_->last_write = Nanoseconds(info.ftLastWriteTime);
  return true;
}

std::uint64_t TContentDigest::Read(std::uint64_t budget, std::string& error) {
  if (!state_) return 0;
  constexpr std::size_t kSlice = 1 << 20;
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::uint64_t read_now = 0;
  while (read_now < budget && state_->offset < state_->size) {
    const auto want = static_cast<DWORD>(
        std::min<std::uint64_t>({kSlice, budget - read_now, state_->size - state_->offset}));
    if (want > capacity) {
      buffer.reset(new char[want]);
      capacity = want;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(state_->offset);
    at.OffsetHigh = static_cast<DWORD>(state_->offset >> 32);
    DWORD got = 0;
    if (ReadFile(state_->file.Get(), buffer.get(), want, &got, &at) == FALSE) {
      const DWORD code = GetLastError();
      if (code != ERROR_HANDLE_EOF) {
        error = win::SystemMessage(code);
        state_.reset();
        return read_now;
      }
    }
    if (got == 0) {
      state_->changed = true;
      state_->size = state_->offset;
      break;
    }
    state_->hash.Add(std::string_view(buffer.get(), got));
    state_->offset += got;
    read_now += got;
  }
  return read_now;
}

bool TContentDigest::Done() const { return !state_ || state_->offset >= state_->size; }

std::uint64_t TContentDigest::Remaining() const {
  return state_ && state_->size > state_->offset ? state_->size - state_->offset : 0;
}

bool TContentDigest::ChangedWhileRead() const {
  if (!state_) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return state_->changed || GetFileInformationByHandle(state_->file.Get(), &info) == FALSE ||
         ((ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow) != state_->size ||
         Nanoseconds(info.ftLastWriteTime) != state_->last_write;
}

TSha256Digest TContentDigest::Finish() {
  TSha256Digest digest{};
  if (state_) digest = state_->hash.Finish();
  state_.reset();
  return digest;
}

void TContentDigest::Close() { state_.reset(); }

}  // namespace warderon

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "platform/files/atomic_file.h"
#include "platform/files/temporary_file.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

// SYSTEM and Administrators: full control, for the folder and all it holds;
// nothing inherited from above ("P").
constexpr wchar_t kPrivateFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

struct TLocalMemoryTraits {
  using THandle = PSECURITY_DESCRIPTOR;
  static THandle Invalid() { return nullptr; }
  static void Close(THandle memory) { LocalFree(memory); }
};
using TSecurityDescriptor = win::TUniqueHandle<TLocalMemoryTraits>;

[[noreturn]] void Fail(const std::string& what, DWORD error) {
  throw std::runtime_error(win::ErrorText(what, error));
}

TSecurityDescriptor PrivateDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderSddl, SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE) {
    Fail("build the folder's access rights", GetLastError());
  }
  return TSecurityDescriptor(descriptor);
}

// Creates each missing folder for SYSTEM and Administrators only, and gives
// the last one those rights even when it already existed (an earlier
// release let it inherit the rights of the drive).
void PrepareFolder(const std::wstring& folder) {
  if (folder.empty()) return;
  const TSecurityDescriptor descriptor = PrivateDescriptor();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.Get(), FALSE};
  for (std::size_t end = folder.find(L'\\', 3);; end = folder.find(L'\\', end + 1)) {
    const std::wstring part = folder.substr(0, end);
    if (CreateDirectoryW(part.c_str(), &attributes) == FALSE &&
        GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_ACCESS_DENIED) {
      Fail("create folder '" + win::Narrow(part) + "'", GetLastError());
    }
    if (end == std::wstring::npos) break;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted);
  std::wstring name = folder;
  const DWORD set = SetNamedSecurityInfoW(
      name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  if (set != ERROR_SUCCESS) Fail("protect folder '" + win::Narrow(folder) + "'", set);
}

using TFile = win::TFileHandle;

class TWinTemporaryFile final : public TTemporaryFile {
 public:
  explicit TWinTemporaryFile(std::wstring target)
      : target_(std::move(target)), path_(target_ + L".new") {
    DeleteFileW(path_.c_str());  // a stale one; CREATE_NEW refuses anything put there meanwhile
    file_.Reset(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file_.Valid()) Fail("create '" + win::Narrow(path_) + "'", GetLastError());
  }
  ~TWinTemporaryFile() override {
    file_.Reset();
    if (!kept_) DeleteFileW(path_.c_str());
  }
  TWinTemporaryFile(const TWinTemporaryFile&) = delete;
  TWinTemporaryFile& operator=(const TWinTemporaryFile&) = delete;

  void Write(std::string_view text) override {
    while (!text.empty()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 20));
      if (WriteFile(file_.Get(), text.data(), chunk, &written, nullptr) == FALSE || written == 0) {
        Fail("write '" + win::Narrow(path_) + "'", GetLastError());
      }
      text.remove_prefix(written);
    }
  }
  void Finish() override {
    if (FlushFileBuffers(file_.Get()) == FALSE) {
      Fail("flush '" + win::Narrow(path_) + "'", GetLastError());
    }
    file_.Reset();
    if (MoveFileExW(path_.c_str(), target_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
      Fail("replace '" + win::Narrow(target_) + "'", GetLastError());
    }
    kept_ = true;
  }

 private:
  std::wstring target_;
  std::wstring path_;
  TFile file_;
  bool kept_ = false;
};

}  // namespace

void PrepareServiceFolder(const std::string& folder) { PrepareFolder(win::Widen(folder)); }

std::unique_ptr<TTemporaryFile> CreateTemporaryFileFor(const std::string& path,
                                                       TFileAccess access) {
  std::wstring target = win::Widen(path);
  const auto separator = target.find_last_of(L"\\/");
  // A file for every reader takes the rights of its folder, which is left
  // as it is.
  if (access == TFileAccess::ServiceOnly && separator != std::wstring::npos && separator > 2) {
    PrepareFolder(target.substr(0, separator));
  }
  return std::make_unique<TWinTemporaryFile>(std::move(target));
}

std::FILE* OpenFileForReading(const std::string& path) {
  const std::wstring wide = win::Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EISDIR;
    return nullptr;
  }
  return _wfopen(wide.c_str(), L"rb");
}

}  // namespace warderon

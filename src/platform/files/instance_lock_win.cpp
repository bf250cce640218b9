#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <string>

#include "platform/files/instance_lock.h"

namespace warderon {
namespace {

class TSharedFileInstanceLock final : public TInstanceLock {
 public:
  explicit TSharedFileInstanceLock(win::TFileHandle file) : file_(std::move(file)) {}

 private:
  win::TFileHandle file_;  // open for writing and shared for reading only
};

// The process id the holder wrote, as text ("" when there is none).
std::string HolderOf(const std::wstring& path) {
  const win::TFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return "";
  char text[32] = {};
  DWORD got = 0;
  if (ReadFile(file.Get(), text, sizeof text - 1, &got, nullptr) == FALSE) return "";
  std::string holder(text, got);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\r')) holder.pop_back();
  return holder.find_first_not_of("0123456789") == std::string::npos ? holder : "";
}

}  // namespace

std::unique_ptr<TInstanceLock> LockInstance(const std::string& path) {
  const std::wstring wide = win::Widen(path);
  // Another process may read the file, never open it for writing: a second
  // watchdog's open fails with a sharing violation.
  win::TFileHandle file(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      const std::string holder = HolderOf(wide);
      throw TInstanceLockError("another watchdog" +
                               (holder.empty() ? std::string() : " (process " + holder + ")") +
                               " runs on this store; its lock is " + path);
    }
    throw TInstanceLockError(win::ErrorText("make the lock file " + path, error));
  }
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
  DWORD written = 0;
  SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file.Get());
  WriteFile(file.Get(), pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
  return std::make_unique<TSharedFileInstanceLock>(std::move(file));
}

}  // namespace warderon

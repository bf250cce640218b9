#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "platform/files/append_file.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(win::ErrorText(what, GetLastError()));
}

class TWinAppendFile final : public TAppendFile {
 public:
  explicit TWinAppendFile(std::string path) : path_(std::move(path)) {
    // Never through a reparse point planted at the name.
    // Others may read it (-status, a reload) and rename or replace it (the
    // rewrite); no one else writes it.
    file_.Reset(CreateFileW(win::Widen(path_).c_str(), FILE_APPEND_DATA | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file_.Valid()) Fail("open '" + path_ + "'");
  }

  void Append(std::string_view bytes) override {
    LARGE_INTEGER end{};
    if (SetFilePointerEx(file_.Get(), end, nullptr, FILE_END) == FALSE)
      Fail("seek '" + path_ + "'");
    while (!bytes.empty()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 30));
      if (WriteFile(file_.Get(), bytes.data(), chunk, &written, nullptr) == FALSE || written == 0) {
        Fail("append to '" + path_ + "'");
      }
      bytes.remove_prefix(written);
    }
    if (FlushFileBuffers(file_.Get()) == FALSE) Fail("flush '" + path_ + "'");
  }

  void Truncate(std::uint64_t size) override {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (SetFilePointerEx(file_.Get(), at, nullptr, FILE_BEGIN) == FALSE ||
        SetEndOfFile(file_.Get()) == FALSE || FlushFileBuffers(file_.Get()) == FALSE) {
      Fail("cut '" + path_ + "'");
    }
  }

 private:
  std::string path_;
  win::TFileHandle file_;
};

}  // namespace

std::unique_ptr<TAppendFile> OpenAppendFile(const std::string& path) {
  return std::make_unique<TWinAppendFile>(path);
}

}  // namespace warderon

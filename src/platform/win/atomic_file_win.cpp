#include <filesystem>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

struct TFileTraits {
  using THandle = HANDLE;
  static THandle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(THandle handle) { CloseHandle(handle); }
};
using TFile = win::TUniqueHandle<TFileTraits>;

}  // namespace

bool WriteFileAtomically(const std::string& path,
                         const std::function<void(const TWriteText&)>& produce) {
  const std::wstring target = win::Widen(path);
  std::error_code ignored;
  const std::filesystem::path folder = std::filesystem::path(target).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  const std::wstring temporary = target + L".new";
  TFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return false;
  std::string buffer;
  buffer.reserve(1 << 20);
  bool failed = false;
  auto flush = [&] {
    std::size_t done = 0;
    while (!failed && done < buffer.size()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - done, 1 << 20));
      if (WriteFile(file.Get(), buffer.data() + done, chunk, &written, nullptr) == FALSE ||
          written == 0) {
        failed = true;
      }
      done += written;
    }
    buffer.clear();
  };
  produce([&](std::string_view text) {
    buffer.append(text);
    if (buffer.size() >= (1 << 20)) flush();
  });
  flush();
  failed = failed || FlushFileBuffers(file.Get()) == FALSE;
  file.Reset();
  if (failed) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  if (MoveFileExW(temporary.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    throw std::runtime_error(win::ErrorText("replace '" + path + "'", error));
  }
  return true;
}

std::FILE* OpenFileForReading(const std::string& path) {
  return _wfopen(win::Widen(path).c_str(), L"rb");
}

}  // namespace warderon

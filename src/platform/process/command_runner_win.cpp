#include "platform/process/command_runner.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

// The system's message for an error code: at most 256 characters, without
// trailing blanks, control characters and full stops.
std::string SystemMessage(DWORD code) {
  wchar_t buffer[256] = {};
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, 256, nullptr);
  while (length > 0 && (buffer[length - 1] <= L' ' || buffer[length - 1] == L'.')) --length;
  return win::Narrow({buffer, length});
}

class TCmdCommandRunner final : public TCommandRunner {
 public:
  TCommandStart Start(const std::string& command) override {
    wchar_t directory[256] = {};
    const UINT length = GetSystemDirectoryW(directory, 256);
    const std::wstring interpreter = std::wstring(directory, length) + L"\\cmd.exe";
    if (GetFileAttributesW(interpreter.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return {false, win::Narrow(interpreter) + " not found!"};
    }
    std::wstring line = interpreter + L" /c " + win::Widen(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                       nullptr, &startup, &process) == FALSE) {
      return {false, SystemMessage(GetLastError())};
    }
    // Nothing of the new process is kept.
    const win::TKernelHandle thread(process.hThread);
    const win::TKernelHandle handle(process.hProcess);
    return {true, {}};
  }
};

}  // namespace

std::unique_ptr<TCommandRunner> MakeSystemCommandRunner() {
  return std::make_unique<TCmdCommandRunner>();
}

}  // namespace warderon

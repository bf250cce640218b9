// The services the Service Control Manager runs in a process.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <vector>

#include "platform/process/process_services.h"

namespace warderon {
namespace {

// Generic write with every manager right, as the check has always asked.
constexpr DWORD kManagerAccess = 1074724927;
// Kernel and file system drivers, adapters, own-process and shared services.
constexpr DWORD kServiceTypes = 59;

// The ANSI call gives names in the system's code page; alerts carry UTF-8.
std::string FromAnsi(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
  wide.pop_back();
  return win::Narrow(wide);
}

class TScmProcessServices final : public TProcessServices {
 public:
  std::vector<std::string> ListProcessServices(std::uint32_t pid) override {
    const win::TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, kManagerAccess));
    if (!manager.Valid()) return {};
    DWORD needed = 0;
    DWORD returned = 0;
    DWORD resume = 0;
    EnumServicesStatusExA(manager.Get(), SC_ENUM_PROCESS_INFO, kServiceTypes, SERVICE_STATE_ALL,
                          nullptr, 0, &needed, &returned, &resume, nullptr);
    if (needed == 0) return {};
    // Twice the size asked for: services may be added between the calls.
    std::vector<BYTE> buffer(static_cast<std::size_t>(needed) * 2);
    resume = 0;
    if (EnumServicesStatusExA(manager.Get(), SC_ENUM_PROCESS_INFO, kServiceTypes, SERVICE_STATE_ALL,
                              buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned,
                              &resume, nullptr) == FALSE) {
      return {};
    }
    std::vector<std::string> names;
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
    for (DWORD i = 0; i < returned; ++i) {
      if (services[i].ServiceStatusProcess.dwProcessId == pid &&
          services[i].lpDisplayName != nullptr) {
        names.push_back(FromAnsi(services[i].lpDisplayName));
      }
    }
    return names;
  }
};

}  // namespace

std::unique_ptr<TProcessServices> MakeSystemProcessServices() {
  return std::make_unique<TScmProcessServices>();
}

}  // namespace warderon

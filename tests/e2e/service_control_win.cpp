// Test helper: pause, continue and query a service through ControlService
// (Wine's "sc pause" does not work), and change its binary path as
// "sc config NAME binPath= PATH" does (Wine's "sc config" fails).
//   service_control pause|continue|state NAME
//   service_control binpath NAME PATH
//   service_control wait NAME STATE SECONDS     (STATE: running, paused, stopped)
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <cstdio>
#include <string>

namespace {

using warderon::win::TServiceHandle;
using warderon::win::Widen;

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_PAUSED:
      return "paused";
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start-pending";
    case SERVICE_STOP_PENDING:
      return "stop-pending";
    case SERVICE_PAUSE_PENDING:
      return "pause-pending";
    case SERVICE_CONTINUE_PENDING:
      return "continue-pending";
    default:
      return "unknown";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: service_control pause|continue|state|wait NAME [STATE SECONDS]\n");
    return 2;
  }
  const std::string verb = argv[1];
  const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const TServiceHandle service(
      manager.Valid()
          ? OpenServiceW(manager.Get(), Widen(argv[2]).c_str(),
                         SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG)
          : nullptr);
  if (!service.Valid()) {
    std::fprintf(stderr, "cannot open service %s: %lu\n", argv[2], GetLastError());
    return 1;
  }
  SERVICE_STATUS status{};
  if (verb == "pause" || verb == "continue") {
    const DWORD control = verb == "pause" ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_CONTINUE;
    if (ControlService(service.Get(), control, &status) == FALSE) {
      std::fprintf(stderr, "%s failed: %lu\n", verb.c_str(), GetLastError());
      return 1;
    }
    return 0;
  }
  if (verb == "binpath" && argc == 4) {
    return ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                SERVICE_NO_CHANGE, Widen(argv[3]).c_str(), nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr) != FALSE
               ? 0
               : 1;
  }
  if (verb == "state") {
    if (QueryServiceStatus(service.Get(), &status) == FALSE) return 1;
    std::printf("%s\n", StateName(status.dwCurrentState));
    return 0;
  }
  if (verb == "wait" && argc == 5) {
    const int tenths = std::stoi(argv[4]) * 10;
    for (int i = 0; i <= tenths; ++i) {
      if (QueryServiceStatus(service.Get(), &status) != FALSE &&
          std::string(StateName(status.dwCurrentState)) == argv[3]) {
        return 0;
      }
      Sleep(100);
    }
    std::fprintf(stderr, "still %s\n", StateName(status.dwCurrentState));
    return 1;
  }
  return 2;
}

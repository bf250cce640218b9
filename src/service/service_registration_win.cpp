// The Windows service host: registration, the service's main function and
// its control handler. The handler only queues the request and returns; the
// service's control thread (its ServiceMain) carries it out.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>

#include "service/policy_location.h"
#include "service/service_host.h"
#include "service/service_registration.h"
#include "service/warderon_process.h"

namespace warderon {
namespace {

using win::ErrorText;
using win::SystemMessage;
using win::TServiceHandle;
using win::Widen;

constexpr DWORD kWaitHintMs = 5000;
// How long a stop waits for the worker to reach a safe point.
constexpr int kStopGraceSeconds = 20;

// The console line may carry more than the box (the error code).
void ShowResult(bool silent, bool failed, const std::string& text, std::ostream& out,
                const std::string& console_extra = "") {
  out << text << console_extra << std::endl;
  if (!silent) {
    // Without an interactive desktop the box returns at once; the console
    // line above is then what the administrator sees.
    MessageBoxW(nullptr, Widen(text).c_str(), Widen(kServiceDisplayName).c_str(),
                MB_OK | (failed ? MB_ICONERROR : MB_ICONINFORMATION));
  }
}

// "Service "Warderon" failed to install with error: "<the system's message>"",
// and the error code for the console.
void ShowFailure(bool silent, const char* verb, std::ostream& out) {
  const DWORD code = GetLastError();
  ShowResult(silent, true,
             std::string("Service \"") + kServiceDisplayName + "\" failed to " + verb +
                 " with error: \"" + SystemMessage(code) + "\"",
             out, " (error " + std::to_string(code) + ")");
}

// State shared by ServiceMain and the control handler, on ServiceMain's
// stack; the handler receives it as its context.
struct TServiceContext {
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  std::mutex mutex;
  TServiceHost* host = nullptr;
  DWORD checkpoint = 0;

  void Report(DWORD state, DWORD exit_code = NO_ERROR) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exit_code;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwControlsAccepted = pending ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    status.dwWaitHint = pending ? kWaitHintMs : 0;
    status.dwCheckPoint = pending ? ++checkpoint : 0;
    SetServiceStatus(status_handle, &status);
  }
};

// Built by RunAsService before the dispatcher starts (the objects of the
// process come first) and found here by ServiceMain, which the Service
// Control Manager calls without a context argument.
TWarderonProcess* g_process = nullptr;

DWORD WINAPI ControlHandler(DWORD control, DWORD /*event*/, void* /*data*/, void* context) {
  auto* service = static_cast<TServiceContext*>(context);
  const std::lock_guard lock(service->mutex);
  if (service->host == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      service->host->Post(TServiceControl::Stop);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      service->host->Post(TServiceControl::Pause);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      service->host->Post(TServiceControl::Continue);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
  // Lives as long as the process, so a late control never meets a dead object.
  auto& service = *new TServiceContext;
  service.status_handle =
      RegisterServiceCtrlHandlerExW(Widen(kServiceName).c_str(), &ControlHandler, &service);
  if (service.status_handle == nullptr) return;
  if (g_process == nullptr) {  // `net start` shows "An instance of the service is already running"
    service.Report(SERVICE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING);
    return;
  }
  service.Report(SERVICE_START_PENDING);
  // The host lives as long as the process: a paused worker is never joined.
  auto* host = new TServiceHost(*g_process);
  {
    const std::lock_guard lock(service.mutex);
    service.host = host;
  }
  host->Start();
  service.Report(SERVICE_RUNNING);
  host->Serve([&service, host](TServiceState state) {
    switch (state) {
      case TServiceState::Running:
        service.Report(SERVICE_RUNNING);
        break;
      case TServiceState::Paused:
        service.Report(SERVICE_PAUSED);
        break;
      case TServiceState::StopPending:
        service.Report(SERVICE_STOP_PENDING);
        break;
      case TServiceState::Stopped: {
        // The worker finishes the module it is in (a baseline being saved)
        // before the service reports stopped and the process ends: stop
        // pending, with a fresh check point each second, for a bounded grace.
        // A paused worker is at a safe point already.
        for (int second = 0; second < kStopGraceSeconds; ++second) {
          if (g_process->Worker().HeldByPause() || host->JoinWorker(std::chrono::seconds(1))) {
            break;
          }
          service.Report(SERVICE_STOP_PENDING);
        }
        const std::lock_guard lock(service.mutex);
        service.host = nullptr;
        service.Report(SERVICE_STOPPED);
        break;
      }
    }
  });
}

}  // namespace

int InstallService(bool silent, std::ostream& out) {
  wchar_t path[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  const std::wstring command = L"\"" + std::wstring(path, length) + L"\"";
  const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  TServiceHandle service;
  if (manager.Valid()) {
    service.Reset(CreateServiceW(
        manager.Get(), Widen(kServiceName).c_str(), Widen(kServiceDisplayName).c_str(),
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
        command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  }
  if (!service.Valid()) {
    ShowFailure(silent, "install", out);
    return 1;
  }
  ShowResult(silent, false, "Service installed successfully", out);
  return 0;
}

int UninstallService(bool silent, std::ostream& out) {
  const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  TServiceHandle service;
  if (manager.Valid()) {
    service.Reset(OpenServiceW(manager.Get(), Widen(kServiceName).c_str(), DELETE));
  }
  if (!service.Valid() || DeleteService(service.Get()) == FALSE) {
    ShowFailure(silent, "uninstall", out);
    return 1;
  }
  ShowResult(silent, false, "Service uninstalled successfully", out);
  return 0;
}

const char* OwnServiceName() { return kServiceName; }

bool ServiceHostAvailable() { return true; }

int RunAsService(std::ostream& out) {
  // The process's objects are created first and live until it ends; none
  // while another watchdog (a `warderon -run` in a console) holds the state
  // folder.
  try {
    static const std::unique_ptr<TInstanceLock> lock =
        TWarderonProcess::LockStateFolder(CataloguePath(std::nullopt));
    g_process = new TWarderonProcess(OpenPolicyBackend(std::nullopt, TStoreUser::Daemon),
                                     CataloguePath(std::nullopt));
  } catch (const TInstanceLockError& error) {
    out << "warderon: " << error.what() << std::endl;
  }
  std::wstring name = Widen(kServiceName);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), &ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table) == FALSE) {
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      out << "warderon: this is the Warderon service; install it with 'warderon /INSTALL' "
             "(then 'net start WarderonService'), or run it in this console with 'warderon -run'"
          << std::endl;
    } else {
      out << "warderon: " << ErrorText("connect to the Service Control Manager", GetLastError())
          << std::endl;
    }
    return 1;
  }
  return 0;
}

}  // namespace warderon

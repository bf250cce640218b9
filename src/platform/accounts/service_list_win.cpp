#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accounts/batch_guard.h"
#include "platform/accounts/service_list.h"
#include "platform/crypto/sha256.h"

namespace warderon {
namespace {

std::string StartTypeText(DWORD type) {
  switch (type) {
    case SERVICE_BOOT_START:
      return "boot";
    case SERVICE_SYSTEM_START:
      return "system";
    case SERVICE_AUTO_START:
      return "automatic";
    case SERVICE_DEMAND_START:
      return "manual";
    case SERVICE_DISABLED:
      return "disabled";
    default:
      return std::to_string(type);
  }
}

std::string ActionText(SC_ACTION_TYPE type) {
  switch (type) {
    case SC_ACTION_NONE:
      return "none";
    case SC_ACTION_RESTART:
      return "restart";
    case SC_ACTION_REBOOT:
      return "reboot";
    case SC_ACTION_RUN_COMMAND:
      return "run";
    default:
      return std::to_string(static_cast<int>(type));
  }
}

std::string Text(const wchar_t* text) { return text != nullptr ? win::Narrow(text) : ""; }

// A service's DLL (services hosted by svchost), as the registry holds it.
std::string ServiceDll(const std::wstring& name) {
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
  wchar_t value[1024] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ServiceDll",
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                   &size) != ERROR_SUCCESS) {
    return "";
  }
  return win::Narrow(value);
}

// What a configuration query gives, in a buffer of the size it asks for.
template <typename TQuery>
std::vector<BYTE> Queried(const TQuery& query) {
  DWORD needed = 0;
  query(nullptr, 0, &needed);
  if (needed == 0 || needed > (1U << 20)) return {};
  std::vector<BYTE> buffer(needed);
  if (!query(buffer.data(), needed, &needed)) return {};
  return buffer;
}

// The configuration of one service; empty when it cannot be opened.
std::vector<std::pair<std::string, std::string>> ServiceFields(SC_HANDLE manager,
                                                               const std::wstring& name) {
  const win::TServiceHandle service(
      OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG | READ_CONTROL));
  if (!service.Valid()) return {};
  const std::vector<BYTE> config = Queried([&](BYTE* buffer, DWORD size, DWORD* needed) {
    return QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                               size, needed) != FALSE;
  });
  if (config.empty()) return {};
  const auto* base = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
  std::vector<std::pair<std::string, std::string>> fields = {
      {"binary path", Text(base->lpBinaryPathName)},
      {"service dll", ServiceDll(name)},
      {"start type", StartTypeText(base->dwStartType)},
      {"account", Text(base->lpServiceStartName)},
  };
  std::string command;
  std::string actions;
  const std::vector<BYTE> failure = Queried([&](BYTE* buffer, DWORD size, DWORD* needed) {
    return QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer, size,
                                needed) != FALSE;
  });
  if (!failure.empty()) {
    const auto* on_failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data());
    command = Text(on_failure->lpCommand);
    actions = "reset " + std::to_string(on_failure->dwResetPeriod);
    for (DWORD i = 0; i < on_failure->cActions && on_failure->lpsaActions != nullptr; ++i) {
      actions += " " + ActionText(on_failure->lpsaActions[i].Type) + "/" +
                 std::to_string(on_failure->lpsaActions[i].Delay);
    }
  }
  fields.emplace_back("failure command", command);
  fields.emplace_back("failure actions", actions);
  const std::vector<BYTE> security = Queried([&](BYTE* buffer, DWORD size, DWORD* needed) {
    return QueryServiceObjectSecurity(service.Get(),
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      buffer, size, needed) != FALSE;
  });
  const TSha256Digest digest =
      Sha256(std::string_view(reinterpret_cast<const char*>(security.data()), security.size()));
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < 8; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  fields.emplace_back("security", security.empty() ? "" : hex);
  return fields;
}

class TScmServiceList final : public TServiceList {
 public:
  std::optional<TServiceConfig> Configuration(const std::string& name) override {
    const win::TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Valid()) {
      throw TServiceListError(win::ErrorText("open the Service Control Manager", GetLastError()));
    }
    const std::wstring wide = win::Widen(name);
    wchar_t display[4096] = {};
    DWORD length = 4096;
    if (GetServiceDisplayNameW(manager.Get(), wide.c_str(), display, &length) == FALSE) {
      return std::nullopt;  // no such service
    }
    return TServiceConfig{name, win::Narrow(display), ServiceFields(manager.Get(), wide)};
  }

  std::vector<TServiceConfig> Configurations(std::size_t limit, bool& truncated) override {
    truncated = false;
    const win::TServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_CONNECT));
    if (!manager.Valid()) {
      throw TServiceListError(win::ErrorText("open the Service Control Manager", GetLastError()));
    }
    std::vector<std::pair<std::wstring, std::string>> names;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                        &count, &resume);
    resume = 0;
    TBatchGuard guard;
    std::vector<BYTE> buffer(std::max<DWORD>(needed, 4096) + 1024);
    for (bool more = true; more;) {
      needed = 0;
      count = 0;
      const BOOL done =
          EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL,
                              reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
      const DWORD error = done != FALSE ? ERROR_SUCCESS : GetLastError();
      if (done == FALSE && error != ERROR_MORE_DATA) {
        throw TServiceListError(win::ErrorText("list the services", error));
      }
      const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
      if (count == 0 && done != FALSE) break;  // no (more) services
      if (!guard.Progress(count, Text(entries[0].lpDisplayName))) {
        throw TServiceListError("list the services: the manager repeats the same batch");
      }
      for (DWORD i = 0; i < count; ++i) {
        if (entries[i].lpServiceName == nullptr) continue;
        names.emplace_back(entries[i].lpServiceName, Text(entries[i].lpDisplayName));
      }
      more = done == FALSE;
      if (needed > buffer.size()) buffer.resize(needed + 1024);
    }
    std::vector<TServiceConfig> configs;
    for (const auto& [name, display] : names) {
      if (configs.size() == limit) {
        truncated = true;
        break;
      }
      configs.push_back({win::Narrow(name), display, ServiceFields(manager.Get(), name)});
    }
    return configs;
  }

  void Enumerate(const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) override {
    const win::TServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager.Valid()) {
      throw TServiceListError(win::ErrorText("open the Service Control Manager", GetLastError()));
    }
    // Probe the size first, then ask for everything at once; keep asking
    // while the manager says there is more, as long as each batch moves on.
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                        &count, &resume);
    resume = 0;
    TBatchGuard guard;
    std::vector<BYTE> buffer(std::max<DWORD>(needed, 4096) + 1024);
    for (;;) {
      needed = 0;
      count = 0;
      const BOOL done =
          EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL,
                              reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
      const DWORD error = done != FALSE ? ERROR_SUCCESS : GetLastError();
      if (done == FALSE && error != ERROR_MORE_DATA) {
        throw TServiceListError(win::ErrorText("list the services", error));
      }
      const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
      std::vector<TServiceEntry> batch;
      batch.reserve(count);
      for (DWORD i = 0; i < count; ++i) {
        batch.push_back(
            {win::Narrow(entries[i].lpDisplayName != nullptr ? entries[i].lpDisplayName : L""),
             entries[i].ServiceStatus.dwCurrentState == SERVICE_RUNNING});
      }
      if (batch.empty() && done != FALSE) return;  // no (more) services
      if (!guard.Progress(batch.size(),
                          batch.empty() ? std::string() : batch.front().display_name)) {
        throw TServiceListError("list the services: the manager repeats the same batch");
      }
      on_batch(batch);
      if (done != FALSE) return;
      if (needed > buffer.size()) buffer.resize(needed + 1024);
    }
  }
};

}  // namespace

std::unique_ptr<TServiceList> MakeSystemServiceList() {
  return std::make_unique<TScmServiceList>();
}

}  // namespace warderon

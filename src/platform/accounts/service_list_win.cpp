#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <algorithm>
#include <cstring>
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

std::string DigestText(const BYTE* data, std::size_t length) {
  if (length == 0) return "";
  // The first 8 bytes: enough to tell a changed descriptor.
  return HexDigest(Sha256(std::string_view(reinterpret_cast<const char*>(data), length)), 8);
}

// A value of an open key as raw bytes; empty when it is missing.
std::vector<BYTE> RawValue(HKEY key, const wchar_t* subkey, const wchar_t* name) {
  std::vector<BYTE> data(8192);
  DWORD size = static_cast<DWORD>(data.size());
  LONG result =
      RegGetValueW(key, subkey, name, RRF_RT_ANY | RRF_NOEXPAND, nullptr, data.data(), &size);
  if (result == ERROR_MORE_DATA && size <= (1U << 20)) {
    data.resize(size);
    result =
        RegGetValueW(key, subkey, name, RRF_RT_ANY | RRF_NOEXPAND, nullptr, data.data(), &size);
  }
  if (result != ERROR_SUCCESS) return {};
  data.resize(size);
  return data;
}

std::string TextValue(HKEY key, const wchar_t* subkey, const wchar_t* name) {
  const std::vector<BYTE> data = RawValue(key, subkey, name);
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return win::Narrow(text);
}

// The configuration of one service as the manager keeps it in the
// registry (what ChangeServiceConfig writes at once), read in-process: a
// round trip to the manager for each field of 300 services costs far more.
// Empty when its key cannot be opened.
std::vector<std::pair<std::string, std::string>> RegistryServiceFields(const std::wstring& name) {
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + name;
  win::TRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Receive()) !=
      ERROR_SUCCESS) {
    return {};
  }
  const std::vector<BYTE> start = RawValue(key.Get(), nullptr, L"Start");
  DWORD start_type = 0;
  if (start.size() == sizeof start_type) std::memcpy(&start_type, start.data(), sizeof start_type);
  std::string account = TextValue(key.Get(), nullptr, L"ObjectName");
  // The failure actions as stored: the 32-bit form of SERVICE_FAILURE_ACTIONS,
  // its actions right after it.
  std::string actions;
  const std::vector<BYTE> failure = RawValue(key.Get(), nullptr, L"FailureActions");
  if (failure.size() >= 20) {
    DWORD header[5] = {};
    std::memcpy(header, failure.data(), sizeof header);
    actions = "reset " + std::to_string(header[0]);
    for (DWORD i = 0; i < header[3] && 20 + (i + 1) * 8 <= failure.size(); ++i) {
      DWORD action[2] = {};
      std::memcpy(action, failure.data() + 20 + i * 8, sizeof action);
      actions += " " + ActionText(static_cast<SC_ACTION_TYPE>(action[0])) + "/" +
                 std::to_string(action[1]);
    }
  }
  const std::vector<BYTE> security = RawValue(key.Get(), L"Security", L"Security");
  return {
      {"binary path", TextValue(key.Get(), nullptr, L"ImagePath")},
      {"service dll", TextValue(key.Get(), L"Parameters", L"ServiceDll")},
      {"start type", start.empty() ? "" : StartTypeText(start_type)},
      {"account", account},
      {"failure command", TextValue(key.Get(), nullptr, L"FailureCommand")},
      {"failure actions", actions},
      {"security", DigestText(security.data(), security.size())},
  };
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
    return TServiceConfig{name, win::Narrow(display), RegistryServiceFields(wide)};
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
      configs.push_back({win::Narrow(name), display, RegistryServiceFields(name)});
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

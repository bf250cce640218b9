#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accounts/batch_guard.h"
#include "platform/accounts/service_list.h"
#include "platform/crypto/sha256.h"

namespace warderon {
namespace {

constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";

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
  const std::wstring path = std::wstring(kServicesKey) + L"\\" + name;
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

win::TServiceHandle OpenManager(DWORD access) {
  win::TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager.Valid()) {
    throw TServiceListError(win::ErrorText("open the Service Control Manager", GetLastError()));
  }
  return manager;
}

// Every Win32 service the manager lists, batch by batch: the size probed
// first, then everything asked at once, and asked again while the manager
// says there is more, as long as each batch moves on.
void ListServices(SC_HANDLE manager,
                  const std::function<void(const ENUM_SERVICE_STATUSW*, DWORD)>& on_batch) {
  DWORD needed = 0;
  DWORD count = 0;
  DWORD resume = 0;
  EnumServicesStatusW(manager, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &count,
                      &resume);
  resume = 0;
  TBatchGuard guard;
  std::vector<BYTE> buffer(std::max<DWORD>(needed, 4096) + 1024);
  for (;;) {
    needed = 0;
    count = 0;
    const BOOL done =
        EnumServicesStatusW(manager, SERVICE_WIN32, SERVICE_STATE_ALL,
                            reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                            static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
    const DWORD error = done != FALSE ? ERROR_SUCCESS : GetLastError();
    if (done == FALSE && error != ERROR_MORE_DATA) {
      throw TServiceListError(win::ErrorText("list the services", error));
    }
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
    if (count == 0 && done != FALSE) return;  // no (more) services
    if (!guard.Progress(count, Text(count > 0 ? entries[0].lpDisplayName : nullptr))) {
      throw TServiceListError("list the services: the manager repeats the same batch");
    }
    on_batch(entries, count);
    if (done != FALSE) return;
    if (needed > buffer.size()) buffer.resize(needed + 1024);
  }
}

// Says whether anything below the services' registry key may have changed
// since the last look: a change notification over the whole tree (values,
// subkeys, their security), armed again at each look. Whenever it cannot be
// armed, and at least once an hour, every look says changed: a notification
// the system lost may delay a reading, never hide a change.
class TServicesKeyWatch {
 public:
  bool ChangedSinceLastLook() {
    const auto now = std::chrono::steady_clock::now();
    if (armed_ && now - armed_at_ < std::chrono::hours(1) &&
        WaitForSingleObject(event_.Get(), 0) == WAIT_TIMEOUT) {
      return false;
    }
    armed_ = Arm();
    armed_at_ = now;
    return true;
  }

 private:
  bool Arm() {
    if (!key_.Valid() && RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_NOTIFY,
                                       key_.Receive()) != ERROR_SUCCESS) {
      return false;
    }
    if (!event_.Valid()) event_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_.Valid()) return false;
    ResetEvent(event_.Get());
    constexpr DWORD kFilter =
        REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
    // Not tied to the calling thread where the system knows the flag
    // (Windows 8 on); elsewhere the thread's end signals the event.
    constexpr DWORD kThreadAgnostic = 0x10000000L;
    LONG result =
        RegNotifyChangeKeyValue(key_.Get(), TRUE, kFilter | kThreadAgnostic, event_.Get(), TRUE);
    if (result == ERROR_INVALID_PARAMETER) {
      result = RegNotifyChangeKeyValue(key_.Get(), TRUE, kFilter, event_.Get(), TRUE);
    }
    return result == ERROR_SUCCESS;
  }

  win::TRegKey key_;
  win::TKernelHandle event_;
  bool armed_ = false;
  std::chrono::steady_clock::time_point armed_at_;
};

class TScmServiceList final : public TServiceList {
 public:
  std::optional<TServiceConfig> Configuration(const std::string& name) override {
    const win::TServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    const std::wstring wide = win::Widen(name);
    wchar_t display[4096] = {};
    DWORD length = 4096;
    if (GetServiceDisplayNameW(manager.Get(), wide.c_str(), display, &length) == FALSE) {
      return std::nullopt;  // no such service
    }
    return TServiceConfig{name, win::Narrow(display), RegistryServiceFields(wide)};
  }

  // Listed and read again only when the registry below the services' key
  // changed (the manager keeps every service, its display name and its
  // configuration there): a quiet cycle over 300 services is then no call
  // at all, not thousands of registry reads (each a round trip to the
  // server under Wine). Services that could not be read are asked again.
  std::vector<TServiceConfig> Configurations(std::size_t limit, bool& truncated) override {
    const bool changed = watch_.ChangedSinceLastLook();
    if (known_ && !changed && limit == known_limit_) {
      for (TServiceConfig& config : configs_) {
        if (config.fields.empty()) config.fields = RegistryServiceFields(win::Widen(config.name));
      }
      truncated = known_truncated_;
      return configs_;
    }
    known_ = false;  // until a listing is whole
    truncated = false;
    const win::TServiceHandle manager =
        OpenManager(SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_CONNECT);
    std::vector<TServiceConfig> configs;
    ListServices(manager.Get(), [&](const ENUM_SERVICE_STATUSW* entries, DWORD count) {
      for (DWORD i = 0; i < count && !truncated; ++i) {
        if (entries[i].lpServiceName == nullptr) continue;
        if (configs.size() == limit) {
          truncated = true;
          break;
        }
        configs.push_back({Text(entries[i].lpServiceName), Text(entries[i].lpDisplayName),
                           RegistryServiceFields(entries[i].lpServiceName)});
      }
    });
    configs_ = configs;
    known_ = true;
    known_limit_ = limit;
    known_truncated_ = truncated;
    return configs;
  }

  void Enumerate(const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) override {
    const win::TServiceHandle manager = OpenManager(SC_MANAGER_ENUMERATE_SERVICE);
    ListServices(manager.Get(), [&](const ENUM_SERVICE_STATUSW* entries, DWORD count) {
      std::vector<TServiceEntry> batch;
      batch.reserve(count);
      for (DWORD i = 0; i < count; ++i) {
        batch.push_back({Text(entries[i].lpDisplayName),
                         entries[i].ServiceStatus.dwCurrentState == SERVICE_RUNNING});
      }
      on_batch(batch);
    });
  }

 private:
  TServicesKeyWatch watch_;
  std::vector<TServiceConfig> configs_;  // the last whole listing
  bool known_ = false;
  std::size_t known_limit_ = 0;
  bool known_truncated_ = false;
};

}  // namespace

std::unique_ptr<TServiceList> MakeSystemServiceList() {
  return std::make_unique<TScmServiceList>();
}

}  // namespace warderon

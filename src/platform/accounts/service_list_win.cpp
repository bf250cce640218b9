#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <vector>

#include "platform/accounts/batch_guard.h"
#include "platform/accounts/service_list.h"

namespace warderon {
namespace {

class TScmServiceList final : public TServiceList {
 public:
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

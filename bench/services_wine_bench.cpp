// The services monitor against the real Service Control Manager (run under
// Wine by scripts/bench): 300 services are created, then one quiet run is
// timed with ServicesConfig off (the watchdog's own service only) and on
// (every service's configuration), wall time, both in the same run. The
// services are removed again at the end, and at the start if an earlier run
// was cut off.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/cycle_state.h"
#include "monitors/accounts/services_module.h"
#include "platform/accounts/service_list.h"
#include "platform/store/memory_policy_backend.h"
#include "platform/win/unique_handle.h"

namespace {

using namespace warderon;

constexpr int kServices = 300;
constexpr int kRuns = 20;

std::wstring BenchName(int i) { return L"WarderonBench" + std::to_wstring(i); }

void RemoveBenchServices(SC_HANDLE manager) {
  for (int i = 0; i < kServices; ++i) {
    const win::TServiceHandle service(OpenServiceW(manager, BenchName(i).c_str(), DELETE));
    if (service.Valid()) DeleteService(service.Get());
  }
}

// The median wall time of a module run, in milliseconds; before(i), when
// given, runs ahead of run i and is not timed.
double MedianMillis(TServicesModule& module, const std::function<void(int)>& before = {}) {
  std::vector<double> runs;
  for (int i = 0; i < kRuns; ++i) {
    if (before) before(i);
    const auto start = std::chrono::steady_clock::now();
    module.Run();
    runs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main() {
  const win::TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.Valid()) {
    std::printf("services benchmark under Wine: the service manager cannot be opened\n");
    return 1;
  }
  RemoveBenchServices(manager.Get());
  for (int i = 0; i < kServices; ++i) {
    const std::wstring name = BenchName(i);
    const std::wstring display = L"Warderon Bench Service " + std::to_wstring(i);
    const std::wstring path = L"C:\\windows\\system32\\svchost.exe -k bench" + std::to_wstring(i);
    const win::TServiceHandle service(
        CreateServiceW(manager.Get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.Valid()) {
      std::printf("services benchmark under Wine: service %d cannot be created (%lu)\n", i,
                  GetLastError());
      RemoveBenchServices(manager.Get());
      return 1;
    }
  }

  std::unique_ptr<TServiceList> services = MakeSystemServiceList();
  TMemoryPolicyBackend backend;
  TPolicyStore store(backend);
  bench::TCountingAlerts alerts;
  TCycleState cycle;
  TBaselineLists lists(store, alerts, cycle);
  store.WritePolicyBool("general", "ServicesEnabled", true);
  TServicesModule module(store, lists, alerts, *services, "WarderonBench0");
  module.Initialize();
  module.Run();  // the first reading: every service is new
  const double today = MedianMillis(module);
  store.WritePolicyBool("general", "ServicesConfig", true);
  module.Run();  // the configurations' first reading
  const double with_config = MedianMillis(module);
  // One configuration changed between runs: what a cycle costs when it must read again.
  const win::TServiceHandle changed(
      OpenServiceW(manager.Get(), BenchName(kServices / 2).c_str(), SERVICE_CHANGE_CONFIG));
  const double after_change = MedianMillis(module, [&](int i) {
    const std::wstring path = L"C:\\windows\\system32\\svchost.exe -k changed" + std::to_wstring(i);
    ChangeServiceConfigW(changed.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                         path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  });
  RemoveBenchServices(manager.Get());

  std::printf("services monitor under Wine: %d services and Wine's own, real service manager\n",
              kServices);
  std::printf(
      "quiet run with ServicesConfig %7.1f ms   without %6.1f ms   ratio %5.2f   (target <= 2)\n",
      with_config, today, with_config / today);
  std::printf(
      "run after one service's binary path changed %7.1f ms   (every configuration read again)\n",
      after_change);
  return 0;
}

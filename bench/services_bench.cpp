// One services-monitor run over 300 services against a 300-entry baseline,
// on the in-memory store and a fake service list: CPU time per run, quiet
// and with one change (alert and baseline save), against a plain hash-map
// comparison of the same names measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_support.h"
#include "core/cycle_state.h"
#include "monitors/accounts/services_module.h"
#include "platform/store/memory_policy_backend.h"

namespace {

using namespace warderon;
using bench::CpuMicros;
using bench::MicrosPerRun;

constexpr int kServices = 300;
constexpr int kRuns = 2000;

class TBenchServices final : public TServiceList {
 public:
  void Enumerate(const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) override {
    on_batch(entries);
  }
  std::vector<TServiceConfig> Configurations(std::size_t, bool& truncated) override {
    truncated = false;
    return configs;
  }
  std::vector<TServiceEntry> entries;
  std::vector<TServiceConfig> configs;
};

}  // namespace

int main() {
  TBenchServices services;
  for (int i = 0; i < kServices; ++i) {
    services.entries.push_back(
        {"Vendor Service Host " + std::to_string(i * 7919 % 100003), i % 3 != 0});
    const std::string name = "VendorSvc" + std::to_string(i);
    services.configs.push_back(
        {name,
         services.entries.back().display_name,
         {{"binary path", "C:\\Program Files\\Vendor\\" + name + ".exe -service"},
          {"service dll", ""},
          {"start type", "automatic"},
          {"account", "LocalSystem"},
          {"failure command", ""},
          {"failure actions", "reset 86400 restart/60000 restart/60000 none/0"},
          {"security", "0123456789abcdef"}}});
  }
  TMemoryPolicyBackend backend;
  TPolicyStore store(backend);
  bench::TCountingAlerts alerts;
  TCycleState cycle;
  TBaselineLists lists(store, alerts, cycle);
  store.WritePolicyBool("general", "ServicesEnabled", true);
  TServicesModule module(store, lists, alerts, services);
  module.Initialize();
  module.Run();  // every service is new: the baseline now holds 300 entries

  const double quiet = MicrosPerRun(kRuns, [&](int) { module.Run(); });
  // One service toggles each run: one alert line and a save of both sections
  // (auto-ignore off, so the toggling services never turn into skipped ones).
  store.WritePolicyBool("general", "ServicesAuto", false);
  const double changed = MicrosPerRun(kRuns / 10, [&](int i) {
    services.entries[static_cast<std::size_t>(i % 4 + 1)].running ^= true;
    module.Run();
  });

  // The same quiet run with every service's configuration compared too.
  store.WritePolicyBool("general", "ServicesAuto", true);
  store.WritePolicyBool("general", "ServicesConfig", true);
  module.Run();  // the configurations' first reading
  const double quiet_config = MicrosPerRun(kRuns, [&](int) { module.Run(); });
  store.WritePolicyBool("general", "ServicesConfig", false);
  const double quiet_again = MicrosPerRun(kRuns, [&](int) { module.Run(); });

  std::unordered_map<std::string, bool> plain;
  for (const auto& entry : services.entries) plain[entry.display_name] = entry.running;
  int differences = 0;
  const double baseline = MicrosPerRun(kRuns, [&](int) {
    for (const auto& entry : services.entries)
      differences += plain[entry.display_name] != entry.running;
  });

  std::printf("services monitor benchmark: %d services, 300-entry baseline, in-memory store\n",
              kServices);
  std::printf(
      "quiet run            %8.1f us CPU   plain hash-map compare %6.1f us   ratio %6.1f   (target "
      "< 5000 us)\n",
      quiet, baseline, quiet / baseline);
  std::printf(
      "run with one change  %8.1f us CPU   (alert, both sections saved)          (target < 5000 "
      "us)\n",
      changed);
  std::printf(
      "quiet run with ServicesConfig %8.1f us CPU   ratio %5.2f against the run without it (%.1f "
      "us; the module's own work only: the target, at most 2 x the cycle, is measured under Wine "
      "with the real service manager below)\n",
      quiet_config, quiet_config / quiet_again, quiet_again);
  return differences == -1 ? 1 : 0;
}

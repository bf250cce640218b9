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
  std::vector<TServiceEntry> entries;
};

}  // namespace

int main() {
  TBenchServices services;
  for (int i = 0; i < kServices; ++i) {
    services.entries.push_back(
        {"Vendor Service Host " + std::to_string(i * 7919 % 100003), i % 3 != 0});
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
  return differences == -1 ? 1 : 0;
}

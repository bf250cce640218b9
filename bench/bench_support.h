// What the benchmarks share: an alert sink that only counts, and CPU time.
#pragma once

#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "core/alert_sender.h"

namespace warderon::bench {

// Takes every alert and counts the detail lines.
class TCountingAlerts final : public TAlertSender {
 public:
  void SendAlert(AlertLevel, const std::string&, const std::string&) override {}
  void SendAlertWithDetails(AlertLevel, const std::string&, const std::string&,
                            const std::vector<std::string>& details) override {
    lines += details.size();
  }
  std::size_t lines = 0;
};

// CPU time of the process (user and system) in microseconds.
inline double CpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Mean CPU time of a run of work(i), i from 0 to runs - 1.
inline double MicrosPerRun(int runs, const std::function<void(int)>& work) {
  const double start = CpuMicros();
  for (int i = 0; i < runs; ++i) work(i);
  return (CpuMicros() - start) / runs;
}

}  // namespace warderon::bench

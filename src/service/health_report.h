// The watchdog's report on itself, after every cycle, so that a central
// system can tell a silenced watchdog from a quiet machine:
//   - section "Health": what the last cycle came to, for "warderon -check";
//   - "MetricsFile": the Prometheus text format, replaced atomically, for the
//     textfile collectors of node_exporter and windows_exporter;
//   - "HeartbeatMinutes": the alert "Warderon heartbeat" at the first cycle
//     and then at the first cycle after every interval (mailed only with
//     "HeartbeatMail").
// Worker thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "alerts/smtp_module.h"
#include "core/repeated_failure_gate.h"
#include "platform/time/boot_time.h"
#include "platform/time/clock.h"
#include "policy/policy_store.h"
#include "service/health_section.h"
#include "service/health_snapshot.h"
#include "service/warderon_thread.h"

namespace warderon {

class THealthReport {
 public:
  struct TFilesHealth {
    std::uint64_t files = 0;
    std::uint64_t directories = 0;
    bool followed = false;
    std::optional<std::uint64_t> digest_backlog;  // while the deeper checks are on
  };
  using TSystemNow = std::function<std::chrono::system_clock::time_point()>;

  THealthReport(TPolicyStore& store, TSmtpModule& alerts, TClock& clock,
                std::function<TFilesHealth()> files,
                TSystemNow system_now = std::chrono::system_clock::now,
                TRepeatedFailureGate::TNow steady_now = std::chrono::steady_clock::now);

  // Where the process's resident memory is read (the metrics file shows it).
  void SetResidentMemorySource(std::function<std::optional<std::uint64_t>()> resident) {
    resident_ = std::move(resident);
  }
  void SetBootTimeSource(std::function<std::optional<TBootTime>()> boot) {
    boot_now_ = std::move(boot);
  }
  void OnCycleEnd(const TCycleOutcome& outcome);
  THealthSnapshot Snapshot();

 private:
  void RecordForCheck(const TCycleOutcome& outcome, const THealthSnapshot& health,
                      std::uint64_t alerts, std::uint64_t delivery_failures);
  void WriteMetrics(const THealthSnapshot& health);
  void SendHeartbeat(const THealthSnapshot& health, std::uint64_t alerts,
                     std::uint64_t delivery_failures, bool mail);

  TPolicyStore& store_;
  TSmtpModule& alerts_;
  std::function<TFilesHealth()> files_;
  std::function<std::optional<std::uint64_t>()> resident_;
  TSystemNow system_now_;
  std::function<std::optional<TBootTime>()> boot_now_ = ReadBootTime;
  TRepeatedFailureGate::TNow steady_now_;
  TRepeatedFailureGate failure_gate_;
  std::string started_;  // local date and time
  double start_time_seconds_ = 0;
  double last_cycle_end_seconds_ = 0;
  double last_cycle_seconds_ = 0;
  std::uint64_t cycles_ = 0;
  std::map<std::string, std::uint64_t> module_failures_;
  // Since the last heartbeat.
  std::optional<std::chrono::steady_clock::time_point> last_heartbeat_;
  std::uint64_t alerts_at_heartbeat_ = 0;
  std::uint64_t failures_at_heartbeat_ = 0;
  std::set<std::string> failed_since_heartbeat_;
  // Totals at the end of the cycle before, for the cycle's own counts.
  std::uint64_t alerts_before_ = 0;
  std::uint64_t failures_before_ = 0;
};

}  // namespace warderon

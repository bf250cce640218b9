// What the watchdog knows of its own health after a cycle: for the metrics
// file, the heartbeat and the record that "-check" reads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace warderon {

struct THealthSnapshot {
  double start_time_seconds = 0;      // Unix time the process started
  double last_cycle_end_seconds = 0;  // Unix time the last cycle completed
  double last_cycle_seconds = 0;      // its duration
  std::uint64_t cycles = 0;
  std::map<std::pair<std::string, int>, std::uint64_t> alerts;  // by module and level
  std::map<std::string, std::uint64_t> module_failures;         // by module
  std::map<std::string, std::uint64_t> delivery_failures;       // by sink: "mail", "syslog"
  std::uint64_t files_watched = 0;
  std::uint64_t directories_followed = 0;
  bool files_followed = false;  // cycles follow changes (else they walk in full)
  // Only while the deeper file checks are on: content bytes still to hash.
  std::optional<std::uint64_t> digest_backlog_bytes;
  std::vector<std::pair<std::string, bool>> monitors;  // each monitor, and whether it is on
  std::optional<std::uint64_t> resident_bytes;         // the process's, at the cycle's end
  // Each sink's outbox: what waits, how old the oldest is, what was dropped.
  struct TOutbox {
    std::uint64_t entries = 0;
    double oldest_seconds = 0;  // 0: nothing waits
    std::uint64_t dropped_total = 0;
    std::uint64_t dropped_unreported = 0;
  };
  std::map<std::string, TOutbox> outboxes;  // by sink: "mail", "syslog"
};

// The snapshot in the Prometheus text exposition format (version 0.0.4):
// "warderon_" names, base units, "_total" counters, HELP and TYPE lines.
std::string FormatPrometheusMetrics(const THealthSnapshot& health);

}  // namespace warderon

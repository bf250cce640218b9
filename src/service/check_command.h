// "warderon -check": one line for a monitoring system, by the conventions
// of Nagios plugins (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN, and
// performance data after a "|"), read from the store without writing:
// CRITICAL when the last cycle is older than the bound, WARNING when it
// recorded module or delivery failures or lies in the future.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>

#include "platform/store/policy_backend.h"
#include "platform/time/boot_time.h"
#include "platform/time/clock.h"

namespace warderon {

constexpr int kCheckOk = 0;
constexpr int kCheckWarning = 1;
constexpr int kCheckCritical = 2;
constexpr int kCheckUnknown = 3;

// The clocks the age is judged by: the boot clock when the record is of
// this boot (no one can set it back), else UTC, else the local time of an
// older release's "LastRun".
struct TCheckClocks {
  std::function<std::chrono::system_clock::time_point()> utc = std::chrono::system_clock::now;
  std::function<std::optional<TBootTime>()> boot = ReadBootTime;
};

// max_age_minutes: the bound; by default three "Delay"s, at least 3 minutes.
// A last cycle that ended in the future is WARNING: a clock was set back.
int RunCheckCommand(TPolicyBackend& backend, TClock& clock, std::optional<int> max_age_minutes,
                    std::ostream& out, const TCheckClocks& clocks = {});

}  // namespace warderon

// "warderon -check": one line for a monitoring system, by the conventions
// of Nagios plugins (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN, and
// performance data after a "|"), read from the store without writing:
// CRITICAL when the last cycle is older than the bound, WARNING when it
// recorded module or delivery failures.
#pragma once

#include <iosfwd>
#include <optional>

#include "platform/store/policy_backend.h"
#include "platform/time/clock.h"

namespace warderon {

constexpr int kCheckOk = 0;
constexpr int kCheckWarning = 1;
constexpr int kCheckCritical = 2;
constexpr int kCheckUnknown = 3;

// max_age_minutes: the bound; by default three "Delay"s, at least 3 minutes.
int RunCheckCommand(TPolicyBackend& backend, TClock& clock, std::optional<int> max_age_minutes,
                    std::ostream& out);

}  // namespace warderon

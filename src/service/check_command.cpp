#include "service/check_command.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>

#include "core/text.h"
#include "policy/policy_store.h"
#include "service/health_section.h"

namespace warderon {
namespace {

std::optional<std::int32_t> Integer(TPolicyBackend& backend, const char* section,
                                    const char* name) {
  const auto value = backend.ReadValue(section, name);
  if (!value || value->type != TPolicyValueType::Integer) return std::nullopt;
  return value->integer;
}

std::optional<std::string> Text(TPolicyBackend& backend, const char* section, const char* name) {
  const auto value = backend.ReadValue(section, name);
  if (!value || value->type != TPolicyValueType::Text) return std::nullopt;
  return value->text;
}

// How long ago the last cycle ended, in seconds (negative: in the future),
// and by which clock.
struct TAge {
  long long seconds = 0;
  const char* clock = "";
};

std::optional<TAge> AgeOfLastCycle(TPolicyBackend& backend, TClock& local, double last_run_days,
                                   const TCheckClocks& clocks) {
  if (const auto boot = Text(backend, kHealthSection, kLastCycleEndBootValue)) {
    const auto space = boot->rfind(' ');
    const auto now = clocks.boot ? clocks.boot() : std::nullopt;
    if (space != std::string::npos && now && now->boot_id == boot->substr(0, space)) {
      const double recorded = std::strtod(boot->c_str() + space + 1, nullptr);
      return TAge{std::llround(now->seconds - recorded), "boot clock"};
    }
  }
  if (const auto utc = Text(backend, kHealthSection, kLastCycleEndUtcValue)) {
    char* end = nullptr;
    const long long recorded = std::strtoll(utc->c_str(), &end, 10);
    if (end != utc->c_str() && clocks.utc) {
      const long long now =
          std::chrono::duration_cast<std::chrono::seconds>(clocks.utc().time_since_epoch()).count();
      return TAge{now - recorded, "UTC clock"};
    }
  }
  if (!std::isfinite(last_run_days)) return std::nullopt;
  return TAge{std::llround((local.LocalNow().days - last_run_days) * 86400.0), "local time"};
}

// Rounding of the recorded times; more than this in the future is a clock
// set back (or a record written ahead), not a fresh cycle.
constexpr long long kFutureToleranceSeconds = 5;

}  // namespace

int RunCheckCommand(TPolicyBackend& backend, TClock& clock, std::optional<int> max_age_minutes,
                    std::ostream& out, const TCheckClocks& clocks) {
  try {
    const auto delay = Integer(backend, "general", "Delay").value_or(1);
    const long long bound_seconds =
        60LL * (max_age_minutes ? *max_age_minutes : std::max<long long>(3LL * delay, 3));
    const auto last_run = backend.ReadValue("general", "LastRun");
    const double days =
        last_run && last_run->type == TPolicyValueType::Binary && last_run->binary.size() == 8
            ? DecodePolicyFloat(last_run->binary)
            : std::nan("");
    if (!std::isfinite(days)) {
      out << "WARDERON CRITICAL - no cycle has completed"
          << (last_run ? " (LastRun is not a time)" : "") << "\n";
      return kCheckCritical;
    }
    const TAge measured = AgeOfLastCycle(backend, clock, days, clocks).value_or(TAge{});
    const long long age = std::max<long long>(0, measured.seconds);
    const auto failures = Integer(backend, kHealthSection, "LastCycleModuleFailures").value_or(0);
    const auto undelivered =
        Integer(backend, kHealthSection, "LastCycleDeliveryFailures").value_or(0);
    const auto alerts = Integer(backend, kHealthSection, "LastCycleAlerts").value_or(0);
    const auto failed = backend.ReadValue(kHealthSection, "LastCycleFailedSteps");
    const std::string performance =
        " | age=" + std::to_string(age) + "s;;" + std::to_string(bound_seconds) +
        " module_failures=" + std::to_string(failures) +
        " delivery_failures=" + std::to_string(undelivered) + " alerts=" + std::to_string(alerts);
    if (age > bound_seconds) {
      out << "WARDERON CRITICAL - the last cycle ended " << age << " s ago (bound " << bound_seconds
          << " s): the watchdog may be stopped or hung" << performance << "\n";
      return kCheckCritical;
    }
    const auto dropped = Integer(backend, kHealthSection, kOutboxDroppedValue).value_or(0);
    if (dropped > 0) {
      out << "WARDERON CRITICAL - " << dropped
          << " alerts were dropped from a full or too old outbox while a relay or collector was "
             "unreachable"
          << performance << "\n";
      return kCheckCritical;
    }
    if (measured.seconds < -kFutureToleranceSeconds) {
      out << "WARDERON WARNING - the last cycle ended " << -measured.seconds
          << " s in the future by the " << measured.clock
          << ": the clock was set back, or the record was not written by this watchdog"
          << performance << "\n";
      return kCheckWarning;
    }
    const auto oldest = Integer(backend, kHealthSection, kOutboxOldestValue).value_or(0);
    if (oldest > bound_seconds) {
      out << "WARDERON WARNING - alerts have waited in an outbox for " << oldest << " s (bound "
          << bound_seconds << " s): a relay or collector is unreachable" << performance << "\n";
      return kCheckWarning;
    }
    if (failures > 0 || undelivered > 0) {
      out << "WARDERON WARNING - the last cycle, " << age << " s ago, had " << failures
          << " failed steps";
      if (failed && failed->type == TPolicyValueType::Text && !failed->text.empty()) {
        out << " (" << VisibleLine(failed->text) << ")";
      }
      out << " and " << undelivered << " undelivered alerts or lines" << performance << "\n";
      return kCheckWarning;
    }
    out << "WARDERON OK - the last cycle ended " << age << " s ago" << performance << "\n";
    return kCheckOk;
  } catch (const std::exception& error) {
    out << "WARDERON UNKNOWN - " << VisibleLine(error.what()) << "\n";
    return kCheckUnknown;
  }
}

}  // namespace warderon

#include "service/check_command.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>

#include "core/text.h"
#include "policy/policy_store.h"
#include "service/health_report.h"

namespace warderon {
namespace {

std::optional<std::int32_t> Integer(TPolicyBackend& backend, const char* section,
                                    const char* name) {
  const auto value = backend.ReadValue(section, name);
  if (!value || value->type != TPolicyValueType::Integer) return std::nullopt;
  return value->integer;
}

}  // namespace

int RunCheckCommand(TPolicyBackend& backend, TClock& clock, std::optional<int> max_age_minutes,
                    std::ostream& out) {
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
    const long long age =
        std::max<long long>(0, std::llround((clock.LocalNow().days - days) * 86400.0));
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

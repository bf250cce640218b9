#include "service/status_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <vector>

#include "core/text.h"
#include "policy/policy_store.h"
#include "service/monitor_switches.h"
#include "service/warderon_thread.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";

std::optional<std::int32_t> ReadInteger(TPolicyBackend& backend, const std::string& name) {
  const auto value = backend.ReadValue(kGeneral, name);
  if (!value || value->type != TPolicyValueType::Integer) return std::nullopt;
  return value->integer;
}

std::string Ago(double days) {
  const auto minutes = static_cast<long long>(std::llround(days * 24 * 60));
  if (minutes < 0) return "in the future: the clock was changed";
  if (minutes < 1) return "less than a minute ago";
  if (minutes == 1) return "a minute ago";
  if (minutes < 120) return std::to_string(minutes) + " minutes ago";
  if (minutes < 48 * 60) return std::to_string(minutes / 60) + " hours ago";
  return std::to_string(minutes / (24 * 60)) + " days ago";
}

}  // namespace

int RunStatusCommand(TPolicyBackend& backend, TClock& clock, std::ostream& out, std::ostream& err) {
  try {
    out << "store: " << backend.Describe() << "\n";
    const auto version = ReadInteger(backend, "version");
    out << "data version: "
        << (version
                ? VersionText(*version) + (*version == kDataVersion ? "" : " (not this release's)")
                : std::string("none (never started)"))
        << "\n";
    const auto last_run = backend.ReadValue(kGeneral, "LastRun");
    const bool has_last_run =
        last_run && last_run->type == TPolicyValueType::Binary && last_run->binary.size() == 8;
    // A time before year 1 or after 9999 was not written by a clock.
    const double days = has_last_run ? DecodePolicyFloat(last_run->binary) : 0;
    if (has_last_run && !(days > -657434.0 && days < 2958466.0)) {
      out << "last run: the stored time is not valid (" << days << ")\n";
    } else if (has_last_run) {
      const TCivilTime time = ToCivilTime({days});
      char text[64];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month,
                    time.day, time.hour, time.minute, time.second);
      out << "last run: " << text << " local time, " << Ago(clock.LocalNow().days - days) << "\n";
    } else {
      out << "last run: never\n";
    }
    const TEnabledParts parts = ReadEnabledParts(backend);
    std::vector<std::string> labels = parts.monitors;
    labels.insert(labels.end(), parts.delivery.begin(), parts.delivery.end());
    std::string enabled;
    for (const std::string& label : labels) enabled += (enabled.empty() ? "" : ", ") + label;
    out << "enabled: " << (enabled.empty() ? "nothing" : enabled) << "\n";
    // The journal holds the last cycle's alerts, numbered in order.
    std::vector<std::pair<long long, std::string>> journal;
    for (const TPolicyNamedValue& value : backend.ReadSection("Logs")) {
      if (value.value.type != TPolicyValueType::Text) continue;
      char* end = nullptr;
      const long long number = std::strtoll(value.name.c_str(), &end, 10);
      if (end != value.name.c_str() && *end == '\0') journal.emplace_back(number, value.value.text);
    }
    std::sort(journal.begin(), journal.end());
    out << "journal of the last cycle:" << (journal.empty() ? " empty" : "") << "\n";
    for (const auto& [number, text] : journal) out << "  " << VisibleLine(text) << "\n";
    return 0;
  } catch (const TPolicyError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace warderon

#include "service/status_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <ostream>
#include <vector>

#include "core/text.h"
#include "policy/policy_store.h"
#include "service/health_section.h"
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

// A JSON string: quotes, backslashes and control characters escaped.
std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ",") + JsonText(items[i]);
  return out + "]";
}

// What the store says, read once for both forms.
struct TStatus {
  std::string store;
  std::optional<std::int32_t> version;
  enum class TLastRun { Never, Invalid, Valid } last_run = TLastRun::Never;
  double last_run_days = 0;
  std::string last_run_text;  // local date and time
  double age_days = 0;
  TEnabledParts enabled;
  std::vector<std::string> journal;
  // Each sink's outbox as the last cycle left it: entries, oldest, dropped.
  struct TOutbox {
    std::string sink;
    std::int32_t figures[3] = {0, 0, 0};
  };
  std::vector<TOutbox> outboxes;
};

TStatus ReadStatus(TPolicyBackend& backend, TClock& clock) {
  TStatus status;
  status.store = backend.Describe();
  status.version = ReadInteger(backend, "version");
  const auto last_run = backend.ReadValue(kGeneral, "LastRun");
  if (last_run && last_run->type == TPolicyValueType::Binary && last_run->binary.size() == 8) {
    const double days = DecodePolicyFloat(last_run->binary);
    // A time before year 1 or after 9999 was not written by a clock.
    if (!(days > -657434.0 && days < 2958466.0)) {
      status.last_run = TStatus::TLastRun::Invalid;
      status.last_run_days = days;
    } else {
      status.last_run = TStatus::TLastRun::Valid;
      status.last_run_days = days;
      const TCivilTime time = ToCivilTime({days});
      char text[64];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month,
                    time.day, time.hour, time.minute, time.second);
      status.last_run_text = text;
      status.age_days = clock.LocalNow().days - days;
    }
  }
  status.enabled = ReadEnabledParts(backend);
  // The journal holds the last cycle's alerts, numbered in order.
  std::vector<std::pair<long long, std::string>> journal;
  for (const TPolicyNamedValue& value : backend.ReadSection("Logs")) {
    if (value.value.type != TPolicyValueType::Text) continue;
    char* end = nullptr;
    const long long number = std::strtoll(value.name.c_str(), &end, 10);
    if (end != value.name.c_str() && *end == '\0') journal.emplace_back(number, value.value.text);
  }
  std::sort(journal.begin(), journal.end());
  for (auto& [number, text] : journal) status.journal.push_back(std::move(text));
  for (const auto& [sink, name] : kOutboxSinks) {
    TStatus::TOutbox outbox;
    outbox.sink = sink;
    bool recorded = false;
    for (std::size_t i = 0; i < 3; ++i) {
      const auto value =
          backend.ReadValue(kHealthSection, std::string("Outbox") + name + kOutboxSinkValues[i]);
      if (value && value->type == TPolicyValueType::Integer) {
        outbox.figures[i] = value->integer;
        recorded = true;
      }
    }
    if (recorded) status.outboxes.push_back(outbox);
  }
  return status;
}

void PrintText(const TStatus& status, std::ostream& out) {
  out << "store: " << VisibleLine(status.store) << "\n";
  out << "data version: "
      << (status.version ? VersionText(*status.version) +
                               (*status.version == kDataVersion ? "" : " (not this release's)")
                         : std::string("none (never started)"))
      << "\n";
  switch (status.last_run) {
    case TStatus::TLastRun::Never:
      out << "last run: never\n";
      break;
    case TStatus::TLastRun::Invalid:
      out << "last run: the stored time is not valid (" << status.last_run_days << ")\n";
      break;
    case TStatus::TLastRun::Valid:
      out << "last run: " << status.last_run_text << " local time, " << Ago(status.age_days)
          << "\n";
      break;
  }
  std::vector<std::string> labels = status.enabled.monitors;
  labels.insert(labels.end(), status.enabled.delivery.begin(), status.enabled.delivery.end());
  std::string enabled;
  for (const std::string& label : labels) enabled += (enabled.empty() ? "" : ", ") + label;
  out << "enabled: " << (enabled.empty() ? "nothing" : enabled) << "\n";
  for (const TStatus::TOutbox& outbox : status.outboxes) {
    out << "outbox " << outbox.sink << ": " << outbox.figures[0] << " waiting";
    if (outbox.figures[0] > 0) {
      out << ", the oldest raised " << outbox.figures[1] << " s before the last cycle ended";
    }
    out << ", " << outbox.figures[2] << " dropped\n";
  }
  out << "journal of the last cycle:" << (status.journal.empty() ? " empty" : "") << "\n";
  for (const std::string& text : status.journal) out << "  " << VisibleLine(text) << "\n";
}

void PrintJson(const TStatus& status, std::ostream& out) {
  out << "{\"store\":" << JsonText(status.store) << ",\"data_version\":"
      << (status.version ? JsonText(VersionText(*status.version)) : std::string("null"))
      << ",\"current_release\":" << (status.version == kDataVersion ? "true" : "false")
      << ",\"last_run\":"
      << (status.last_run == TStatus::TLastRun::Valid ? JsonText(status.last_run_text)
                                                      : std::string("null"))
      << ",\"last_run_valid\":"
      << (status.last_run == TStatus::TLastRun::Invalid ? "false" : "true")
      << ",\"last_run_age_seconds\":";
  if (status.last_run == TStatus::TLastRun::Valid) {
    out << std::llround(status.age_days * 86400.0);
  } else {
    out << "null";
  }
  out << ",\"monitors\":" << JsonList(status.enabled.monitors)
      << ",\"delivery\":" << JsonList(status.enabled.delivery)
      << ",\"journal\":" << JsonList(status.journal) << ",\"outboxes\":{";
  for (std::size_t i = 0; i < status.outboxes.size(); ++i) {
    const TStatus::TOutbox& outbox = status.outboxes[i];
    out << (i == 0 ? "" : ",") << JsonText(outbox.sink) << ":{\"entries\":" << outbox.figures[0]
        << ",\"oldest_seconds\":" << outbox.figures[1] << ",\"dropped_total\":" << outbox.figures[2]
        << "}";
  }
  out << "}}\n";
}

}  // namespace

int RunStatusCommand(TPolicyBackend& backend, TClock& clock, std::ostream& out, std::ostream& err,
                     bool json) {
  try {
    const TStatus status = ReadStatus(backend, clock);
    if (json) {
      PrintJson(status, out);
    } else {
      PrintText(status, out);
    }
    return 0;
  } catch (const TPolicyError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace warderon

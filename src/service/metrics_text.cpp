#include <charconv>

#include "service/health_snapshot.h"

namespace warderon {
namespace {

// A label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

class TMetricsWriter {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value) {
    text_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + Number(value) + "\n";
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string name_;
  std::string text_;
};

}  // namespace

std::string FormatPrometheusMetrics(const THealthSnapshot& health) {
  TMetricsWriter out;
  out.Family("warderon_start_time_seconds", "gauge", "Unix time at which the watchdog started.");
  out.Sample("", health.start_time_seconds);
  out.Family("warderon_last_cycle_timestamp_seconds", "gauge",
             "Unix time at which the last monitoring cycle completed.");
  out.Sample("", health.last_cycle_end_seconds);
  out.Family("warderon_last_cycle_duration_seconds", "gauge",
             "How long the last monitoring cycle took.");
  out.Sample("", health.last_cycle_seconds);
  out.Family("warderon_cycles_total", "counter", "Monitoring cycles run by this process.");
  out.Sample("", static_cast<double>(health.cycles));
  out.Family("warderon_alerts_total", "counter",
             "Alerts raised by this process, by the cycle step that raised them and level.");
  for (const auto& [key, count] : health.alerts) {
    out.Sample(
        "module=\"" + LabelValue(key.first) + "\",level=\"" + std::to_string(key.second) + "\"",
        static_cast<double>(count));
  }
  out.Family("warderon_module_failures_total", "counter",
             "Cycle steps that failed with a run time error, by step.");
  for (const auto& [module, count] : health.module_failures) {
    out.Sample("module=\"" + LabelValue(module) + "\"", static_cast<double>(count));
  }
  out.Family("warderon_delivery_failures_total", "counter",
             "Alerts (mail) or lines (syslog) that could not be delivered, by sink.");
  for (const char* sink : {"mail", "syslog"}) {
    const auto found = health.delivery_failures.find(sink);
    out.Sample(std::string("sink=\"") + sink + "\"",
               static_cast<double>(found == health.delivery_failures.end() ? 0 : found->second));
  }
  if (!health.outboxes.empty()) {
    out.Family("warderon_outbox_entries", "gauge",
               "Alerts (mail) or lines (syslog) waiting in the sink's outbox.");
    for (const auto& [sink, outbox] : health.outboxes) {
      out.Sample("sink=\"" + LabelValue(sink) + "\"", static_cast<double>(outbox.entries));
    }
    out.Family("warderon_outbox_oldest_seconds", "gauge",
               "Age of the oldest entry waiting in the sink's outbox (0: none).");
    for (const auto& [sink, outbox] : health.outboxes) {
      out.Sample("sink=\"" + LabelValue(sink) + "\"", outbox.oldest_seconds);
    }
    out.Family("warderon_outbox_dropped_total", "counter",
               "Outbox entries dropped by this process because the outbox was full or too old.");
    for (const auto& [sink, outbox] : health.outboxes) {
      out.Sample("sink=\"" + LabelValue(sink) + "\"", static_cast<double>(outbox.dropped_total));
    }
  }
  out.Family("warderon_files_watched", "gauge", "Files in the file monitor's catalogue.");
  out.Sample("", static_cast<double>(health.files_watched));
  out.Family("warderon_directories_followed", "gauge",
             "Directories whose changes the file monitor follows (0 when cycles walk in full).");
  out.Sample("", static_cast<double>(health.directories_followed));
  out.Family("warderon_files_following_changes", "gauge",
             "1 when file cycles follow changes, 0 when they walk every tree in full.");
  out.Sample("", health.files_followed ? 1 : 0);
  if (health.digest_backlog_bytes) {
    out.Family("warderon_files_digest_backlog_bytes", "gauge",
               "Bytes of content below DigestDirs still waiting to be hashed.");
    out.Sample("", static_cast<double>(*health.digest_backlog_bytes));
  }
  if (health.resident_bytes) {
    out.Family("warderon_resident_memory_bytes", "gauge",
               "Resident memory of the watchdog's process at the end of the last cycle.");
    out.Sample("", static_cast<double>(*health.resident_bytes));
  }
  out.Family("warderon_monitor_enabled", "gauge", "1 when the monitor is switched on.");
  for (const auto& [monitor, on] : health.monitors) {
    out.Sample("monitor=\"" + LabelValue(monitor) + "\"", on ? 1 : 0);
  }
  return out.Take();
}

}  // namespace warderon

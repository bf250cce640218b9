#include "service/health_report.h"

#include <algorithm>
#include <cstdio>

#include "platform/files/atomic_file.h"
#include "platform/time/date_time.h"
#include "service/monitor_switches.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";

double UnixSeconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

std::string LocalDateTime(const TDateTime& time) {
  const TCivilTime civil = ToCivilTime(time);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", civil.year, civil.month,
                civil.day, civil.hour, civil.minute, civil.second);
  return text;
}

std::string Joined(const std::vector<std::string>& items, const char* none) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? none : text;
}

}  // namespace

THealthReport::THealthReport(TPolicyStore& store, TSmtpModule& alerts, TClock& clock,
                             std::function<TFilesHealth()> files, TSystemNow system_now,
                             TRepeatedFailureGate::TNow steady_now)
    : store_(store),
      alerts_(alerts),
      files_(std::move(files)),
      system_now_(std::move(system_now)),
      steady_now_(std::move(steady_now)),
      failure_gate_(steady_now_),
      started_(LocalDateTime(clock.LocalNow())),
      start_time_seconds_(UnixSeconds(system_now_())) {}

THealthSnapshot THealthReport::Snapshot() {
  THealthSnapshot health;
  health.start_time_seconds = start_time_seconds_;
  health.last_cycle_end_seconds = last_cycle_end_seconds_;
  health.last_cycle_seconds = last_cycle_seconds_;
  health.cycles = cycles_;
  const TSmtpModule::TDispatchCounts counts = alerts_.Counts();
  health.alerts = counts.alerts;
  health.module_failures = module_failures_;
  health.delivery_failures = {{"mail", counts.mail_not_sent}, {"syslog", counts.syslog_not_sent}};
  if (files_) {
    const TFilesHealth files = files_();
    health.files_watched = files.files;
    health.directories_followed = files.directories;
    health.files_followed = files.followed;
    health.digest_backlog_bytes = files.digest_backlog;
  }
  if (resident_) health.resident_bytes = resident_();
  const double now_seconds = UnixSeconds(system_now_());
  for (const auto& [sink, backlog] : alerts_.Backlogs()) {
    THealthSnapshot::TOutbox& outbox = health.outboxes[sink];
    outbox.entries = backlog.entries;
    if (backlog.oldest_raised_ms != 0) {
      outbox.oldest_seconds =
          std::max(0.0, now_seconds - static_cast<double>(backlog.oldest_raised_ms) / 1000.0);
    }
    outbox.dropped_total = backlog.dropped_total;
    outbox.dropped_unreported = backlog.dropped_unreported;
  }
  health.monitors = ReadMonitorSwitches(store_.Backend());
  const bool files_on =
      std::any_of(health.monitors.begin(), health.monitors.end(),
                  [](const auto& monitor) { return monitor.first == "files" && monitor.second; });
  if (!files_on) {  // a switched-off monitor follows nothing
    health.directories_followed = 0;
    health.files_followed = false;
  }
  return health;
}

void THealthReport::OnCycleEnd(const TCycleOutcome& outcome) {
  ++cycles_;
  last_cycle_end_seconds_ = UnixSeconds(system_now_());
  last_cycle_seconds_ = std::chrono::duration<double>(outcome.duration).count();
  for (const std::string& step : outcome.failed_steps) {
    ++module_failures_[step];
    failed_since_heartbeat_.insert(step);
  }
  const THealthSnapshot health = Snapshot();
  const TSmtpModule::TDispatchCounts counts = alerts_.Counts();
  const std::uint64_t alerts = counts.AlertTotal();
  const std::uint64_t failures = counts.mail_not_sent + counts.syslog_not_sent;
  RecordForCheck(outcome, health, alerts - alerts_before_, failures - failures_before_);
  alerts_before_ = alerts;
  failures_before_ = failures;
  WriteMetrics(health);
  // Both read every cycle, so that the store shows them from the first.
  const std::int32_t minutes = store_.ReadPolicyInteger(kGeneral, "HeartbeatMinutes", 0);
  const bool mail = store_.ReadPolicyBool(kGeneral, "HeartbeatMail", false);
  const auto now = steady_now_();
  if (minutes > 0 &&
      (!last_heartbeat_ || now - *last_heartbeat_ >= std::chrono::minutes(minutes))) {
    last_heartbeat_ = now;
    SendHeartbeat(health, alerts, failures, mail);
  }
}

void THealthReport::RecordForCheck(const TCycleOutcome& outcome, const THealthSnapshot& health,
                                   std::uint64_t alerts, std::uint64_t delivery_failures) {
  double oldest = 0;
  std::uint64_t dropped = 0;
  for (const auto& [sink, outbox] : health.outboxes) {
    oldest = std::max(oldest, outbox.oldest_seconds);
    dropped += outbox.dropped_unreported;
  }
  const auto clamp = [](std::uint64_t value) {
    return static_cast<std::int32_t>(std::min<std::uint64_t>(value, 2147483647));
  };
  TPolicyBackend& backend = store_.Backend();
  backend.RunAtomically([&] {
    backend.CreateSection(kHealthSection);
    backend.WriteValue(kHealthSection, "LastCycleFailedSteps",
                       TPolicyValue::MakeText(Joined(outcome.failed_steps, "")));
    backend.WriteValue(kHealthSection, "LastCycleModuleFailures",
                       TPolicyValue::MakeInteger(clamp(outcome.failed_steps.size())));
    backend.WriteValue(kHealthSection, "LastCycleDeliveryFailures",
                       TPolicyValue::MakeInteger(clamp(delivery_failures)));
    backend.WriteValue(kHealthSection, "LastCycleAlerts", TPolicyValue::MakeInteger(clamp(alerts)));
    backend.WriteValue(kHealthSection, kOutboxOldestValue,
                       TPolicyValue::MakeInteger(clamp(static_cast<std::uint64_t>(oldest))));
    backend.WriteValue(kHealthSection, kOutboxDroppedValue,
                       TPolicyValue::MakeInteger(clamp(dropped)));
    for (const auto& [sink, name] : kOutboxSinks) {
      const auto found = health.outboxes.find(sink);
      if (found == health.outboxes.end()) continue;
      const std::uint64_t figures[] = {found->second.entries,
                                       static_cast<std::uint64_t>(found->second.oldest_seconds),
                                       found->second.dropped_total};
      for (std::size_t i = 0; i < 3; ++i) {
        backend.WriteValue(kHealthSection, std::string("Outbox") + name + kOutboxSinkValues[i],
                           TPolicyValue::MakeInteger(clamp(figures[i])));
      }
    }
    char utc[32];
    std::snprintf(utc, sizeof utc, "%.0f", last_cycle_end_seconds_);
    backend.WriteValue(kHealthSection, kLastCycleEndUtcValue, TPolicyValue::MakeText(utc));
    if (const auto boot = boot_now_ ? boot_now_() : std::nullopt) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f", boot->seconds);
      backend.WriteValue(kHealthSection, kLastCycleEndBootValue,
                         TPolicyValue::MakeText(boot->boot_id + " " + seconds));
    } else {
      backend.DeleteValue(kHealthSection, kLastCycleEndBootValue);
    }
    backend.WriteValue(
        kHealthSection, "LastCycleMilliseconds",
        TPolicyValue::MakeInteger(clamp(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(outcome.duration).count()))));
  });
}

void THealthReport::WriteMetrics(const THealthSnapshot& health) {
  const std::string path = store_.ReadPolicyString(kGeneral, "MetricsFile", "");
  if (path.empty()) return;
  try {
    // The exporter reads the folder it owns: the file is for every reader,
    // replaced whole, never seen half written.
    const std::string text = FormatPrometheusMetrics(health);
    WriteFileAtomically(
        path, [&](const TWriteText& write) { write(text); }, TFileAccess::ReadableByAll);
  } catch (const std::exception& error) {
    const std::string reason = error.what();
    if (failure_gate_.ShouldReport(reason)) {
      alerts_.SendAlert(kAlertMonitorFailure, "metrics file not written",
                        reason + "\r\nThis is said again once a day while it lasts.");
    }
  }
}

void THealthReport::SendHeartbeat(const THealthSnapshot& health, std::uint64_t alerts,
                                  std::uint64_t delivery_failures, bool mail) {
  std::vector<std::string> enabled;
  for (const auto& [monitor, on] : health.monitors) {
    if (on) enabled.push_back(monitor);
  }
  char duration[64];
  std::snprintf(duration, sizeof duration, "%.3f s", health.last_cycle_seconds);
  const std::vector<std::string> failed(failed_since_heartbeat_.begin(),
                                        failed_since_heartbeat_.end());
  std::vector<std::string> lines = {
      "started: " + started_ + " (local time)",
      "cycles run: " + std::to_string(health.cycles),
      std::string("last cycle: ") + duration,
      "monitors enabled: " + Joined(enabled, "none"),
      "alerts since the last heartbeat: " + std::to_string(alerts - alerts_at_heartbeat_),
      "delivery failures since the last heartbeat: " +
          std::to_string(delivery_failures - failures_at_heartbeat_),
      "modules failed since the last heartbeat: " + Joined(failed, "none"),
      "files watched: " + std::to_string(health.files_watched) +
          (health.files_followed ? "; cycles follow changes" : "; cycles walk in full") +
          (health.digest_backlog_bytes
               ? "; content to hash: " + std::to_string(*health.digest_backlog_bytes) + " bytes"
               : std::string()),
  };
  for (const auto& [sink, outbox] : health.outboxes) {
    char oldest[48];
    std::snprintf(oldest, sizeof oldest, "%.0f s", outbox.oldest_seconds);
    lines.push_back("outbox " + sink + ": " + std::to_string(outbox.entries) + " waiting" +
                    (outbox.entries > 0 ? std::string(", the oldest raised ") + oldest + " ago"
                                        : std::string()) +
                    ", " + std::to_string(outbox.dropped_total) + " dropped");
  }
  alerts_at_heartbeat_ = alerts;
  failures_at_heartbeat_ = delivery_failures;
  failed_since_heartbeat_.clear();
  if (mail) {
    alerts_.SendAlertWithDetails(kAlertRunTimeError, "Warderon heartbeat", "Warderon heartbeat",
                                 lines);
  } else {
    alerts_.SendAlertWithoutMail(kAlertRunTimeError, "Warderon heartbeat", "Warderon heartbeat",
                                 lines);
  }
}

}  // namespace warderon

#include "service/warderon_thread.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";
constexpr std::int32_t kMillisecondsPerMinute = 60000;
constexpr std::int32_t kShortestDelayMs = 5000;

std::int32_t MinutesToMilliseconds(std::int32_t minutes) {
  return std::clamp(minutes, 0, kMaxDelayMinutes) * kMillisecondsPerMinute;
}

std::string CurrentErrorMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

std::string VersionText(std::int32_t version) {
  const auto bits = static_cast<std::uint32_t>(version);
  char text[16];
  std::snprintf(text, sizeof text, "%04X.%04X", bits >> 16, bits & 0xFFFFU);
  return text;
}

TWarderonThread::TWarderonThread(TPolicyStore& store, TSmtpModule& alerts, TCycleState& cycle,
                                 TModuleTable& modules, TClock& clock, TBeeper& beeper)
    : store_(store),
      alerts_(alerts),
      cycle_(cycle),
      modules_(modules),
      clock_(clock),
      beeper_(beeper) {}

void TWarderonThread::TryAlert(AlertLevel level, const std::string& subject,
                               const std::string& body) {
  try {
    alerts_.SendAlert(level, subject, body);
  } catch (...) {
    // The sinks themselves failed; the alert went as far as they work.
  }
}

void TWarderonThread::ReportRunTimeError(const std::string& label, const std::string& activity,
                                         const std::string& message) {
  failed_steps_.push_back(label);
  TryAlert(kAlertRunTimeError, "run time error",
           "received general run time error doing " + label + " " + activity + "\r\n" + message);
}

template <class TWork>
void TWarderonThread::Guarded(const std::string& label, TWork work) {
  try {
    work();
  } catch (...) {
    // The cycle's own work: a module's last activity text does not belong here.
    ReportRunTimeError(label, "", CurrentErrorMessage());
  }
}

void TWarderonThread::RunStartup() {
  alerts_.BeginDispatchRound();
  const std::string version_text = VersionText(kDataVersion);
  const std::int32_t stored = store_.ReadPolicyInteger(kGeneral, "version", kLastOldDataVersion);
  cycle_.NewInstall = stored <= kLastOldDataVersion;
  if (cycle_.NewInstall) {
    TryAlert(kAlertStart, "Warderon starting NEW INSTALL",
             "system started NEW INSTALL, version " + version_text);
    alerts_.SuppressIntegrityAlerts();
  } else {
    TryAlert(kAlertStart, "Warderon starting", "system starting, Version " + version_text);
  }
  try {
    store_.WritePolicyInteger(kGeneral, "version", kDataVersion);
  } catch (...) {
    TryAlert(kAlertStart, "startup error", "startup error doing version " + CurrentErrorMessage());
  }

  std::string step_label;
  try {
    for (TModuleRow* row : modules_.StartupOrder()) {
      pause_.PassWhenOpen();
      step_label = row->startup_label;
      cycle_.StepLabel = step_label;
      InitializeRow(*row);
      cycle_.StepLabel.clear();
    }
  } catch (...) {
    TryAlert(kAlertStart, "startup error",
             "startup error doing " + step_label + " " + CurrentErrorMessage());
  }
  cycle_.StepLabel.clear();

  ad_countdown_ms_ = 0;
  cycle_.NewInstall = false;
  alerts_.ResumeIntegrityAlerts();
}

void TWarderonThread::InitializeRow(TModuleRow& row) {
  if (!row.module && row.create) row.module = row.create();
  if (!row.module) throw std::runtime_error("module object could not be created");
  row.module->Initialize();
  row.initialized = true;
}

void TWarderonThread::ReadCycleSettings() {
  cycle_.GeneralUpdateRequested = store_.ReadPolicyBool(kGeneral, "GeneralUpdate", false);
  if (cycle_.GeneralUpdateRequested) {
    Guarded("cycle housekeeping",
            [&] { store_.WritePolicyBool(kGeneral, "GeneralUpdate", false); });
  }
  delay_ms_ = MinutesToMilliseconds(store_.ReadPolicyInteger(kGeneral, "Delay", 1));
  ad_interval_ms_ = MinutesToMilliseconds(store_.ReadPolicyInteger(kGeneral, "ADDelay", 5));
  const std::int32_t beep = store_.ReadPolicyInteger(kGeneral, "Beep", 0);
  if (delay_ms_ == 0) delay_ms_ = kShortestDelayMs;
  if (beep != 0) beeper_.Beep();
}

void TWarderonThread::RunModules() {
  std::string step_label;
  try {
    for (TModuleRow* row : modules_.CycleOrder()) {
      pause_.PassWhenOpen();
      // A stop ends the cycle at this safe point: the module before it has
      // saved its baseline, and the stop need not wait for the rest.
      if (termination_.IsSet()) return;
      step_label = row->cycle_label;
      if (row->every_ad_interval && ad_countdown_ms_ >= 1) continue;
      // A row whose start-up failed (a full disk, a store that was busy) or
      // was never reached gets its start-up now; a failure counts as the
      // row's failure in this cycle.
      cycle_.StepLabel = step_label;
      if (!row->initialized) InitializeRow(*row);
      row->module->Run();
      cycle_.StepLabel.clear();
      if (row->every_ad_interval) ad_countdown_ms_ = ad_interval_ms_;
    }
  } catch (...) {
    ReportRunTimeError(step_label, cycle_.ActivityText, CurrentErrorMessage());
  }
  cycle_.StepLabel.clear();
}

void TWarderonThread::ReportAfterModules() {
  // Alerts that a sink could not take never failed the module that raised
  // them; they are reported here, once per cycle, by the sinks that work.
  const std::string undelivered = alerts_.TakeDeliveryFailures();
  if (!undelivered.empty()) {
    ReportRunTimeError("alert delivery", "", undelivered);
    // The report's own delivery fails the same way; reporting that too
    // would send one more failing alert every cycle, for ever.
    alerts_.TakeDeliveryFailures();
  }
  for (const auto& report : store_.TakeSettingReports()) {
    TryAlert(kAlertMonitorFailure, report.subject, report.text);
  }
}

void TWarderonThread::RunCycle() {
  const auto start = std::chrono::steady_clock::now();
  failed_steps_.clear();
  Guarded("cycle housekeeping", [&] { alerts_.ClearJournal(); });
  ReadCycleSettings();
  // Start-up's failures and the last heartbeat's never cancel this cycle's mail.
  alerts_.BeginDispatchRound();
  RunModules();
  ReportAfterModules();
  Guarded("cycle stamping",
          [&] { store_.WritePolicyFloat(kGeneral, "LastRun", clock_.LocalNow().days); });
  if (cycle_end_hook_) {
    alerts_.BeginDispatchRound(false);
    TCycleOutcome outcome;
    outcome.duration = std::chrono::steady_clock::now() - start;
    outcome.failed_steps = failed_steps_;
    Guarded("cycle report", [&] { cycle_end_hook_(outcome); });
  }
}

void TWarderonThread::SleepAfterCycle() {
  clock_.Sleep(std::chrono::milliseconds(delay_ms_), termination_);
  // Only "below 1" matters; holding at 0 keeps the countdown from running
  // out of range in a process that runs for months.
  ad_countdown_ms_ = std::max<std::int64_t>(ad_countdown_ms_ - delay_ms_, 0);
}

void TWarderonThread::Execute(std::optional<int> cycle_limit) {
  try {
    RunStartup();
  } catch (...) {
    TryAlert(kAlertStart, "startup error", "startup error doing start " + CurrentErrorMessage());
  }
  int cycles = 0;
  for (;;) {
    pause_.PassWhenOpen();
    if (termination_.IsSet()) break;
    try {
      RunCycle();
    } catch (...) {
      ReportRunTimeError("cycle", "", CurrentErrorMessage());
    }
    if (cycle_limit && ++cycles >= *cycle_limit) break;
    SleepAfterCycle();
  }
}

void TWarderonThread::RequestTermination() { termination_.Set(); }

}  // namespace warderon

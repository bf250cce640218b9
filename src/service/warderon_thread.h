// The worker: the start-up sequence, then the monitoring cycle until it is
// asked to terminate. Every failure that escapes a module, or the cycle's own
// store work, is reported as an alert and confined to its cycle: nothing
// leaves Execute().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "alerts/smtp_module.h"
#include "core/cycle_state.h"
#include "platform/console/beeper.h"
#include "platform/sync/pause_gate.h"
#include "platform/sync/stop_event.h"
#include "platform/time/clock.h"
#include "policy/policy_store.h"
#include "service/module_table.h"

namespace warderon {

// The data version this release writes, and the highest one that still
// counts as a new installation.
constexpr std::int32_t kDataVersion = 0x00010300;
constexpr std::int32_t kLastOldDataVersion = 0x00010200;

// "Delay" and "ADDelay" are minutes; values outside 0..kMaxDelayMinutes are
// clamped so that the milliseconds fit a 32-bit signed number (a negative
// "Delay" thus behaves like 0, which means 5 seconds).
constexpr std::int32_t kMaxDelayMinutes = 35791;

// "0001.0300": the two 16-bit halves as upper-case hexadecimal, joined by ".".
std::string VersionText(std::int32_t version);

// What a cycle came to, for the health report.
struct TCycleOutcome {
  std::chrono::steady_clock::duration duration{};
  std::vector<std::string> failed_steps;  // the labels of the steps that failed
};

class TWarderonThread {
 public:
  TWarderonThread(TPolicyStore& store, TSmtpModule& alerts, TCycleState& cycle,
                  TModuleTable& modules, TClock& clock, TBeeper& beeper);

  // Start-up, then cycles while termination is not requested. With a cycle
  // limit, returns after that many cycles without sleeping after the last.
  void Execute(std::optional<int> cycle_limit = std::nullopt);

  // The parts of Execute, for tests that step through them.
  void RunStartup();
  void RunCycle();
  void SleepAfterCycle();

  // Sets the termination flag and cuts the current sleep short. Any thread.
  // A paused worker stays paused.
  void RequestTermination();

  // Pause holds the worker at its next safe point (before a module, before
  // a cycle); a sleep in progress runs on. Continue lets it go on from there.
  // Any thread.
  void Pause() { pause_.Pause(); }
  void Continue() { pause_.Resume(); }
  bool HeldByPause() const { return pause_.Holding(); }
  bool TerminationRequested() const { return termination_.IsSet(); }

  // Called on the worker at the end of every cycle. Set before Execute.
  void SetCycleEndHook(std::function<void(const TCycleOutcome&)> hook) {
    cycle_end_hook_ = std::move(hook);
  }

  std::chrono::milliseconds CycleDelay() const { return std::chrono::milliseconds(delay_ms_); }
  std::int64_t AdCountdown() const { return ad_countdown_ms_; }

 private:
  void ReadCycleSettings();
  void RunModules();
  void InitializeRow(TModuleRow& row);
  void ReportAfterModules();
  // Runs a store operation of the cycle itself; a failure becomes a
  // run-time error alert instead of ending the thread.
  template <class TWork>
  void Guarded(const std::string& label, TWork work);
  void ReportRunTimeError(const std::string& label, const std::string& activity,
                          const std::string& message);
  void TryAlert(AlertLevel level, const std::string& subject, const std::string& body);

  std::function<void(const TCycleOutcome&)> cycle_end_hook_;
  std::vector<std::string> failed_steps_;  // of the cycle in progress
  TPolicyStore& store_;
  TSmtpModule& alerts_;
  TCycleState& cycle_;
  TModuleTable& modules_;
  TClock& clock_;
  TBeeper& beeper_;
  TStopEvent termination_;
  TPauseGate pause_;

  std::int32_t delay_ms_ = 60000;
  std::int32_t ad_interval_ms_ = 300000;
  std::int64_t ad_countdown_ms_ = 0;
};

}  // namespace warderon

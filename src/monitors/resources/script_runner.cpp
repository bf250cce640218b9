#include "monitors/resources/script_runner.h"

#include <cmath>

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";

}  // namespace

TScriptRunner::TScriptRunner(TPolicyStore& store, TAlertSender& alerts, TClock& clock,
                             TCommandRunner& runner)
    : store_(store), alerts_(alerts), clock_(clock), runner_(runner) {}

void TScriptRunner::Initialize() {
  RunBootupCommand(true);
  const TDateTime now = clock_.LocalNow();
  ScriptLastRun_ = {now, now};
}

void TScriptRunner::Run() {
  RunBootupCommand(false);
  RunScheduledCommand(1);
  RunScheduledCommand(2);
}

void TScriptRunner::RunBootupCommand(bool force) {
  if (!force && !store_.ReadPolicyBool(kGeneral, "ScriptRunNowBoot", false)) return;
  const std::string command = store_.ReadPolicyString(kGeneral, "ScriptBootup", "");
  if (!command.empty()) {
    const TCommandStart start = runner_.Start(command);
    if (!start.started) {
      alerts_.SendAlert(kAlertMonitorFailure, "bootup script did not run",
                        "script " + command + " didn't run: " + start.message);
    }
  }
  store_.WritePolicyBool(kGeneral, "ScriptRunNowBoot", false);
}

void TScriptRunner::RunScheduledCommand(int k) {
  const std::string suffix = k == 1 ? "" : std::to_string(k);
  TDateTime& last_run = ScriptLastRun_[static_cast<std::size_t>(k - 1)];
  const TDateTime now = clock_.LocalNow();
  bool due = false;
  if (store_.ReadPolicyBool(kGeneral, "ScriptRunNow" + suffix, false)) {
    store_.WritePolicyBool(kGeneral, "ScriptRunNow" + suffix, false);
    due = true;
  } else {
    // A value of another type is the default 0, reported once by the store.
    const double when = store_.ReadPolicyFloat(kGeneral, "ScriptWhen" + suffix, 0.0);
    const double scheduled = std::floor(now.days) + when;
    due = scheduled > last_run.days && now.days > scheduled;
  }
  if (!due) return;
  const std::string command = store_.ReadPolicyString(kGeneral, "ScriptPath" + suffix, "");
  if (!command.empty()) {
    const TCommandStart start = runner_.Start(command);
    if (!start.started) {
      alerts_.SendAlert(kAlertMonitorFailure, "script didn't run",
                        "script " + command + " didn't run: " + start.message);
    }
  }
  last_run = now;
}

}  // namespace warderon

// The script runner: the bootup command at every start and on request
// ("ScriptBootup", "ScriptRunNowBoot"), and two commands once a day at a
// time of day ("ScriptPath"/"ScriptWhen"/"ScriptRunNow" and the same with
// "2"), each also on request. Commands are started through the command
// interpreter and left to run; only a failure to start is reported.
#pragma once

#include <array>
#include <string>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "platform/process/command_runner.h"
#include "platform/time/clock.h"
#include "policy/policy_store.h"

namespace warderon {

class TScriptRunner final : public TCycleModule {
 public:
  TScriptRunner(TPolicyStore& store, TAlertSender& alerts, TClock& clock, TCommandRunner& runner);

  void Initialize() override;
  void Run() override;

 private:
  void RunBootupCommand(bool force);
  void RunScheduledCommand(int k);

  TPolicyStore& store_;
  TAlertSender& alerts_;
  TClock& clock_;
  TCommandRunner& runner_;
  std::array<TDateTime, 2> ScriptLastRun_{};
};

}  // namespace warderon

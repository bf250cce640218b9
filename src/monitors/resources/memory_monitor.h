// The memory monitor: two independent checks, each a two-state machine with
// one alert per transition. Global: the machine's memory load ("MemGlobalNow"
// against "MemGlobalWarn"), its alerts carrying a dump of every process.
// Local: what this process allocated itself, in KiB ("MemLocalNow" against
// "MemLocalWarn").
#pragma once

#include <cstdint>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/cycle_state.h"
#include "platform/process/memory_status.h"
#include "platform/process/process_info.h"
#include "policy/policy_store.h"

namespace warderon {

class TMemoryMonitor final : public TCycleModule {
 public:
  TMemoryMonitor(TPolicyStore& store, TAlertSender& alerts, TCycleState& cycle,
                 TMemoryStatus& memory, TProcessInfo& processes);

  void Initialize() override;
  void Run() override;

 private:
  void GlobalCheck();
  void GlobalAlert(bool warning);
  void LocalCheck();

  TPolicyStore& store_;
  TAlertSender& alerts_;
  TCycleState& cycle_;
  TMemoryStatus& memory_;
  TProcessInfo& processes_;

  bool GlobalWarningActive_ = false;
  bool LocalWarningActive_ = false;
  std::int32_t last_load_ = 0;
  std::int32_t last_warn_ = 0;
};

}  // namespace warderon

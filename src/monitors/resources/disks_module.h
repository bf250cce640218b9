// The disk space monitor: publishes how full each fixed disk is in section
// "Disks" ("<disk>-used") and raises one alert when a disk goes above its
// threshold ("<disk>-warn", default 100, -1 switches the disk off) and one
// when it comes back. The list of disks is made once, at start; the crisis
// flags live in memory only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/cycle_state.h"
#include "platform/files/volumes.h"
#include "policy/policy_store.h"

namespace warderon {

struct TDisk {
  std::string name;  // drive letter on Windows, mount point on Linux
  std::int32_t warn = 100;
  std::int32_t used = -1;  // -1: no measurement
  bool in_crisis = false;
};

class TDisksModule final : public TCycleModule {
 public:
  TDisksModule(TPolicyStore& store, TAlertSender& alerts, TCycleState& cycle, TVolumes& volumes);

  void Initialize() override;
  void Run() override;

  const std::vector<TDisk>& Disks() const { return disks_; }

  // Percent full with 64-bit integer arithmetic: (total - free) / (total / 100);
  // -1 for a volume of 100 bytes or less.
  static std::int32_t PercentUsed(const TVolumeSpace& space);

 private:
  void CheckDisk(std::size_t index);

  TPolicyStore& store_;
  TAlertSender& alerts_;
  TCycleState& cycle_;
  TVolumes& volumes_;
  std::vector<TDisk> disks_;
};

}  // namespace warderon

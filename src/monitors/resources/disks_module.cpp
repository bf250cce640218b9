#include "monitors/resources/disks_module.h"

namespace warderon {
namespace {

constexpr char kSection[] = "Disks";

}  // namespace

TDisksModule::TDisksModule(TPolicyStore& store, TAlertSender& alerts, TCycleState& cycle,
                           TVolumes& volumes)
    : store_(store), alerts_(alerts), cycle_(cycle), volumes_(volumes) {}

void TDisksModule::Initialize() {
  disks_.clear();
  for (const std::string& name : volumes_.FixedDisks()) disks_.push_back(TDisk{name});
}

std::int32_t TDisksModule::PercentUsed(const TVolumeSpace& space) {
  if (space.total <= 100) return -1;
  const auto total = static_cast<std::int64_t>(space.total);
  const auto free = static_cast<std::int64_t>(std::min(space.free, space.total));
  return static_cast<std::int32_t>((total - free) / (total / 100));
}

void TDisksModule::Run() {
  if (!store_.ReadPolicyBool("general", "DisksEnabled", false)) return;
  cycle_.ActivityText = "disks starting";
  for (std::size_t i = 0; i < disks_.size(); ++i) CheckDisk(i);
  cycle_.ActivityText.clear();
}

void TDisksModule::CheckDisk(std::size_t index) {
  TDisk& disk = disks_[index];
  cycle_.ActivityText = "disks TD of " + std::to_string(index);
  cycle_.ActivityText = "getting space on " + disk.name;
  if (const auto space = volumes_.Space(disk.name)) disk.used = PercentUsed(*space);
  cycle_.ActivityText = "CONFIG_DISKS " + disk.name;
  store_.WritePolicyInteger(kSection, disk.name + "-used", disk.used);
  cycle_.ActivityText = "warn of " + disk.name;
  disk.warn = store_.ReadPolicyInteger(kSection, disk.name + "-warn", 100);
  if (disk.warn == -1) return;
  const std::string used = std::to_string(disk.used);
  const std::string warn = std::to_string(disk.warn);
  if (disk.warn < disk.used) {
    if (disk.in_crisis) return;
    disk.in_crisis = true;
    alerts_.SendAlert(kAlertFinding, "disk " + disk.name + ": in crisis",
                      "disk " + disk.name + ": is at " + used + "% full " +
                          "which is greater than threshold " + warn + "% full");
  } else if (disk.in_crisis) {
    disk.in_crisis = false;
    alerts_.SendAlert(kAlertFinding, "disk " + disk.name + ": no longer in crisis",
                      "disk " + disk.name + ": is at " + used + "% full " +
                          "which is less than threshold " + warn + "% full");
  }
}

}  // namespace warderon

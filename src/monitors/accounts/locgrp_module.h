// The local group monitor: for every group named in "LocGroups", reports the
// members it has not seen in that group before, one alert per group, and
// remembers them in "locgroup-" + group. It only learns: a member who leaves
// is neither reported nor forgotten. No switch: with no group named, a run
// does nothing.
#pragma once

#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/string_list.h"
#include "platform/accounts/local_groups.h"
#include "policy/baseline_lists.h"

namespace warderon {

class TLocGrpModule final : public TCycleModule {
 public:
  TLocGrpModule(TBaselineLists& baselines, TAlertSender& alerts, TLocalGroups& groups);

  void Initialize() override;
  void Run() override;

 private:
  void LoadGroupBaselines();
  void GetLocalGroupMembers(const std::string& group, std::vector<std::string>& members);
  void SaveGroupBaseline(std::size_t index);

  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TLocalGroups& groups_;
  // Group names in enumeration order; each owns its stored member list.
  TStringList WatchedGroups_;
};

}  // namespace warderon

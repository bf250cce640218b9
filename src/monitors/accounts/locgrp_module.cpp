#include "monitors/accounts/locgrp_module.h"

namespace warderon {
namespace {

class TMemberList final : public TListRecord {
 public:
  TStringList members{true};
};

std::string MemberSection(const std::string& group) { return "locgroup-" + group; }

}  // namespace

TLocGrpModule::TLocGrpModule(TBaselineLists& baselines, TAlertSender& alerts, TLocalGroups& groups)
    : baselines_(baselines), alerts_(alerts), groups_(groups) {}

void TLocGrpModule::Initialize() { WatchedGroups_.Clear(); }

void TLocGrpModule::LoadGroupBaselines() {
  WatchedGroups_.Clear();
  TStringList names;
  baselines_.LoadBaselineList("LocGroups", names);
  for (std::size_t i = 0; i < names.Count(); ++i) {
    auto stored = std::make_unique<TMemberList>();
    baselines_.LoadBaselineList(MemberSection(names.Text(i)), stored->members);
    WatchedGroups_.Add(names.Text(i), std::move(stored));
  }
}

void TLocGrpModule::GetLocalGroupMembers(const std::string& group,
                                         std::vector<std::string>& members) {
  groups_.GetMembers(group, members);
}

void TLocGrpModule::SaveGroupBaseline(std::size_t index) {
  baselines_.SaveBaselineList(MemberSection(WatchedGroups_.Text(index)),
                              WatchedGroups_.RecordAs<TMemberList>(index)->members);
}

void TLocGrpModule::Run() {
  LoadGroupBaselines();
  std::vector<std::string> work;
  for (std::size_t i = 0; i < WatchedGroups_.Count(); ++i) {
    work.clear();
    GetLocalGroupMembers(WatchedGroups_.Text(i), work);
    TStringList& stored = WatchedGroups_.RecordAs<TMemberList>(i)->members;
    // From the last to the first: known members leave the work list, new
    // ones stay (in the platform's order) and join the stored list.
    for (std::size_t m = work.size(); m-- > 0;) {
      if (stored.Find(work[m])) {
        work.erase(work.begin() + static_cast<std::ptrdiff_t>(m));
      } else {
        stored.Add(work[m]);
      }
    }
    if (work.empty()) continue;
    alerts_.SendAlertWithDetails(kAlertFinding, "changes to local group:" + WatchedGroups_.Text(i),
                                 "changes", work);
    SaveGroupBaseline(i);
  }
}

}  // namespace warderon

#include "monitors/accounts/locgrp_module.h"

#include <unordered_set>

#include "core/text_case.h"

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
  baselines_.SaveBaselineKeys(MemberSection(WatchedGroups_.Text(index)),
                              WatchedGroups_.RecordAs<TMemberList>(index)->members);
}

void TLocGrpModule::Run() {
  LoadGroupBaselines();
  std::vector<std::string> work;
  for (std::size_t i = 0; i < WatchedGroups_.Count(); ++i) {
    work.clear();
    GetLocalGroupMembers(WatchedGroups_.Text(i), work);
    TStringList& stored = WatchedGroups_.RecordAs<TMemberList>(i)->members;
    // From the last to the first: known members are dropped, new ones (the
    // last of equal names) are kept, and join the stored list all at once.
    std::vector<std::string> fresh;
    std::unordered_set<std::string> fresh_folded;
    for (std::size_t m = work.size(); m-- > 0;) {
      if (stored.Find(work[m]) || !fresh_folded.insert(FoldCase(work[m])).second) continue;
      fresh.push_back(work[m]);
    }
    if (fresh.empty()) continue;
    std::vector<std::string> lines(fresh.rbegin(), fresh.rend());  // in the platform's order
    stored.AddMany(std::move(fresh));
    alerts_.SendAlertWithDetails(kAlertFinding, "changes to local group:" + WatchedGroups_.Text(i),
                                 "changes", lines);
    SaveGroupBaseline(i);
  }
}

}  // namespace warderon

#include "monitors/accounts/users_module.h"

#include <set>
#include <utility>
#include <vector>

#include "core/text.h"

namespace warderon {
namespace {

constexpr char kSection[] = "LocalUsers";

}  // namespace

TLocalUsersModule::TLocalUsersModule(TPolicyStore& store, TBaselineLists& baselines,
                                     TAlertSender& alerts, TLocalUsers& users)
    : store_(store), baselines_(baselines), alerts_(alerts), users_(users) {}

void TLocalUsersModule::Initialize() {
  stored_.clear();
  for (auto& entry : baselines_.LoadBaselinePairs(kSection, true)) {
    stored_[entry.name] = entry.text.value_or("1");
  }
}

void TLocalUsersModule::Run() {
  if (!store_.ReadPolicyBool("general", "LocalUsersEnabled", false)) return;
  bool truncated = false;
  std::vector<TLocalUser> users;
  // A list that cannot be read is said once and keeps what is known: it
  // must neither read as every account removed nor stop the monitors after.
  try {
    users = users_.List(kMaxAccounts, truncated);
    failure_said_ = false;
  } catch (const TLocalUsersError& error) {
    if (!std::exchange(failure_said_, true)) {
      alerts_.SendAlert(
          kAlertMonitorFailure, "user account changes",
          VisibleLine(std::string("the local accounts could not be read: ") + error.what()));
    }
    return;
  }
  std::map<std::string, std::string> now;
  for (const TLocalUser& user : users) {
    now[user.name] = "1";
    for (const auto& [field, value] : user.fields) now[user.name + "/" + field] = value;
  }
  if (truncated) {  // the accounts not read this time are kept as they were
    std::set<std::string> read;
    for (const TLocalUser& user : users) read.insert(user.name);
    for (const auto& [name, value] : stored_) {
      if (!read.contains(name.substr(0, name.find('/')))) now.insert({name, value});
    }
  }
  if (now == stored_) return;
  std::vector<std::string> lines;
  if (!stored_.empty()) {  // else the first reading: the baseline, silently
    for (const auto& [name, value] : now) {
      const std::size_t slash = name.find('/');
      const auto before = stored_.find(name);
      if (slash == std::string::npos) {
        // A second account of uid 0 is root by another name.
        const auto uid = now.find(name + "/uid");
        const bool root = uid != now.end() && uid->second == "0" && name != "root";
        if (before == stored_.end())
          lines.push_back("new account " + name + (root ? " (uid 0)" : ""));
      } else if (before != stored_.end() && before->second != value) {
        lines.push_back("changed account " + name.substr(0, slash) + ": " + name.substr(slash + 1) +
                        " " + before->second + " -> " + value);
      }
    }
    for (const auto& [name, value] : stored_) {
      if (name.find('/') == std::string::npos && !now.contains(name)) {
        lines.push_back("removed account " + name);
      }
    }
  }
  std::vector<TBaselineLists::TNamedText> entries;
  for (const auto& [name, value] : now) entries.push_back({name, value});
  baselines_.SaveBaselinePairs(kSection, std::move(entries), true);
  stored_ = std::move(now);
  if (!lines.empty()) {
    alerts_.SendAlertWithDetails(kAlertFinding, "user account changes", "user account changes",
                                 lines);
  }
}

}  // namespace warderon

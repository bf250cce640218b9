// The directory group monitor: the members of chosen directory groups
// (named in "Groups"), nested groups included, reported when seen for the
// first time in a group and remembered in "group-NAME". Members who leave
// are neither reported nor forgotten.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/cycle_state.h"
#include "core/repeated_failure_gate.h"
#include "core/string_list.h"
#include "platform/net/ldap_client.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

class TAdModule final : public TCycleModule {
 public:
  // Nested groups deeper than this are recorded but not expanded.
  static constexpr int kMaxNesting = 32;
  // The most entries one search returns.
  static constexpr int kSizeLimit = 600;
  // Members looked up as possible groups in one search.
  static constexpr std::size_t kNamesPerSearch = 100;
  // What one run may cost, whatever the directory holds: past either bound
  // the run keeps what it found and says where it was cut.
  static constexpr int kMaxSearchesPerRun = 10000;
  static constexpr std::size_t kMaxLinesPerGroup = 200000;

  TAdModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
            TCycleState& cycle, TLdapClient& client, std::string default_domain_suffix,
            TRepeatedFailureGate::TNow now = std::chrono::steady_clock::now);

  void Initialize() override;
  void Run() override;

  // The stored members of a watched group (for tests).
  std::vector<std::string> StoredMembers(const std::string& group) const;

 private:
  // Reads the settings; false when ADTls is none of its choices, which
  // sends nothing rather than guess (reported by the store).
  bool LoadDirectorySettings();
  // A refusal that every run would meet again: reported once, then daily.
  void ReportUnusableDirectory(const std::string& reason);
  // One search within the run's bound; nothing once the bound is spent.
  std::vector<TLdapEntry> Search(TLdapSession& session, const std::string& base, TLdapScope scope,
                                 const std::string& filter,
                                 const std::vector<std::string>& attributes, int size_limit);
  void AddLine(std::vector<std::string>& list, std::string line);
  // Adds the members of the group with this account name to list; nested
  // groups add theirs behind their name and ".". Raises when the group
  // itself cannot be read; what was added stays.
  void QueryGroupMembers(TLdapSession& session, const std::string& base,
                         std::vector<std::string>& list, const std::string& group);
  // Adds members (lower-case first name values) behind prefix, each
  // followed by its own members when it is a group. The groups among them
  // are found by common name, many in one search; a search that fails
  // leaves those groups unexpanded.
  void ExpandMembers(TLdapSession& session, const std::string& base, std::vector<std::string>& list,
                     const std::string& prefix, const std::vector<std::string>& members,
                     std::vector<std::string>& chain);
  void MemberValues(TLdapSession& session, const TLdapEntry& entry,
                    const std::function<void(const std::string&)>& on_value);
  std::string NamingContext(TLdapSession& session);
  void SaveDirectoryGroup(std::size_t index);

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TCycleState& cycle_;
  TLdapClient& client_;
  std::string default_domain_suffix_;

  TStringList DirectoryGroups_{false};
  TDirectoryServer Server_;
  bool SettingsUsable_ = false;
  bool ComReady_ = false;
  TRepeatedFailureGate failure_gate_;
  // Per run and watched group: the nested groups already expanded (a group
  // reached again by another path is recorded, not expanded again).
  std::set<std::string> expanded_;
  int searches_left_ = 0;
  std::string cut_;  // why the current group's expansion stopped early
};

}  // namespace warderon

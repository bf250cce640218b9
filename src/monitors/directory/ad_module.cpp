#include "monitors/directory/ad_module.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/text_case.h"
#include "monitors/directory/directory_names.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";

class TMemberList final : public TListRecord {
 public:
  TStringList members{true};
};

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && LowerAscii(text.substr(0, prefix.size())) == prefix;
}

// The end of a "member;range=FIRST-LAST" attribute: LAST; nothing for the
// last range ("*") or for an end that is no number a server could mean.
std::optional<std::uint64_t> RangeEnd(const std::string& attribute) {
  const auto dash = attribute.rfind('-');
  if (dash == std::string::npos) return std::nullopt;
  const char* first = attribute.data() + dash + 1;
  const char* last = attribute.data() + attribute.size();
  std::uint64_t end = 0;
  const auto [stop, status] = std::from_chars(first, last, end);
  if (status != std::errc() || stop != last || first == last) return std::nullopt;
  return end;
}

}  // namespace

TAdModule::TAdModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                     TCycleState& cycle, TLdapClient& client, std::string default_domain_suffix,
                     TRepeatedFailureGate::TNow now)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      cycle_(cycle),
      client_(client),
      default_domain_suffix_(std::move(default_domain_suffix)),
      failure_gate_(std::move(now)) {}

void TAdModule::Initialize() {
  DirectoryGroups_.Clear();
  ComReady_ = false;
}

bool TAdModule::LoadDirectorySettings() {
  Server_ = TDirectoryServer{};
  Server_.user = store_.ReadPolicyString(kGeneral, "userid", "");
  Server_.password = store_.ReadPolicyString(kGeneral, "password", "");
  const std::string name = store_.ReadPolicyString(kGeneral, "ad", "orvan");
  const std::string suffix =
      store_.ReadPolicyString(kGeneral, "ADDomainSuffix", default_domain_suffix_);
  Server_.host = name + suffix;
  const auto tls =
      store_.ReadPolicyChoice(kGeneral, "ADTls", {"auto", "none", "starttls", "ldaps"}, 0,
                              "the directory is not queried until it is one of them");
  const TDirectoryTls modes[] = {AutomaticDirectoryTls(!Server_.user.empty()), TDirectoryTls::None,
                                 TDirectoryTls::StartTls, TDirectoryTls::Ldaps};
  Server_.tls = modes[tls.value_or(0)];
  const std::int32_t port = store_.ReadPolicyInteger(kGeneral, "ADPort", 0);
  Server_.port =
      port > 0 && port < 65536 ? port : (Server_.tls == TDirectoryTls::Ldaps ? 636 : 389);
  Server_.ca_file = store_.ReadPolicyString(kGeneral, "ADCAFile", "");

  DirectoryGroups_.Clear();
  TStringList names;
  baselines_.LoadBaselineList("Groups", names);
  for (const std::string& group : names.Texts()) {
    auto stored = std::make_unique<TMemberList>();
    try {
      baselines_.LoadBaselineList("group-" + group, stored->members);
    } catch (const std::exception&) {
      // What was read stays; the next save rewrites the section whole.
    }
    DirectoryGroups_.Add(group, std::move(stored));
  }
  return tls.has_value();
}

void TAdModule::ReportUnusableDirectory(const std::string& reason) {
  if (!failure_gate_.ShouldReport(reason)) return;
  alerts_.SendAlert(kAlertMonitorFailure, "directory cannot be used",
                    reason +
                        "\r\nThe directory groups are not watched until this is mended; "
                        "this is said again once a day while it lasts.");
}

std::vector<TLdapEntry> TAdModule::Search(TLdapSession& session, const std::string& base,
                                          TLdapScope scope, const std::string& filter,
                                          const std::vector<std::string>& attributes,
                                          int size_limit) {
  if (searches_left_ <= 0) {
    if (cut_.empty()) {
      cut_ = "... cut at " + std::to_string(kMaxSearchesPerRun) +
             " directory searches in one run; the members found so far are kept";
    }
    return {};
  }
  --searches_left_;
  return session.Search(base, scope, filter, attributes, size_limit);
}

void TAdModule::AddLine(std::vector<std::string>& list, std::string line) {
  if (list.size() >= kMaxLinesPerGroup) {
    if (cut_.empty()) {
      cut_ = "... cut at " + std::to_string(kMaxLinesPerGroup) +
             " members in one run; the members found so far are kept";
    }
    return;
  }
  list.push_back(std::move(line));
}

void TAdModule::Run() {
  if (!store_.ReadPolicyBool(kGeneral, "ADEnabled", false)) return;
  if (!ComReady_) {
    ComReady_ = true;
    SettingsUsable_ = LoadDirectorySettings();
  }
  if (cycle_.GeneralUpdateRequested) SettingsUsable_ = LoadDirectorySettings();
  if (!SettingsUsable_) return;
  searches_left_ = kMaxSearchesPerRun;
  std::vector<std::string> work;
  for (std::size_t i = 0; i < DirectoryGroups_.Count(); ++i) {
    work.clear();
    expanded_.clear();
    cut_.clear();
    const std::string group = DirectoryGroups_.Text(i);
    try {
      const std::unique_ptr<TLdapSession> session = client_.Open(Server_);
      const std::string base = NamingContext(*session);
      QueryGroupMembers(*session, base, work, group);
    } catch (const TDirectorySecurityError& error) {
      // A password that would go out in clear, a certificate or a bind the
      // server refuses: every group would meet it again in this run. It is
      // this monitor's finding; the other monitors of the cycle go on.
      ReportUnusableDirectory(error.what());
      return;
    } catch (const TDirectoryError&) {
      // An unreachable or failing directory: what was found counts.
    }
    // From the last to the first: known members drop out, new ones (the
    // last of equal texts) join the stored list all at once, so a group of
    // many thousands costs one sort, not one insertion each.
    TStringList& stored = DirectoryGroups_.RecordAs<TMemberList>(i)->members;
    std::vector<bool> is_new(work.size(), false);
    std::unordered_set<std::string> seen;
    std::vector<std::string> fresh;
    for (std::size_t m = work.size(); m-- > 0;) {
      if (stored.Find(work[m]) || !seen.insert(FoldCase(work[m])).second) continue;
      is_new[m] = true;
      fresh.push_back(work[m]);
    }
    if (fresh.empty()) {
      if (!cut_.empty()) ReportUnusableDirectory("group " + group + ": " + cut_);
      continue;
    }
    stored.AddMany(std::move(fresh));
    std::vector<std::string> lines;
    for (std::size_t m = 0; m < work.size(); ++m) {
      if (is_new[m]) lines.push_back(work[m]);
    }
    if (!cut_.empty()) lines.push_back(cut_);
    alerts_.SendAlertWithDetails(kAlertFinding, "changes to group:" + group, "changes", lines);
    SaveDirectoryGroup(i);
  }
}

std::string TAdModule::NamingContext(TLdapSession& session) {
  const auto entries = Search(session, "", TLdapScope::Base, "(objectClass=*)",
                              {"defaultNamingContext", "namingContexts"}, 1);
  std::string first_context;
  for (const TLdapEntry& entry : entries) {
    for (const auto& [name, values] : entry.attributes) {
      if (values.empty()) continue;
      if (LowerAscii(name) == "defaultnamingcontext") return values.front();
      if (LowerAscii(name) == "namingcontexts" && first_context.empty()) {
        first_context = values.front();
      }
    }
  }
  return first_context;
}

void TAdModule::QueryGroupMembers(TLdapSession& session, const std::string& base,
                                  std::vector<std::string>& list, const std::string& group) {
  std::vector<std::string> members;
  for (const TLdapEntry& entry :
       Search(session, base, TLdapScope::Subtree,
              "(samaccountname=" + EscapeFilterValue(group) + ")", {"member"}, kSizeLimit)) {
    MemberValues(session, entry, [&](const std::string& value) {
      members.push_back(LowerAscii(FirstRdnValue(value)));
    });
  }
  std::vector<std::string> chain = {LowerAscii(group)};
  ExpandMembers(session, base, list, "", members, chain);
}

void TAdModule::ExpandMembers(TLdapSession& session, const std::string& base,
                              std::vector<std::string>& list, const std::string& prefix,
                              const std::vector<std::string>& members,
                              std::vector<std::string>& chain) {
  // A group already on the chain is a cycle, and the chain has a bound:
  // such members are recorded but not expanded. A group already expanded
  // by another path of this group is recorded too, not expanded again, so
  // shared nesting costs one expansion per group, not one per path.
  auto expandable = [&](const std::string& member) {
    return std::find(chain.begin(), chain.end(), member) == chain.end() &&
           static_cast<int>(chain.size()) <= kMaxNesting && expanded_.count(member) == 0;
  };
  std::vector<std::string> candidates;
  std::set<std::string> asked;
  for (const std::string& member : members) {
    if (expandable(member) && asked.insert(member).second) candidates.push_back(member);
  }
  std::unordered_map<std::string, std::vector<std::string>> group_members;
  // Finds the groups among names[first, end); a batch that fails is asked
  // again name by name, so one bad name costs only its own expansion.
  const std::function<void(std::size_t, std::size_t)> find_groups = [&](std::size_t first,
                                                                        std::size_t end) {
    std::string filter;
    for (std::size_t i = first; i < end; ++i)
      filter += "(cn=" + EscapeFilterValue(candidates[i]) + ")";
    if (end - first > 1) filter = "(|" + filter + ")";
    try {
      for (const TLdapEntry& entry :
           Search(session, base, TLdapScope::Subtree, filter, {"member", "cn"}, kSizeLimit)) {
        std::vector<std::string> values;
        MemberValues(session, entry, [&](const std::string& value) {
          values.push_back(LowerAscii(FirstRdnValue(value)));
        });
        if (values.empty()) continue;  // a user, or an empty group
        for (const auto& [name, names] : entry.attributes) {
          if (LowerAscii(name) != "cn") continue;
          for (const std::string& cn : names) {
            auto& known = group_members[LowerAscii(cn)];
            known.insert(known.end(), values.begin(), values.end());
          }
        }
      }
    } catch (const TDirectorySecurityError&) {
      throw;
    } catch (const TDirectoryError&) {
      if (end - first == 1) return;  // this nested group is skipped; the others go on
      for (std::size_t i = first; i < end; ++i) find_groups(i, i + 1);
    }
  };
  for (std::size_t first = 0; first < candidates.size(); first += kNamesPerSearch) {
    find_groups(first, std::min(candidates.size(), first + kNamesPerSearch));
  }
  for (const std::string& member : members) {
    AddLine(list, prefix + member);
    const auto nested = group_members.find(member);
    if (nested == group_members.end() || !expandable(member)) continue;
    expanded_.insert(member);
    chain.push_back(member);
    ExpandMembers(session, base, list, prefix + member + ".", nested->second, chain);
    chain.pop_back();
  }
}

void TAdModule::MemberValues(TLdapSession& session, const TLdapEntry& entry,
                             const std::function<void(const std::string&)>& on_value) {
  for (const auto& [name, values] : entry.attributes) {
    const std::string lowered = LowerAscii(name);
    if (lowered == "member") {
      for (const std::string& value : values) on_value(value);
    } else if (StartsWithIgnoringCase(lowered, "member;range=")) {
      // A large group comes in ranges: ask for the rest until the last. A
      // range that does not move forward ends the list: a server cannot
      // keep the run in a loop.
      for (const std::string& value : values) on_value(value);
      std::optional<std::uint64_t> end = RangeEnd(lowered);
      while (end && *end < std::numeric_limits<std::uint32_t>::max()) {
        const std::uint64_t asked = *end + 1;
        std::optional<std::uint64_t> next;
        for (const TLdapEntry& part : Search(session, entry.dn, TLdapScope::Base, "(objectClass=*)",
                                             {"member;range=" + std::to_string(asked) + "-*"}, 1)) {
          for (const auto& [part_name, part_values] : part.attributes) {
            if (!StartsWithIgnoringCase(part_name, "member;range=")) continue;
            for (const std::string& value : part_values) on_value(value);
            next = RangeEnd(part_name);
            if (next && *next < asked) next.reset();  // backwards: no progress
          }
        }
        end = next;
      }
    }
  }
}

void TAdModule::SaveDirectoryGroup(std::size_t index) {
  baselines_.SaveBaselineKeys("group-" + DirectoryGroups_.Text(index),
                              DirectoryGroups_.RecordAs<TMemberList>(index)->members);
}

std::vector<std::string> TAdModule::StoredMembers(const std::string& group) const {
  const auto index = DirectoryGroups_.Find(group);
  if (!index) return {};
  return DirectoryGroups_.RecordAs<TMemberList>(*index)->members.Texts();
}

}  // namespace warderon

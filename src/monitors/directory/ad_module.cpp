#include "monitors/directory/ad_module.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "monitors/directory/directory_names.h"
#include "platform/text_case.h"

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

// The end of a "member;range=FIRST-LAST" attribute: LAST, or "*" for the
// last range.
std::string RangeEnd(const std::string& attribute) {
  const auto dash = attribute.rfind('-');
  return dash == std::string::npos ? "*" : attribute.substr(dash + 1);
}

TDirectoryTls TlsSetting(const std::string& text, bool with_password) {
  const std::string mode = LowerAscii(text);
  if (mode == "none") return TDirectoryTls::None;
  if (mode == "starttls") return TDirectoryTls::StartTls;
  if (mode == "ldaps") return TDirectoryTls::Ldaps;
  return AutomaticDirectoryTls(with_password);
}

}  // namespace

TAdModule::TAdModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                     TCycleState& cycle, TLdapClient& client, std::string default_domain_suffix)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      cycle_(cycle),
      client_(client),
      default_domain_suffix_(std::move(default_domain_suffix)) {}

void TAdModule::Initialize() {
  DirectoryGroups_.Clear();
  ComReady_ = false;
}

void TAdModule::LoadDirectorySettings() {
  Server_ = TDirectoryServer{};
  Server_.user = store_.ReadPolicyString(kGeneral, "userid", "");
  Server_.password = store_.ReadPolicyString(kGeneral, "password", "");
  const std::string name = store_.ReadPolicyString(kGeneral, "ad", "orvan");
  const std::string suffix =
      store_.ReadPolicyString(kGeneral, "ADDomainSuffix", default_domain_suffix_);
  Server_.host = name + suffix;
  Server_.tls =
      TlsSetting(store_.ReadPolicyString(kGeneral, "ADTls", "auto"), !Server_.user.empty());
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
}

void TAdModule::Run() {
  if (!store_.ReadPolicyBool(kGeneral, "ADEnabled", false)) return;
  if (!ComReady_) {
    ComReady_ = true;
    LoadDirectorySettings();
  }
  if (cycle_.GeneralUpdateRequested) LoadDirectorySettings();
  std::vector<std::string> work;
  for (std::size_t i = 0; i < DirectoryGroups_.Count(); ++i) {
    work.clear();
    const std::string group = DirectoryGroups_.Text(i);
    try {
      const std::unique_ptr<TLdapSession> session = client_.Open(Server_);
      const std::string base = NamingContext(*session);
      QueryGroupMembers(*session, base, work, group);
    } catch (const TDirectorySecurityError&) {
      throw;  // a password that would go out in clear, or TLS that failed: said loudly
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
    if (fresh.empty()) continue;
    stored.AddMany(std::move(fresh));
    std::vector<std::string> lines;
    for (std::size_t m = 0; m < work.size(); ++m) {
      if (is_new[m]) lines.push_back(work[m]);
    }
    alerts_.SendAlertWithDetails(kAlertFinding, "changes to group:" + group, "changes", lines);
    SaveDirectoryGroup(i);
  }
}

std::string TAdModule::NamingContext(TLdapSession& session) {
  const auto entries = session.Search("", TLdapScope::Base, "(objectClass=*)",
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
  for (const TLdapEntry& entry : session.Search(base, TLdapScope::Subtree,
                                                "(samaccountname=" + EscapeFilterValue(group) + ")",
                                                {"member"}, kSizeLimit)) {
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
  // such members are recorded but not expanded.
  auto expandable = [&](const std::string& member) {
    return std::find(chain.begin(), chain.end(), member) == chain.end() &&
           static_cast<int>(chain.size()) <= kMaxNesting;
  };
  std::vector<std::string> candidates;
  for (const std::string& member : members) {
    if (expandable(member)) candidates.push_back(member);
  }
  std::unordered_map<std::string, std::vector<std::string>> group_members;
  for (std::size_t first = 0; first < candidates.size(); first += kNamesPerSearch) {
    const std::size_t end = std::min(candidates.size(), first + kNamesPerSearch);
    std::string filter;
    for (std::size_t i = first; i < end; ++i)
      filter += "(cn=" + EscapeFilterValue(candidates[i]) + ")";
    if (end - first > 1) filter = "(|" + filter + ")";
    try {
      for (const TLdapEntry& entry :
           session.Search(base, TLdapScope::Subtree, filter, {"member", "cn"}, kSizeLimit)) {
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
      // These nested groups are skipped; the others are expanded.
    }
  }
  for (const std::string& member : members) {
    list.push_back(prefix + member);
    const auto nested = group_members.find(member);
    if (nested == group_members.end() || !expandable(member)) continue;
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
      // A large group comes in ranges: ask for the rest until the last.
      for (const std::string& value : values) on_value(value);
      std::string end = RangeEnd(lowered);
      while (end != "*") {
        char* stop = nullptr;
        const long long last = std::strtoll(end.c_str(), &stop, 10);
        if (end.empty() || *stop != '\0' || last < 0) break;  // not a range the server could mean
        const std::string next = std::to_string(last + 1);
        bool more = false;
        for (const TLdapEntry& part : session.Search(entry.dn, TLdapScope::Base, "(objectClass=*)",
                                                     {"member;range=" + next + "-*"}, 1)) {
          for (const auto& [part_name, part_values] : part.attributes) {
            if (!StartsWithIgnoringCase(part_name, "member;range=")) continue;
            for (const std::string& value : part_values) on_value(value);
            end = RangeEnd(part_name);
            more = true;
          }
        }
        if (!more) break;
      }
    }
  }
}

void TAdModule::SaveDirectoryGroup(std::size_t index) {
  baselines_.SaveBaselineList("group-" + DirectoryGroups_.Text(index),
                              DirectoryGroups_.RecordAs<TMemberList>(index)->members);
}

std::vector<std::string> TAdModule::StoredMembers(const std::string& group) const {
  const auto index = DirectoryGroups_.Find(group);
  if (!index) return {};
  return DirectoryGroups_.RecordAs<TMemberList>(*index)->members.Texts();
}

}  // namespace warderon

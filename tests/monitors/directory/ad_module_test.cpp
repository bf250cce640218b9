#include "monitors/directory/ad_module.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes/recording_alerts.h"
#include "monitors/directory/directory_names.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using TLines = std::vector<std::string>;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A directory of groups and users, each with a common name, an account
// name and (groups) member DNs. Large member lists come in ranges, as a
// real directory sends them.
class TFakeDirectory final : public TLdapClient {
 public:
  struct TAccount {
    std::string cn;
    std::string account;
    std::vector<std::string> members;  // DNs
  };

  void Add(const std::string& cn, std::vector<std::string> member_cns = {}) {
    TAccount account{cn, cn, {}};
    for (const std::string& member : member_cns) account.members.push_back(Dn(member));
    accounts[Dn(cn)] = account;
  }
  static std::string Dn(const std::string& cn) { return "CN=" + cn + ",OU=Staff,DC=test"; }

  std::unique_ptr<TLdapSession> Open(const TDirectoryServer& server) override {
    opened.push_back(server);
    if (!refusal.empty()) throw TDirectorySecurityError(refusal);
    if (unreachable) throw TDirectoryError("directory: cannot connect");
    return std::make_unique<TSession>(*this);
  }

  std::map<std::string, TAccount> accounts;
  std::size_t range_size = 0;  // 0: whole lists
  int fail_after_searches = -1;
  std::string refusal;  // not empty: the server refuses the session with it
  bool unreachable = false;
  bool stuck_range = false;   // every range answer is the first one again
  bool fail_batches = false;  // a search for several names fails
  int searches = 0;
  std::vector<std::string> filters;
  std::vector<TDirectoryServer> opened;

 private:
  class TSession final : public TLdapSession {
   public:
    explicit TSession(TFakeDirectory& directory) : directory_(directory) {}
    std::vector<TLdapEntry> Search(const std::string& base, TLdapScope scope,
                                   const std::string& filter,
                                   const std::vector<std::string>& attributes, int) override {
      const int number = directory_.searches++;
      if (directory_.fail_after_searches >= 0 && number >= directory_.fail_after_searches) {
        throw TDirectoryError("directory: server went away");
      }
      if (base.empty()) return {{"", {{"defaultNamingContext", {"DC=test"}}}}};
      if (directory_.fail_batches && filter.rfind("(|", 0) == 0) {
        throw TDirectoryError("directory: search failed");
      }
      if (scope == TLdapScope::Base) return {Range(directory_.accounts.at(base), attributes[0])};
      directory_.filters.push_back(filter);
      // "(cn=X)", "(samaccountname=X)", or "(|(cn=X)(cn=Y)...)".
      std::vector<std::pair<std::string, std::string>> wanted;
      for (std::size_t open = filter.find("(cn="); open != std::string::npos;
           open = filter.find("(cn=", open + 1)) {
        wanted.emplace_back("cn", filter.substr(open + 4, filter.find(')', open) - open - 4));
      }
      if (filter.rfind("(samaccountname=", 0) == 0) {
        wanted.emplace_back("account", filter.substr(16, filter.size() - 17));
      }
      std::vector<TLdapEntry> found;
      for (const auto& [dn, account] : directory_.accounts) {
        for (const auto& [kind, value] : wanted) {
          if (Lower(kind == "cn" ? account.cn : account.account) != Lower(value)) continue;
          TLdapEntry entry =
              account.members.empty() ? TLdapEntry{dn, {}} : Range(account, "member;range=0-*");
          entry.attributes.push_back({"cn", {account.cn}});
          found.push_back(entry);
        }
      }
      return found;
    }

   private:
    // The member values from the range's first index on, cut to the range
    // size; a whole list when ranges are off.
    TLdapEntry Range(const TAccount& account, const std::string& asked) const {
      const std::size_t size = directory_.range_size;
      if (size == 0) return {Dn(account.cn), {{"member", account.members}}};
      const std::size_t first =
          directory_.stuck_range ? 0 : std::stoul(asked.substr(asked.find('=') + 1));
      const std::size_t end = std::min(first + size, account.members.size());
      const bool last = end == account.members.size();
      const std::string name =
          "member;range=" + std::to_string(first) + "-" + (last ? "*" : std::to_string(end - 1));
      return {Dn(account.cn),
              {{name, std::vector<std::string>(account.members.begin() + first,
                                               account.members.begin() + end)}}};
    }
    TFakeDirectory& directory_;
  };
};

class AdModule : public ::testing::Test {
 protected:
  AdModule() {
    cycle_.NewInstall = true;  // hand-written "Groups" has no seal
    backend_.WriteValue("general", "ADEnabled", TPolicyValue::MakeInteger(1));
    Watch("g");
    module_.Initialize();
  }
  void Watch(const std::string& group) {
    backend_.WriteValue("Groups", group, TPolicyValue::MakeInteger(1));
  }
  std::map<std::string, TLines> Run() {
    alerts_.alerts.clear();
    module_.Run();
    std::map<std::string, TLines> reported;
    for (const auto& alert : alerts_.alerts) {
      if (alert.subject == "directory cannot be used") {
        reported[alert.subject].push_back(alert.body.substr(0, alert.body.find('\r')));
        continue;
      }
      EXPECT_EQ(alert.body, "changes");
      reported[alert.subject] = alert.details;
    }
    return reported;
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeDirectory directory_;
  std::chrono::steady_clock::time_point now_{};
  TAdModule module_{
      store_, lists_, alerts_, cycle_, directory_, ".site.example", [this] { return now_; }};
};

TEST_F(AdModule, NestedMembersComeBehindTheirGroupsAndOnlyOnce) {
  directory_.Add("g", {"h", "Jane Q Doe"});
  directory_.Add("h", {"u"});
  directory_.Add("u");
  directory_.Add("Jane Q Doe");
  EXPECT_EQ(Run(),
            (std::map<std::string, TLines>{{"changes to group:g", {"h", "h.u", "jane q doe"}}}));
  EXPECT_EQ(backend_.ReadValue("group-g", "h.u"), TPolicyValue::MakeInteger(1));
  EXPECT_TRUE(Run().empty());
  // The server is "ad" + the site's suffix, found by default.
  ASSERT_FALSE(directory_.opened.empty());
  EXPECT_EQ(directory_.opened[0].host, "orvan.site.example");
}

TEST_F(AdModule, LetterCaseAloneIsKnownAndLeaversAreKept) {
  lists_.SaveBaselineList("group-g", [] {
    TStringList stored{true};
    stored.Add("Alice");
    return stored;
  }());
  directory_.Add("g", {"ALICE"});
  directory_.Add("ALICE");
  EXPECT_TRUE(Run().empty());
  directory_.Add("g", {});
  Run();
  EXPECT_EQ(module_.StoredMembers("g"), (TLines{"Alice"}));
}

TEST_F(AdModule, ANestingCycleIsRecordedButNotFollowed) {
  directory_.Add("g", {"h"});
  directory_.Add("h", {"k"});
  directory_.Add("k", {"h", "g"});
  EXPECT_EQ(
      Run(),
      (std::map<std::string, TLines>{{"changes to group:g", {"h", "h.k", "h.k.h", "h.k.g"}}}));
}

TEST_F(AdModule, AGroupOfFiveThousandComesWholeInRanges) {
  std::vector<std::string> users;
  for (int i = 0; i < 5000; ++i) users.push_back("user" + std::to_string(i));
  directory_.Add("g", users);
  directory_.range_size = 1500;
  const auto reported = Run();
  ASSERT_EQ(reported.count("changes to group:g"), 1U);
  EXPECT_EQ(reported.at("changes to group:g").size(), 5000U);
  EXPECT_EQ(module_.StoredMembers("g").size(), 5000U);
  // The members are looked up as possible groups many at a time.
  EXPECT_LT(directory_.searches, 100);
}

TEST_F(AdModule, AQueryFailingHalfWayKeepsWhatItFoundAndForgetsNothing) {
  directory_.Add("g", {"h", "v"});
  directory_.Add("h", {"u"});
  directory_.fail_after_searches = 2;  // the root, g, then every search fails
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"changes to group:g", {"h", "v"}}}));
  directory_.fail_after_searches = -1;
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"changes to group:g", {"h.u"}}}));
  directory_.unreachable = true;
  EXPECT_TRUE(Run().empty());
  EXPECT_EQ(module_.StoredMembers("g"), (TLines{"h", "h.u", "v"}));
}

TEST_F(AdModule, GroupEditsCountAtAGeneralUpdateOnly) {
  directory_.Add("g", {"u"});
  directory_.Add("x", {"w"});
  Run();
  Watch("x");
  EXPECT_TRUE(Run().empty());
  cycle_.GeneralUpdateRequested = true;
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"changes to group:x", {"w"}}}));
}

TEST_F(AdModule, WithoutTheSwitchNothingHappens) {
  backend_.DeleteValue("general", "ADEnabled");
  directory_.Add("g", {"u"});
  EXPECT_TRUE(Run().empty());
  EXPECT_EQ(backend_.ReadValue("general", "ADEnabled"), TPolicyValue::MakeInteger(0));
  EXPECT_TRUE(directory_.opened.empty());
}

// A refusal that every run meets again is this monitor's own finding: said
// at once and once a day, never a failure that skips the cycle's other
// monitors, and never silence.
TEST_F(AdModule, ARefusalIsReportedOnceThenDailyAndTheCycleGoesOn) {
  using namespace std::chrono_literals;
  Watch("x");
  const TLines refused = {"directory: bind refused"};
  directory_.refusal = refused[0];
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"directory cannot be used", refused}}));
  EXPECT_EQ(directory_.opened.size(), 1U) << "the other groups would meet it too";
  now_ += 23h;
  EXPECT_TRUE(Run().empty()) << "not every cycle";
  directory_.refusal = "directory: TLS with ldap://x failed";
  EXPECT_EQ(Run().size(), 1U) << "a new reason is said at once";
  directory_.refusal = refused[0];
  now_ += 1h;
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"directory cannot be used", refused}}));
  directory_.refusal.clear();
  directory_.Add("g", {"u"});
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"changes to group:g", {"u"}}}));
  // An ADTls that is none of its choices sends nothing, and is said once.
  backend_.WriteValue("general", "ADTls", TPolicyValue::MakeText("ldapss"));
  cycle_.GeneralUpdateRequested = true;
  directory_.opened.clear();
  EXPECT_TRUE(Run().empty());
  EXPECT_TRUE(directory_.opened.empty());
  EXPECT_EQ(store_.TakeSettingReports().size(), 1U);
  backend_.WriteValue("general", "ADTls", TPolicyValue::MakeText("LDAPS"));
  Run();
  ASSERT_EQ(directory_.opened.size(), 2U);  // g and x
  EXPECT_EQ(directory_.opened[0].tls, TDirectoryTls::Ldaps);
}

// Hostile structures cost a bounded number of searches.
TEST_F(AdModule, SharedNestingIsExpandedOncePerGroupAndRangesThatStallEnd) {
  // Sixteen levels of two groups, each holding both groups of the next
  // level: 2^16 paths, but 32 groups.
  for (int level = 0; level < 16; ++level) {
    const std::string next = std::to_string(level + 1);
    const std::vector<std::string> both = level == 15
                                              ? std::vector<std::string>{"u"}
                                              : std::vector<std::string>{"a" + next, "b" + next};
    directory_.Add("a" + std::to_string(level), both);
    directory_.Add("b" + std::to_string(level), both);
  }
  directory_.Add("u");
  directory_.Add("g", {"a0", "b0"});
  const auto reported = Run();
  EXPECT_LT(directory_.searches, 100);
  const TLines& lines = reported.at("changes to group:g");
  // g's two; then once each, the two members of the 30 upper groups and
  // the one of the two last.
  EXPECT_EQ(lines.size(), 2U + 30 * 2 + 2) << "each group expanded once";
  EXPECT_EQ(lines[0], "a0");
  EXPECT_EQ(lines[1], "a0.a1") << "the first path is recorded in full";

  // A server that keeps answering the first range.
  directory_.accounts.clear();
  directory_.searches = 0;
  directory_.Add("g", {"v1", "v2", "v3"});
  directory_.range_size = 1;
  directory_.stuck_range = true;
  EXPECT_EQ(Run(), (std::map<std::string, TLines>{{"changes to group:g", {"v1"}}}));
  EXPECT_LT(directory_.searches, 10);
}

TEST_F(AdModule, AFailedBatchIsAskedNameByNameAndARunHasASearchBound) {
  directory_.Add("g", {"h", "k"});
  directory_.Add("h", {"u"});
  directory_.Add("k", {"w"});
  directory_.fail_batches = true;
  EXPECT_EQ(Run(),
            (std::map<std::string, TLines>{{"changes to group:g", {"h", "h.u", "k", "k.w"}}}));

  std::vector<std::string> users;
  for (int i = 0; i < TAdModule::kMaxSearchesPerRun + 50; ++i)
    users.push_back("user" + std::to_string(i));
  directory_.Add("big", users);
  directory_.range_size = 1;
  Watch("big");
  cycle_.GeneralUpdateRequested = true;
  const TLines lines = Run().at("changes to group:big");
  EXPECT_LT(lines.size(), users.size());
  EXPECT_EQ(lines.back(),
            "... cut at 10000 directory searches in one run; the members found so "
            "far are kept");
  EXPECT_EQ(module_.StoredMembers("big").size(), lines.size() - 1) << "what was found is kept";
}

TEST_F(AdModule, NamesCannotChangeTheSearch) {
  Watch("a*(b)\\");
  directory_.Add("g", {"x)(cn=*"});
  directory_.Add("x)(cn=*");
  Run();
  EXPECT_EQ(directory_.filters, (TLines{"(samaccountname=g)", "(cn=x\\29\\28cn=\\2a)",
                                        "(samaccountname=a\\2a\\28b\\29\\5c)"}));
}

TEST(DirectoryNames, TheFirstValueEndsAtTheFirstUnescapedComma) {
  EXPECT_EQ(FirstRdnValue("CN=Smith\\, John,OU=Staff,DC=test"), "Smith, John");
  EXPECT_EQ(FirstRdnValue("CN=Jane Q Doe,OU=Staff"), "Jane Q Doe");
  EXPECT_EQ(FirstRdnValue("CN=a\\2Cb\\\\c,DC=x"), "a,b\\c");
  EXPECT_EQ(FirstRdnValue("no equals sign"), "no equals sign");
}

}  // namespace
}  // namespace warderon::testing

#include "monitors/directory/ad_module.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes/recording_alerts.h"
#include "monitors/directory/directory_names.h"
#include "platform/memory_policy_backend.h"

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
    if (refuse) throw TDirectorySecurityError("directory: a bind with a password needs TLS");
    if (unreachable) throw TDirectoryError("directory: cannot connect");
    return std::make_unique<TSession>(*this);
  }

  std::map<std::string, TAccount> accounts;
  std::size_t range_size = 0;  // 0: whole lists
  int fail_after_searches = -1;
  bool refuse = false;
  bool unreachable = false;
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
      if (directory_.searches++ == directory_.fail_after_searches) {
        throw TDirectoryError("directory: server went away");
      }
      if (base.empty()) return {{"", {{"defaultNamingContext", {"DC=test"}}}}};
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
      const std::size_t first = std::stoul(asked.substr(asked.find('=') + 1));
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
  TAdModule module_{store_, lists_, alerts_, cycle_, directory_, ".site.example"};
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
  directory_.fail_after_searches = 2;  // the root, g, then the search of h fails
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

TEST_F(AdModule, ARefusedBindIsARunTimeErrorNotSilence) {
  directory_.refuse = true;
  EXPECT_THROW(module_.Run(), TDirectorySecurityError);
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

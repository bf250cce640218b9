// The local accounts monitor over a fake account list: the first reading
// is silent, then each change alone gives exactly its line, once.
#include "monitors/accounts/users_module.h"

#include <gtest/gtest.h>

#include "fakes/fake_accounts.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

class LocalUsersModule : public ::testing::Test {
 protected:
  LocalUsersModule() {
    store_.WritePolicyBool("general", "LocalUsersEnabled", true);
    users_.users = {User("root", "0"), User("alice", "1000")};
  }
  static TLocalUser User(const std::string& name, const std::string& uid) {
    return {name, {{"uid", uid}, {"gid", uid}, {"shell", "/bin/bash"}, {"locked", "no"}}};
  }
  void Restart() {
    module_ = std::make_unique<TLocalUsersModule>(store_, lists_, alerts_, users_);
    module_->Initialize();
  }
  std::vector<std::string> RunOnce() {
    alerts_.alerts.clear();
    module_->Run();
    std::vector<std::string> lines;
    for (const auto& alert : alerts_.alerts) {
      EXPECT_EQ(alert.subject, "user account changes");
      lines.insert(lines.end(), alert.details.begin(), alert.details.end());
    }
    return lines;
  }
  void Set(const std::string& user, const std::string& field, const std::string& value) {
    for (auto& entry : users_.users) {
      for (auto& [name, text] : entry.fields) {
        if (entry.name == user && name == field) text = value;
      }
    }
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeLocalUsers users_;
  std::unique_ptr<TLocalUsersModule> module_;
};

TEST_F(LocalUsersModule, EachChangeAloneGivesExactlyItsLineOnce) {
  Restart();
  EXPECT_EQ(RunOnce(), std::vector<std::string>{}) << "the first reading is the baseline";
  struct TStep {
    const char* what;
    std::function<void()> change;
    std::vector<std::string> lines;
  };
  const std::vector<TStep> steps = {
      {"an account added",
       [&] { users_.users.push_back(User("mallory", "1001")); },
       {"new account mallory"}},
      {"a second account of uid 0",
       [&] { users_.users.push_back(User("toor", "0")); },
       {"new account toor (uid 0)"}},
      {"a uid changed",
       [&] { Set("alice", "uid", "0"); },
       {"changed account alice: uid 1000 -> 0"}},
      {"a shell changed",
       [&] { Set("mallory", "shell", "/bin/sh"); },
       {"changed account mallory: shell /bin/bash -> /bin/sh"}},
      {"an account unlocked",
       [&] { Set("root", "locked", "yes"); },
       {"changed account root: locked no -> yes"}},
      {"an account removed", [&] { users_.users.pop_back(); }, {"removed account toor"}},
  };
  for (const TStep& step : steps) {
    step.change();
    EXPECT_EQ(RunOnce(), step.lines) << step.what;
    EXPECT_EQ(RunOnce(), std::vector<std::string>{}) << step.what << ": once";
  }
  // What is known survives a restart.
  Restart();
  Set("alice", "gid", "0");
  EXPECT_EQ(RunOnce(), std::vector<std::string>{"changed account alice: gid 1000 -> 0"});
}

TEST_F(LocalUsersModule, SwitchedOffNothingIsReadOrKept) {
  store_.WritePolicyBool("general", "LocalUsersEnabled", false);
  users_.fail = true;
  Restart();
  EXPECT_EQ(RunOnce(), std::vector<std::string>{});
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_TRUE(backend_.ReadSection("LocalUsers").empty());
}

TEST_F(LocalUsersModule, AListThatCannotBeReadIsSaidOnceAndForgetsNothing) {
  Restart();
  RunOnce();
  users_.fail = true;
  module_->Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].level, kAlertMonitorFailure);
  alerts_.alerts.clear();
  module_->Run();
  EXPECT_TRUE(alerts_.alerts.empty()) << "said once";
  users_.fail = false;
  users_.users.push_back(User("mallory", "1001"));
  EXPECT_EQ(RunOnce(), std::vector<std::string>{"new account mallory"});
  // A list cut short keeps the accounts it did not reach.
  users_.users.insert(users_.users.begin(), TLocalUsersModule::kMaxAccounts, User("filler", "5"));
  users_.users.resize(TLocalUsersModule::kMaxAccounts + 3);
  for (std::size_t i = 0; i < TLocalUsersModule::kMaxAccounts; ++i) {
    users_.users[i].name = "filler" + std::to_string(i);
  }
  const auto lines = RunOnce();
  EXPECT_EQ(lines.size(), TLocalUsersModule::kMaxAccounts) << "only the fillers are new";
}

}  // namespace
}  // namespace warderon::testing

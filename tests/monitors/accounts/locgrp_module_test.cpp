#include "monitors/accounts/locgrp_module.h"

#include <gtest/gtest.h>

#include "fakes/fake_accounts.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

class LocGrpModule : public ::testing::Test {
 protected:
  LocGrpModule() { module_.Initialize(); }
  void Watch(const std::string& group) {
    backend_.WriteValue("LocGroups", group, TPolicyValue::MakeInteger(1));
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeLocalGroups groups_;
  TLocGrpModule module_{lists_, alerts_, groups_};
};

TEST_F(LocGrpModule, ReportsNewMembersOncePerGroupInPlatformOrder) {
  cycle_.NewInstall = true;  // hand-written "LocGroups" has no seal yet
  Watch("Administrators");
  Watch("Backup Operators");
  groups_.members["Administrators"] = {"WS042\\zed", "WS042\\Administrator"};
  groups_.members["Backup Operators"] = {"SITE\\backup"};
  module_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 2U);
  EXPECT_EQ(alerts_.alerts[0].subject, "changes to local group:Administrators");
  EXPECT_EQ(alerts_.alerts[0].body, "changes");
  EXPECT_EQ(alerts_.alerts[0].details,
            (std::vector<std::string>{"WS042\\zed", "WS042\\Administrator"}));
  EXPECT_EQ(alerts_.alerts[1].details, (std::vector<std::string>{"SITE\\backup"}));
  EXPECT_EQ(backend_.ReadValue("locgroup-Administrators", "WS042\\zed"),
            TPolicyValue::MakeInteger(1));

  alerts_.alerts.clear();
  module_.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_F(LocGrpModule, KnownMembersInAnyCaseAndLeaversAreNotReported) {
  cycle_.NewInstall = true;
  Watch("Administrators");
  groups_.members["Administrators"] = {"WS042\\Alice", "WS042\\Bob"};
  module_.Run();
  alerts_.alerts.clear();
  groups_.members["Administrators"] = {"ws042\\ALICE"};  // Bob left
  module_.Run();
  const auto stored = backend_.ReadSection("locgroup-Administrators");
  groups_.members["Administrators"] = {"WS042\\Alice", "WS042\\Bob"};  // Bob is back
  module_.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_EQ(backend_.ReadSection("locgroup-Administrators").size(), stored.size());
}

TEST_F(LocGrpModule, NothingWatchedOrAnUnreadableGroupDoesNothing) {
  module_.Run();
  Watch("NoSuchGroup");
  cycle_.NewInstall = true;
  module_.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_TRUE(backend_.ReadSection("locgroup-NoSuchGroup").empty()) << "nothing stored";
}

TEST_F(LocGrpModule, AMemberListedTwiceIsReportedAndStoredOnce) {
  cycle_.NewInstall = true;
  Watch("Users");
  groups_.members["Users"] = {"H\\a", "H\\b", "h\\A"};
  module_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].details, (std::vector<std::string>{"H\\b", "h\\A"}));
  EXPECT_EQ(backend_.ReadSection("locgroup-Users").size(), 3U) << "two members and the seal";
}

TEST_F(LocGrpModule, DeletingAMemberSectionReportsEveryMemberAgain) {
  cycle_.NewInstall = true;
  Watch("Users");
  groups_.members["Users"] = {"H\\a", "H\\b"};
  module_.Run();
  backend_.DeleteSection("locgroup-Users");
  alerts_.alerts.clear();
  module_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].details.size(), 2U);
}

}  // namespace
}  // namespace warderon::testing

#include "monitors/network/net_enum.h"

#include <gtest/gtest.h>

#include "fakes/fake_network.h"
#include "fakes/faulty_backend.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using TLines = std::vector<std::string>;

class NetEnum : public ::testing::Test {
 protected:
  NetEnum() {
    cycle_.NewInstall = true;  // hand-written sections carry no seal
    backend_.WriteValue("general", "SharesEnabled", TPolicyValue::MakeInteger(1));
    module_.Initialize();
  }
  void Run() {
    alerts_.alerts.clear();
    module_.Run();
  }
  std::vector<std::string> Stored(const std::string& section) {
    std::vector<std::string> names;
    for (const auto& value : memory_.ReadSection(section)) {
      if (!value.name.empty()) names.push_back(value.name);
    }
    return names;
  }

  TMemoryPolicyBackend memory_;
  TFaultyBackend backend_{memory_};
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeShareList shares_;
  // A name server that knows 10.0.0.5, and takes a second of the fake
  // clock for every question.
  std::vector<std::string> lookups_;
  TSteadyTime now_{};
  TNetEnum module_{store_,
                   lists_,
                   alerts_,
                   shares_,
                   [this](const std::string& address, TSteadyTime deadline) {
                     lookups_.push_back(address);
                     now_ += std::chrono::seconds(1);
                     if (now_ > deadline) return std::optional<std::string>();
                     return address == "10.0.0.5" ? std::optional<std::string>("Desk5.site.example")
                                                  : std::nullopt;
                   },
                   [this] { return now_; }};
};

TEST_F(NetEnum, NewSharesAreStoredAndThoseWithClientsReported) {
  shares_.shares["DATA"] = {{"Bob", "WS7"}, {"alice", "ws3"}};
  shares_.shares["IPC$"] = {};
  Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].subject, "Share: DATA added");
  EXPECT_EQ(alerts_.alerts[0].body, "Share: DATA added");
  EXPECT_EQ(alerts_.alerts[0].details, (TLines{"alice@ws3", "bob@ws7"}));
  EXPECT_EQ(Stored("LocalShares"), (std::vector<std::string>{"DATA", "IPC$"}));
  EXPECT_EQ(Stored("LocalShares-Data\\DATA-Clients"),
            (std::vector<std::string>{"alice@ws3", "bob@ws7"}));
  EXPECT_TRUE(Stored("LocalShares-Data\\IPC$-Clients").empty());

  backend_.rewritten_sections.clear();
  Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_TRUE(backend_.rewritten_sections.empty());  // no change, nothing written
}

TEST_F(NetEnum, KeysForMachineAccountsAddressesDuplicatesAndLocalhost) {
  shares_.shares["DATA"] = {
      {"WS7$", "ws7"},       {"carol", "10.0.0.5"}, {"carol", "10.0.0.5"}, {"dave", "10.0.0.6"},
      {"eve", "LOCALHOST"},  {"a@b", "localhost"},  // the client is after the last "@"
      {"\xc3\x89RIC", "ws8"}};
  Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].details,
            (TLines{"@ws7", "carol@Desk5", "dave@10.0.0.6", "\xc3\xa9ric@ws8"}));
}

// Reverse look-ups are kept for their lifetime and a run spends at most its
// budget on them: a silent name server cannot hold the cycle.
TEST_F(NetEnum, LookUpsAreKeptAndARunSpendsAtMostItsBudget) {
  for (int i = 1; i <= 8; ++i)
    shares_.shares["DATA"].push_back({"u", "10.0.1." + std::to_string(i)});
  shares_.shares["DATA"].push_back({"carol", "10.0.0.5"});
  Run();
  EXPECT_EQ(lookups_.size(), 5U) << "five seconds, one each";
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].details.back(), "u@10.0.1.8") << "the rest keyed by address";
  lookups_.clear();
  now_ += std::chrono::minutes(1);
  Run();
  EXPECT_EQ(lookups_.size(), 4U) << "only what was not asked yet";
  lookups_.clear();
  now_ += TNetEnum::kFailureLifetime;
  Run();
  EXPECT_EQ(lookups_.size(), 5U) << "failures are asked again after their lifetime";
}

TEST_F(NetEnum, LostClientsComeBeforeNewOnesInOneChangedAlert) {
  shares_.shares["DATA"] = {{"alice", "ws3"}, {"bob", "ws7"}};
  Run();
  shares_.shares["DATA"] = {{"ALICE", "WS3"}, {"carol", "ws9"}};
  Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].subject, "Share: DATA changed");
  EXPECT_EQ(alerts_.alerts[0].details,
            (TLines{"  lost connection to bob@ws7", "  new connection to carol@ws9"}));
  EXPECT_EQ(Stored("LocalShares-Data\\DATA-Clients"),
            (std::vector<std::string>{"alice@ws3", "carol@ws9"}));
}

TEST_F(NetEnum, IgnoredClientsAreNeverNewAndOnceLostWhenStillStored) {
  shares_.shares["DATA"] = {{"backup", "srv1"}};
  Run();
  backend_.WriteValue("LocalShares-Data\\DATA-Ignore", "backup@srv1", TPolicyValue::MakeInteger(1));
  backend_.WriteValue("LocalShares-Data\\DATA-Ignore", "scan@srv2", TPolicyValue::MakeInteger(1));
  shares_.shares["DATA"] = {{"backup", "srv1"}, {"scan", "srv2"}};
  Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].details, (TLines{"  lost connection to backup@srv1"}));
  Run();
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_F(NetEnum, ListsThatCannotBeHadWholeChangeNothing) {
  shares_.shares["DATA"] = {{"alice", "ws3"}};
  shares_.shares["HOME"] = {{"bob", "ws7"}};
  Run();
  shares_.listable = false;
  shares_.connection_calls = 0;
  Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_EQ(shares_.connection_calls, 0);

  // One share's connections cannot be listed: its clients are not lost.
  shares_.listable = true;
  shares_.unlistable_connections["DATA"] = true;
  shares_.shares["HOME"] = {};
  Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].subject, "Share: HOME changed");
  EXPECT_EQ(Stored("LocalShares-Data\\DATA-Clients"), (std::vector<std::string>{"alice@ws3"}));
}

TEST_F(NetEnum, AVanishedShareKeepsItsClientsAndAnAdministratorsEditCountsAtOnce) {
  shares_.shares["DATA"] = {{"alice", "ws3"}};
  Run();
  shares_.shares.erase("DATA");
  Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_EQ(Stored("LocalShares"), (std::vector<std::string>{"DATA"}));
  // The administrator removes the stored client by hand: it is new again.
  lists_.SaveBaselineList("LocalShares-Data\\DATA-Clients", TStringList{});
  shares_.shares["DATA"] = {{"alice", "ws3"}};
  Run();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].details, (TLines{"  new connection to alice@ws3"}));
}

TEST_F(NetEnum, DisabledMonitorListsNothing) {
  backend_.WriteValue("general", "SharesEnabled", TPolicyValue::MakeInteger(0));
  shares_.shares["DATA"] = {{"alice", "ws3"}};
  Run();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_EQ(shares_.connection_calls, 0);
}

}  // namespace
}  // namespace warderon::testing

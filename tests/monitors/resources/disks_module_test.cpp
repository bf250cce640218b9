#include "monitors/resources/disks_module.h"

#include <gtest/gtest.h>

#include "fakes/fake_resources.h"
#include "fakes/faulty_backend.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

class DisksModule : public ::testing::Test {
 protected:
  DisksModule() {
    volumes_.disks = {"C", "E"};
    volumes_.SetPercent("C", 50);
    volumes_.SetPercent("E", 10);
    store_.WritePolicyBool("general", "DisksEnabled", true);
    module_.Initialize();
  }
  void SetWarn(const std::string& disk, std::int32_t warn) {
    store_.WritePolicyInteger("Disks", disk + "-warn", warn);
  }
  std::vector<std::string> Subjects() { return alerts_.Subjects(); }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TFakeVolumes volumes_;
  TDisksModule module_{store_, alerts_, cycle_, volumes_};
};

TEST_F(DisksModule, PublishesEachDiskAndWritesDefaultThresholds) {
  module_.Run();
  std::vector<std::string> names;
  for (const auto& value : backend_.ReadSection("Disks")) names.push_back(value.name);
  EXPECT_EQ(names, (std::vector<std::string>{"C-used", "C-warn", "E-used", "E-warn"}));
  EXPECT_EQ(backend_.ReadValue("Disks", "C-used"), TPolicyValue::MakeInteger(50));
  EXPECT_EQ(backend_.ReadValue("Disks", "E-warn"), TPolicyValue::MakeInteger(100));
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_TRUE(cycle_.ActivityText.empty());
}

TEST_F(DisksModule, OneAlertOnEachCrossingOfTheThreshold) {
  SetWarn("C", 90);
  const std::vector<std::pair<int, std::vector<std::string>>> steps = {
      {91, {"disk C: in crisis"}},
      {91, {}},
      {95, {}},
      {90, {"disk C: no longer in crisis"}},
      {90, {}}};
  for (const auto& [percent, expected] : steps) {
    alerts_.alerts.clear();
    volumes_.SetPercent("C", percent);
    module_.Run();
    EXPECT_EQ(Subjects(), expected) << percent << "%";
  }
  volumes_.SetPercent("C", 95);
  module_.Run();
  EXPECT_EQ(alerts_.alerts.back().body,
            "disk C: is at 95% full which is greater than threshold 90% full");
  volumes_.SetPercent("C", 80);
  module_.Run();
  EXPECT_EQ(alerts_.alerts.back().body,
            "disk C: is at 80% full which is less than threshold 90% full");
}

TEST_F(DisksModule, MinusOneSilencesADiskEvenInCrisis) {
  SetWarn("C", 10);
  module_.Run();
  ASSERT_EQ(Subjects(), (std::vector<std::string>{"disk C: in crisis"}));
  SetWarn("C", -1);
  volumes_.SetPercent("C", 5);
  module_.Run();
  EXPECT_EQ(alerts_.alerts.size(), 1U);
}

TEST_F(DisksModule, ARestartForgetsTheCrisis) {
  SetWarn("C", 10);
  module_.Run();
  module_.Initialize();
  module_.Run();
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"disk C: in crisis", "disk C: in crisis"}));
}

TEST_F(DisksModule, AFailedQueryKeepsTheLastMeasurementAndDisabledRunsWriteNothing) {
  module_.Run();
  volumes_.space.erase("C");  // the disk went away
  module_.Run();
  EXPECT_EQ(backend_.ReadValue("Disks", "C-used"), TPolicyValue::MakeInteger(50));
  store_.WritePolicyBool("general", "DisksEnabled", false);
  volumes_.SetPercent("E", 60);
  module_.Run();
  EXPECT_EQ(backend_.ReadValue("Disks", "E-used"), TPolicyValue::MakeInteger(10));
}

TEST_F(DisksModule, PercentUsesIntegerArithmetic) {
  EXPECT_EQ(TDisksModule::PercentUsed({1000, 55}), 94);
  EXPECT_EQ(TDisksModule::PercentUsed({100, 0}), -1);
  EXPECT_EQ(TDisksModule::PercentUsed({4ULL << 40, 1ULL << 40}), 75);  // 4 TiB, 64-bit safe
}

TEST_F(DisksModule, AStoreFailureLeavesTheStepInTheActivityText) {
  TFaultyBackend faulty(backend_);
  faulty.fail_write_of = "E-used";
  TPolicyStore store(faulty);
  TDisksModule module(store, alerts_, cycle_, volumes_);
  module.Initialize();
  EXPECT_THROW(module.Run(), TPolicyError);
  EXPECT_EQ(cycle_.ActivityText, "CONFIG_DISKS E");
}

}  // namespace
}  // namespace warderon::testing

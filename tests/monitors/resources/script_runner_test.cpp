#include "monitors/resources/script_runner.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_resources.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

class ScriptRunner : public ::testing::Test {
 protected:
  void Start(int hour, int minute, int second) {
    clock_ = std::make_unique<TFakeClock>(ToDateTime({2026, 12, 8, hour, minute, second, 0}));
    runner_ = std::make_unique<TScriptRunner>(store_, alerts_, *clock_, commands_);
    runner_->Initialize();
  }
  void Set(const std::string& name, const std::string& text) {
    store_.WritePolicyString("general", name, text);
  }
  void SetFlag(const std::string& name) { store_.WritePolicyBool("general", name, true); }
  void SetWhen(const std::string& name, double when) {
    store_.WritePolicyFloat("general", name, when);
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TFakeCommandRunner commands_;
  std::unique_ptr<TFakeClock> clock_;
  std::unique_ptr<TScriptRunner> runner_;
};

TEST_F(ScriptRunner, ADailyCommandRunsAtTheFirstCycleAfterItsTimeOnceADay) {
  Set("ScriptPath", "backup.cmd");
  SetWhen("ScriptWhen", 0.5);
  Start(11, 59, 0);
  clock_->Advance(seconds(30));  // 11:59:30
  runner_->Run();
  EXPECT_TRUE(commands_.started.empty());
  clock_->Advance(minutes(1));  // 12:00:30
  runner_->Run();
  EXPECT_EQ(commands_.started, (std::vector<std::string>{"backup.cmd"}));
  clock_->Advance(minutes(60 * 6));  // later that day
  runner_->Run();
  clock_->Advance(minutes(60 * 18));  // next day 12:30:30
  runner_->Run();
  EXPECT_EQ(commands_.started.size(), 2U);
}

TEST_F(ScriptRunner, AStartAfterTheTimeOfDayWaitsForTheNextDay) {
  Set("ScriptPath", "backup.cmd");
  SetWhen("ScriptWhen", 0.5);
  Start(15, 0, 0);
  clock_->Advance(minutes(5));
  runner_->Run();
  clock_->Advance(minutes(60 * 20));  // 11:05 next day
  runner_->Run();
  EXPECT_TRUE(commands_.started.empty());
  clock_->Advance(minutes(60));  // 12:05 next day
  runner_->Run();
  EXPECT_EQ(commands_.started.size(), 1U);
}

TEST_F(ScriptRunner, ARequestRunsAtOnceAndLeavesTheDailyRunDue) {
  Set("ScriptPath2", "report.cmd");
  SetWhen("ScriptWhen2", 0.75);
  Start(9, 0, 0);
  SetFlag("ScriptRunNow2");
  runner_->Run();
  EXPECT_EQ(commands_.started, (std::vector<std::string>{"report.cmd"}));
  EXPECT_EQ(backend_.ReadValue("general", "ScriptRunNow2"), TPolicyValue::MakeInteger(0));
  clock_->Advance(minutes(60 * 9 + 1));  // 18:01
  runner_->Run();
  EXPECT_EQ(commands_.started.size(), 2U) << "18:00 is still ahead of the request";
}

TEST_F(ScriptRunner, BootupCommandRunsAtStartAndOnRequest) {
  Set("ScriptBootup", "start.cmd");
  Start(8, 0, 0);
  EXPECT_EQ(commands_.started, (std::vector<std::string>{"start.cmd"}));
  runner_->Run();
  SetFlag("ScriptRunNowBoot");
  runner_->Run();
  EXPECT_EQ(commands_.started.size(), 2U);
  EXPECT_EQ(backend_.ReadValue("general", "ScriptRunNowBoot"), TPolicyValue::MakeInteger(0));
}

TEST_F(ScriptRunner, EmptyCommandsConsumeRequestsQuietly) {
  Start(8, 0, 0);
  SetFlag("ScriptRunNow");
  runner_->Run();
  EXPECT_TRUE(commands_.started.empty());
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_EQ(backend_.ReadValue("general", "ScriptRunNow"), TPolicyValue::MakeInteger(0));
}

TEST_F(ScriptRunner, AFailedStartIsReportedWithTheInterpretersMessage) {
  commands_.result = {false, "C:\\Windows\\system32\\cmd.exe not found!"};
  Set("ScriptBootup", "start.cmd");
  Set("ScriptPath", "a \"quoted\" > out.txt");
  Start(8, 0, 0);
  SetFlag("ScriptRunNow");
  runner_->Run();
  ASSERT_EQ(alerts_.alerts.size(), 2U);
  EXPECT_EQ(alerts_.alerts[0].level, kAlertMonitorFailure);
  EXPECT_EQ(alerts_.alerts[0].subject, "bootup script did not run");
  EXPECT_EQ(alerts_.alerts[0].body,
            "script start.cmd didn't run: C:\\Windows\\system32\\cmd.exe not found!");
  EXPECT_EQ(alerts_.alerts[1].subject, "script didn't run");
  EXPECT_EQ(alerts_.alerts[1].body,
            "script a \"quoted\" > out.txt didn't run: C:\\Windows\\system32\\cmd.exe not found!");
}

TEST_F(ScriptRunner, ATimeOfDayStoredAsTextIsTheDefaultAndNeverFailsTheRun) {
  Set("ScriptPath", "backup.cmd");
  Set("ScriptWhen", "0.5");
  Start(8, 0, 0);
  // A failure here would end every cycle before the modules after this one.
  EXPECT_NO_THROW(runner_->Run());
  SetFlag("ScriptRunNow");
  EXPECT_NO_THROW(runner_->Run());
  EXPECT_EQ(commands_.started, (std::vector<std::string>{"backup.cmd"}));
}

}  // namespace
}  // namespace warderon::testing

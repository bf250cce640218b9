#include "monitors/accounts/services_module.h"

#include <gtest/gtest.h>

#include "fakes/fake_accounts.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

class ServicesModule : public ::testing::Test {
 protected:
  ServicesModule() { store_.WritePolicyBool("general", "ServicesEnabled", true); }

  // A fresh module over the same store: a restart of the watchdog.
  void Restart() {
    module_ = std::make_unique<TServicesModule>(store_, lists_, alerts_, services_);
    module_->Initialize();
  }
  // The detail lines of this run's alert; empty when there was none.
  std::vector<std::string> RunOnce() {
    alerts_.alerts.clear();
    module_->Run();
    if (alerts_.alerts.empty()) return {};
    EXPECT_EQ(alerts_.alerts.size(), 1U);
    EXPECT_EQ(alerts_.alerts[0].subject, "service changes");
    EXPECT_EQ(alerts_.alerts[0].body, "service changes");
    return alerts_.alerts[0].details;
  }
  std::optional<TPolicyValue> Stored(const std::string& section, const std::string& name) {
    return backend_.ReadValue(section, name);
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeServiceList services_;
  std::unique_ptr<TServicesModule> module_;
};

TEST_F(ServicesModule, DisabledRunsTouchNothing) {
  backend_.DeleteValue("general", "ServicesEnabled");
  Restart();
  services_.Set({{"Windows Time", true}});
  EXPECT_TRUE(RunOnce().empty());
  EXPECT_EQ(services_.enumerations, 0);
  EXPECT_EQ(Stored("general", "ServicesEnabled"), TPolicyValue::MakeInteger(0));
  EXPECT_FALSE(Stored("general", "ServicesAuto").has_value());
}

TEST_F(ServicesModule, ReportsNewChangedAndMissingServicesInOrder) {
  Restart();
  services_.batches = {{{"Windows Time", true}, {"Print Spooler", false}}, {{"Zeta", true}}};
  EXPECT_EQ(RunOnce(), (std::vector<std::string>{"new service WindowsTime",
                                                 "new service PrintSpooler", "new service Zeta"}));
  EXPECT_EQ(Stored("Services", "WindowsTime"), TPolicyValue::MakeText("1"));
  EXPECT_EQ(Stored("Services", "PrintSpooler"), TPolicyValue::MakeText("0"));
  EXPECT_TRUE(RunOnce().empty());  // quiet

  // Other spacing and letter case are the same service (the line names it
  // as seen now); paused counts as stopped.
  services_.batches = {{{"windows  time", false}, {"Print Spooler", true}}};
  EXPECT_EQ(RunOnce(), (std::vector<std::string>{"changed service windowstime now stopped",
                                                 "changed service PrintSpooler now running",
                                                 "missing: Zeta"}));
  EXPECT_EQ(module_->ChangeCount("WindowsTime"), 2);   // appearance, then the stop
  EXPECT_EQ(module_->ChangeCount("PrintSpooler"), 1);  // a start is not counted
}

TEST_F(ServicesModule, AQuietRunWritesNothing) {
  Restart();
  services_.Set({{"A", true}});
  RunOnce();
  backend_.SetFailing(true);  // any write would now fail the run
  EXPECT_NO_THROW(RunOnce());
}

TEST_F(ServicesModule, FlappingServicesAreSkippedWhenAutoIgnoreIsOn) {
  for (const bool auto_ignore : {true, false}) {
    backend_.DeleteSection("Services");
    backend_.DeleteSection("Services-AutoIgnored");
    store_.WritePolicyBool("general", "ServicesAuto", auto_ignore);
    Restart();
    // It appears, then stops five times: a count of 6, and stopped.
    services_.Set({{"Flaky", true}});
    RunOnce();
    for (int i = 0; i < 5; ++i) {
      if (i > 0) {
        services_.Set({{"Flaky", true}});
        RunOnce();
      }
      services_.Set({{"Flaky", false}});
      RunOnce();
    }
    ASSERT_EQ(module_->ChangeCount("Flaky"), 6);
    services_.Set({{"Flaky", true}});
    const auto lines = RunOnce();
    if (auto_ignore) {
      EXPECT_TRUE(lines.empty());
      EXPECT_EQ(module_->ChangeCount("Flaky"), 7);  // skipped runs keep counting
    } else {
      EXPECT_EQ(lines, (std::vector<std::string>{"changed service Flaky now running"}));
      EXPECT_EQ(module_->ChangeCount("Flaky"), 6);
    }
    services_.Set({});
    EXPECT_TRUE(RunOnce().empty()) << "a flapping service is never reported missing";
  }
}

TEST_F(ServicesModule, CountsStopAt999) {
  Restart();
  services_.Set({{"Busy", true}});
  RunOnce();
  for (int i = 0; i < 5; ++i) {
    services_.Set({{"Busy", false}});
    RunOnce();
    services_.Set({{"Busy", true}});
    RunOnce();
  }
  for (int i = 0; i < 1000; ++i) RunOnce();  // skipped and counted while listed
  EXPECT_EQ(module_->ChangeCount("Busy"), 999);
}

TEST_F(ServicesModule, KnowledgeSurvivesARestart) {
  Restart();
  services_.Set({{"Windows Time", true}, {"Spooler", false}});
  RunOnce();
  TStringList ignored(true);
  ignored.Add("Noisy Service=ignore");  // an administrator's entry, blanks and all
  ignored.Add("Flapper=7");
  ignored.Add("Spooler=1");  // seen once: counted, still watched
  lists_.SaveBaselineList("Services-AutoIgnored", ignored);
  Restart();
  EXPECT_EQ(module_->KnownServices().Count(), 2U);
  services_.Set(
      {{"Windows Time", true}, {"Spooler", false}, {"NoisyService", true}, {"Flapper", true}});
  EXPECT_TRUE(RunOnce().empty()) << "known states load back, ignored names are skipped";
  services_.Set({{"Windows Time", true}, {"Spooler", true}});
  EXPECT_EQ(RunOnce(), (std::vector<std::string>{"changed service Spooler now running"}))
      << "a service counted before the restart is still watched";
}

TEST_F(ServicesModule, AKnownServiceListedAsIgnoredIsNotMissedAfterARestart) {
  Restart();
  services_.Set({{"Windows Time", true}, {"Flaky", true}});
  RunOnce();
  TStringList ignored(true);
  ignored.Add("Flaky=9");
  lists_.SaveBaselineList("Services-AutoIgnored", ignored);
  Restart();
  services_.Set({{"Windows Time", true}});
  EXPECT_TRUE(RunOnce().empty()) << "Flaky is known, gone and ignored: not reported";
}

TEST_F(ServicesModule, AFailedListingIsAnErrorNeverAMissingService) {
  Restart();
  services_.batches = {{{"Windows Time", true}}, {{"Spooler", true}}};
  RunOnce();
  const auto stored = backend_.ReadSection("Services-AutoIgnored");
  for (const std::size_t after : {0U, 1U}) {  // nothing, or part of the list, then a failure
    services_.fail_after_batches = after;
    alerts_.alerts.clear();
    EXPECT_THROW(module_->Run(), TServiceListError);
    EXPECT_TRUE(alerts_.alerts.empty());
  }
  services_.fail_after_batches.reset();
  EXPECT_TRUE(RunOnce().empty()) << "nothing went missing, nothing came back";
  EXPECT_EQ(backend_.ReadSection("Services-AutoIgnored").size(), stored.size());
  EXPECT_EQ(module_->ChangeCount("WindowsTime"), 1) << "a glitch counts as no change";
}

TEST_F(ServicesModule, HandEntriesSurviveEverySave) {
  TStringList ignored(true);
  ignored.Add("Noisy Service=ignore");
  lists_.SaveBaselineList("Services-AutoIgnored", ignored);
  Restart();
  services_.Set({{"Windows Time", true}, {"Noisy Service", true}});
  EXPECT_EQ(RunOnce(), (std::vector<std::string>{"new service WindowsTime"}));  // saves
  EXPECT_EQ(Stored("Services-AutoIgnored", "NoisyService"), TPolicyValue::MakeText("ignore"));
  Restart();  // and after the restart the hand entry still silences the service
  services_.Set({{"Noisy Service", false}});
  EXPECT_EQ(RunOnce(), (std::vector<std::string>{"missing: WindowsTime"}));
  EXPECT_EQ(Stored("Services-AutoIgnored", "NoisyService"), TPolicyValue::MakeText("ignore"));
}

}  // namespace
}  // namespace warderon::testing

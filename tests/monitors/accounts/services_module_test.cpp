#include "monitors/accounts/services_module.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// Service configurations: each field changed alone gives exactly its line,
// a flapping service keeps its configuration watched, the first reading is
// silent, and the watchdog's own service is watched and raised at once.
class ServiceConfigurations : public ServicesModule {
 protected:
  static TServiceConfig Config(const std::string& name, const std::string& display,
                               const std::string& binary = "C:\\svc\\svc.exe") {
    return {name,
            display,
            {{"binary path", binary},
             {"service dll", ""},
             {"start type", "automatic"},
             {"account", "LocalSystem"}}};
  }
  void Set(const std::string& field, const std::string& value, std::size_t service = 0) {
    for (auto& [name, text] : services_.configs[service].fields) {
      if (name == field) text = value;
    }
  }
  void Restart() {
    module_ =
        std::make_unique<TServicesModule>(store_, lists_, alerts_, services_, "WarderonService");
    module_->Initialize();
  }
  // Every alert's subject and lines.
  std::vector<std::pair<std::string, std::vector<std::string>>> Alerts() {
    alerts_.alerts.clear();
    module_->Run();
    std::vector<std::pair<std::string, std::vector<std::string>>> raised;
    for (const auto& alert : alerts_.alerts) raised.emplace_back(alert.subject, alert.details);
    return raised;
  }
};

TEST_F(ServiceConfigurations, EachFieldChangedAloneGivesItsLineOnce) {
  store_.WritePolicyBool("general", "ServicesConfig", true);
  services_.Set({{"Spooler Service", true}});
  services_.configs = {Config("Spooler", "Spooler Service")};
  Restart();
  ASSERT_EQ(RunOnce(), std::vector<std::string>{"new service SpoolerService"});
  EXPECT_EQ(RunOnce(), std::vector<std::string>{}) << "the first reading is the baseline";
  const std::vector<std::pair<std::string, std::string>> changes = {
      {"binary path", "C:\\evil\\svc.exe -k"},
      {"service dll", "C:\\evil\\hook.dll"},
      {"start type", "disabled"},
      {"account", ".\\backdoor"},
  };
  for (const auto& [field, value] : changes) {
    const std::string before = [&] {
      for (const auto& [name, text] : services_.configs[0].fields) {
        if (name == field) return text;
      }
      return std::string();
    }();
    Set(field, value);
    EXPECT_EQ(RunOnce(), std::vector<std::string>{"changed service SpoolerService: " + field + " " +
                                                  before + " -> " + value});
    EXPECT_EQ(RunOnce(), std::vector<std::string>{}) << field << " is reported once";
  }
  // Kept across a restart; a display name that changed keeps the same key.
  services_.configs[0].display_name = "Renamed";
  services_.Set({{"Renamed", true}});
  Restart();
  Set("binary path", "C:\\svc\\svc.exe");
  const auto lines = RunOnce();
  EXPECT_NE(
      std::find(lines.begin(), lines.end(),
                "changed service Renamed: binary path C:\\evil\\svc.exe -k -> C:\\svc\\svc.exe"),
      lines.end())
      << ::testing::PrintToString(lines);
}

TEST_F(ServiceConfigurations, AFlappingServiceStillHasItsConfigurationWatched) {
  store_.WritePolicyBool("general", "ServicesConfig", true);
  services_.configs = {Config("Noisy", "Noisy")};
  Restart();
  for (int i = 0; i < 12; ++i) {
    services_.Set({{"Noisy", i % 2 == 0}});
    RunOnce();
  }
  ASSERT_GT(module_->ChangeCount("Noisy"), TServicesModule::kFlappingCount);
  Set("binary path", "C:\\evil.exe");
  EXPECT_EQ(RunOnce(), std::vector<std::string>{
                           "changed service Noisy: binary path C:\\svc\\svc.exe -> C:\\evil.exe"});
}

TEST_F(ServiceConfigurations, SwitchedOffOnlyTheOwnServiceIsWatchedAndRaisedAtOnce) {
  services_.Set({{"Other", true}, {"Warderon", true}});
  services_.configs = {Config("Other", "Other"), Config("WarderonService", "Warderon")};
  Restart();
  RunOnce();
  Set("binary path", "C:\\evil.exe", 0);
  Set("start type", "disabled", 1);
  const auto raised = Alerts();
  const std::string line = "changed service Warderon: start type automatic -> disabled";
  ASSERT_EQ(raised.size(), 2U);
  EXPECT_EQ(raised[0].first, "Warderon registration changed");
  EXPECT_EQ(raised[0].second, std::vector<std::string>{line});
  EXPECT_EQ(raised[1].first, "service changes");
  EXPECT_EQ(raised[1].second, std::vector<std::string>{line}) << "another service's is not watched";
  EXPECT_FALSE(Stored("Services-Config", "Other/binary path").has_value());
  // Switched on: the others are taken in silently.
  store_.WritePolicyBool("general", "ServicesConfig", true);
  EXPECT_EQ(RunOnce(), std::vector<std::string>{});
}

TEST_F(ServiceConfigurations, AnUnreadableConfigurationKeepsWhatIsKnown) {
  store_.WritePolicyBool("general", "ServicesConfig", true);
  services_.Set({{"Svc", true}});
  services_.configs = {Config("Svc", "Svc")};
  Restart();
  RunOnce();
  // One service unreadable for a cycle, then the manager not answering.
  const TServiceConfig readable = services_.configs[0];
  services_.configs[0].fields.clear();
  EXPECT_EQ(RunOnce(), std::vector<std::string>{});
  services_.fail_configurations = true;
  const auto raised = Alerts();
  ASSERT_EQ(raised.size(), 1U);
  EXPECT_EQ(raised[0].first, "service configurations");
  EXPECT_TRUE(Alerts().empty()) << "said once";
  services_.fail_configurations = false;
  services_.configs = {readable};
  Set("binary path", "C:\\evil.exe");
  EXPECT_EQ(RunOnce(), std::vector<std::string>{
                           "changed service Svc: binary path C:\\svc\\svc.exe -> C:\\evil.exe"});
}

}  // namespace
}  // namespace warderon::testing

#include "service/warderon_thread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "fakes/fake_clock.h"
#include "fakes/faulty_backend.h"
#include "fakes/recording_delivery.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

// A module that logs its calls and does what the test scripted.
class TScriptedModule final : public TCycleModule {
 public:
  TScriptedModule(std::string name, std::vector<std::string>& log)
      : name_(std::move(name)), log_(log) {}
  void Initialize() override {
    log_.push_back("init " + name_);
    if (on_initialize) on_initialize();
  }
  void Run() override {
    log_.push_back("run " + name_);
    if (on_run) on_run();
  }
  std::function<void()> on_initialize;
  std::function<void()> on_run;

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

class WarderonThread : public ::testing::Test {
 protected:
  TScriptedModule& AddRow(const std::string& name, const std::string& startup_label,
                          const std::string& cycle_label, int cycle_position, bool ad = false) {
    auto module = std::make_unique<TScriptedModule>(name, log_);
    TScriptedModule& ref = *module;
    TModuleRow row;
    row.startup_label = startup_label;
    row.cycle_label = cycle_label;
    row.cycle_position = cycle_position;
    row.every_ad_interval = ad;
    row.module = std::move(module);
    modules_.Add(std::move(row));
    return ref;
  }
  // Three rows whose cycle order differs from their start-up order.
  void AddThreeRows() {
    AddRow("monitor", "monitor", "file monitorring", 1);
    AddRow("ad", "ad", "AD monitorring", 3, true);
    AddRow("disks", "disks", "disks running", 2);
  }
  std::vector<std::string> JournalTexts() {
    std::vector<std::string> texts;
    for (const auto& value : memory_.ReadSection("Logs")) texts.push_back(value.value.text);
    return texts;
  }
  std::vector<std::string> Runs(const std::string& name) {
    std::vector<std::string> runs;
    for (const auto& entry : log_) {
      if (entry == "run " + name) runs.push_back(entry);
    }
    return runs;
  }
  TWarderonThread& Thread() {
    if (!thread_)
      thread_ =
          std::make_unique<TWarderonThread>(store_, alerts_, cycle_, modules_, clock_, beeper_);
    return *thread_;
  }
  void SetGeneral(const std::string& name, std::int32_t value) {
    store_.WritePolicyInteger("general", name, value);
  }

  TMemoryPolicyBackend memory_;
  TFaultyBackend backend_{memory_};
  TPolicyStore store_{backend_};
  TRecordingMail mail_;
  TRecordingSyslog syslog_;
  TSmtpModule alerts_{store_, mail_, syslog_, [] { return std::string("host"); }};
  TCycleState cycle_;
  TModuleTable modules_;
  TFakeClock clock_;
  TCountingBeeper beeper_;
  std::vector<std::string> log_;
  std::unique_ptr<TWarderonThread> thread_;
};

TEST_F(WarderonThread, VersionDecidesBetweenNewInstallAndNormalStart) {
  const std::vector<std::tuple<std::optional<std::int32_t>, std::string, std::string>> cases = {
      {std::nullopt, "Warderon starting NEW INSTALL",
       "system started NEW INSTALL, version 0001.0300"},
      {66048, "Warderon starting NEW INSTALL", "system started NEW INSTALL, version 0001.0300"},
      {1, "Warderon starting NEW INSTALL", "system started NEW INSTALL, version 0001.0300"},
      {66049, "Warderon starting", "system starting, Version 0001.0300"},
      {66304, "Warderon starting", "system starting, Version 0001.0300"},
  };
  for (const auto& [stored, subject, body] : cases) {
    TMemoryPolicyBackend fresh;
    TPolicyStore store(fresh);
    if (stored) store.WritePolicyInteger("general", "version", *stored);
    TRecordingMail mail;
    mail.sent.clear();
    store.WritePolicyBool("general", "EmailEnabled", true);
    TSmtpModule alerts(store, mail, syslog_, [] { return std::string("h"); });
    TModuleTable none;
    TWarderonThread thread(store, alerts, cycle_, none, clock_, beeper_);
    thread.RunStartup();
    ASSERT_EQ(mail.sent.size(), 1U);
    EXPECT_EQ(mail.sent[0].message.subject, "h: " + subject);
    EXPECT_EQ(mail.sent[0].message.body_lines[0], body);
    EXPECT_EQ(fresh.ReadValue("general", "version"), TPolicyValue::MakeInteger(66304));
  }
}

TEST_F(WarderonThread, IntegrityAlertsAreHeldBackWhileANewInstallInitialises) {
  TScriptedModule& module = AddRow("monitor", "monitor", "file monitorring", 1);
  bool new_install_seen = false;
  module.on_initialize = [&] {
    new_install_seen = cycle_.NewInstall;
    alerts_.SendAlert(kAlertIntegrity, "checksum failed for Services", "held back");
  };
  module.on_run = [&] {
    alerts_.SendAlert(kAlertIntegrity, "missing checksum for Disks", "delivered");
  };
  Thread().RunStartup();
  EXPECT_TRUE(new_install_seen);
  EXPECT_FALSE(cycle_.NewInstall);
  Thread().RunCycle();
  EXPECT_EQ(JournalTexts(), (std::vector<std::string>{"missing checksum for Disks"}));
}

TEST_F(WarderonThread, RunsModulesInCycleOrderAndStampsLastRun) {
  AddThreeRows();
  Thread().RunStartup();
  Thread().RunCycle();
  EXPECT_EQ(log_, (std::vector<std::string>{"init monitor", "init ad", "init disks", "run monitor",
                                            "run disks", "run ad"}));
  EXPECT_DOUBLE_EQ(store_.ReadPolicyFloat("general", "LastRun", 0), clock_.LocalNow().days);
  for (const char* name : {"GeneralUpdate", "Delay", "ADDelay", "Beep"}) {
    EXPECT_TRUE(memory_.ReadValue("general", name).has_value()) << name;
  }
}

TEST_F(WarderonThread, AStartupFailureStopsTheSequenceAndItsRowsAreInitialisedAtTheirTurn) {
  AddRow("monitor", "monitor", "file monitorring", 1);
  bool directory_down = true;
  AddRow("ad", "ad", "AD monitorring", 2).on_initialize = [&] {
    if (directory_down) throw std::runtime_error("no directory");
  };
  bool created = false;
  TModuleRow lazy;
  lazy.startup_label = "services";
  lazy.cycle_label = "service monitorring";
  lazy.cycle_position = 3;
  lazy.create = [&] {
    created = true;
    return std::make_unique<TScriptedModule>("services", log_);
  };
  modules_.Add(std::move(lazy));
  SetGeneral("EmailEnabled", 1);

  Thread().RunStartup();
  EXPECT_FALSE(created) << "rows after the failing one are not reached at start-up";
  EXPECT_EQ(mail_.sent.back().message.subject, "host: startup error");

  // Still failing: the row's start-up fails in its turn, the rest is skipped.
  Thread().RunCycle();
  EXPECT_EQ(log_, (std::vector<std::string>{"init monitor", "init ad", "run monitor", "init ad"}));
  EXPECT_EQ(JournalTexts(), (std::vector<std::string>{"run time error"}));
  EXPECT_EQ(mail_.sent.back().message.body_lines[0],
            "received general run time error doing AD monitorring \r\nno directory");

  // Back: the row runs, and the row never reached is created and started.
  directory_down = false;
  log_.clear();
  Thread().RunCycle();
  EXPECT_TRUE(created);
  EXPECT_EQ(log_, (std::vector<std::string>{"run monitor", "init ad", "run ad", "init services",
                                            "run services"}));
  EXPECT_TRUE(JournalTexts().empty());
  log_.clear();
  Thread().RunCycle();
  EXPECT_EQ(log_, (std::vector<std::string>{"run monitor", "run ad", "run services"}));
}

TEST_F(WarderonThread, RunTimeErrorNamesLabelActivityAndMessageAndSkipsTheRest) {
  SetGeneral("EmailEnabled", 1);
  AddRow("monitor", "monitor", "file monitorring", 1);
  TScriptedModule& disks = AddRow("disks", "disks", "disks running", 2);
  AddRow("share", "netenum", "share enumeration", 3);
  Thread().RunStartup();
  for (const std::string activity : {"T", ""}) {
    disks.on_run = [&, activity] {
      cycle_.ActivityText = activity;
      throw std::runtime_error("M");
    };
    log_.clear();
    Thread().RunCycle();
    EXPECT_EQ(log_, (std::vector<std::string>{"run monitor", "run disks"}));
    EXPECT_EQ(mail_.sent.back().message.subject, "host: run time error");
    EXPECT_EQ(mail_.sent.back().message.body_lines[0],
              "received general run time error doing disks running " + activity + "\r\nM");
    EXPECT_TRUE(memory_.ReadValue("general", "LastRun").has_value());
  }
}

TEST_F(WarderonThread, DelayIsMinutesWithZeroAsFiveSecondsAndOutOfRangeClamped) {
  const std::vector<std::pair<std::int32_t, std::int64_t>> cases = {
      {1, 60000},           {0, 5000},        {2, 120000}, {-3, 5000}, {35791, 2147460000},
      {100000, 2147460000}, {INT32_MIN, 5000}};
  Thread().RunStartup();
  for (const auto& [minutes, expected] : cases) {
    SetGeneral("Delay", minutes);
    Thread().RunCycle();
    Thread().SleepAfterCycle();
    EXPECT_EQ(clock_.Sleeps().back().count(), expected) << "Delay " << minutes;
  }
}

TEST_F(WarderonThread, DirectoryGroupRowRunsWhenItsCountdownIsDue) {
  struct TCase {
    std::int32_t delay, ad_delay;
    int cycles;
    std::vector<int> expected_runs;  // 1-based cycle numbers
  };
  const std::vector<TCase> cases = {
      {1, 5, 11, {1, 6, 11}},
      {1, 0, 3, {1, 2, 3}},
      {0, 5, 121, {1, 61, 121}},
      {1, -7, 3, {1, 2, 3}},  // negative counts as 0: every cycle
  };
  for (const TCase& test : cases) {
    TModuleTable table;
    std::vector<std::string> log;
    TModuleRow row;
    row.startup_label = "ad";
    row.cycle_label = "AD monitorring";
    row.every_ad_interval = true;
    row.module = std::make_unique<TScriptedModule>("ad", log);
    table.Add(std::move(row));
    SetGeneral("Delay", test.delay);
    SetGeneral("ADDelay", test.ad_delay);
    TWarderonThread thread(store_, alerts_, cycle_, table, clock_, beeper_);
    thread.RunStartup();
    std::vector<int> runs;
    for (int cycle = 1; cycle <= test.cycles; ++cycle) {
      const std::size_t before = log.size();
      thread.RunCycle();
      if (log.size() > before && log.back() == "run ad") runs.push_back(cycle);
      thread.SleepAfterCycle();
    }
    EXPECT_EQ(runs, test.expected_runs) << "Delay " << test.delay << " ADDelay " << test.ad_delay;
  }
}

TEST_F(WarderonThread, AFailingDirectoryGroupRowIsTriedAgainNextCycle) {
  AddRow("monitor", "monitor", "file monitorring", 1);
  TScriptedModule& ad = AddRow("ad", "ad", "AD monitorring", 2, true);
  AddRow("script", "script", "running script", 3);
  int failures = 1;
  ad.on_run = [&] {
    if (failures-- > 0) throw std::runtime_error("directory down");
  };
  Thread().RunStartup();
  Thread().RunCycle();
  EXPECT_TRUE(Runs("script").empty());
  Thread().SleepAfterCycle();
  Thread().RunCycle();
  EXPECT_EQ(Runs("ad").size(), 2U);
  EXPECT_EQ(Runs("script").size(), 1U);
  EXPECT_EQ(Thread().AdCountdown(), 300000);
}

TEST_F(WarderonThread, GeneralUpdateIsSeenByExactlyOneCycleAndBeepRingsEachCycle) {
  std::vector<bool> seen;
  AddRow("tcp", "tcp", "tcp monitorring", 1).on_run = [&] {
    seen.push_back(cycle_.GeneralUpdateRequested);
    EXPECT_EQ(memory_.ReadValue("general", "GeneralUpdate"), TPolicyValue::MakeInteger(0));
  };
  SetGeneral("GeneralUpdate", 1);
  SetGeneral("Beep", 7);
  Thread().RunStartup();
  Thread().RunCycle();
  Thread().RunCycle();
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  EXPECT_EQ(beeper_.beeps, 2);
}

TEST_F(WarderonThread, EachCycleStartsWithAnEmptyJournal) {
  int cycle = 0;
  AddRow("monitor", "monitor", "file monitorring", 1).on_run = [&] {
    alerts_.SendAlert(kAlertFinding, "finding " + std::to_string(++cycle), "b");
  };
  Thread().RunStartup();
  Thread().RunCycle();
  Thread().RunCycle();
  EXPECT_EQ(JournalTexts(), (std::vector<std::string>{"finding 2"}));
  EXPECT_EQ(memory_.ReadSection("Logs")[0].name, "3");  // numbering goes on: start alert was 1
}

TEST_F(WarderonThread, CycleStoreFailuresAreReportedAndTheLoopGoesOn) {
  SetGeneral("EmailEnabled", 1);
  AddThreeRows();
  backend_.fail_section_delete = true;
  backend_.fail_write_of = "LastRun";
  EXPECT_NO_THROW(Thread().Execute(2));
  EXPECT_EQ(Runs("disks").size(), 2U);
  std::vector<std::string> bodies;
  for (const auto& sent : mail_.sent) bodies.push_back(sent.message.body_lines[0]);
  EXPECT_NE(std::find(bodies.begin(), bodies.end(),
                      "received general run time error doing cycle housekeeping \r\n"
                      "faulty store: access denied"),
            bodies.end());
  EXPECT_NE(
      std::find(bodies.begin(), bodies.end(),
                "received general run time error doing cycle stamping \r\nfaulty store: disk full"),
      bodies.end());
}

TEST_F(WarderonThread, ASyslogFailureBlindsNoModuleAndIsReportedOncePerCycle) {
  SetGeneral("EmailEnabled", 1);
  SetGeneral("SyslogEnabled", 1);
  store_.WritePolicyString("general", "Syslog", "no-such-host");
  syslog_.fail = true;
  int saved = 0;
  AddRow("locgroup", "locgroup", "local group monitorring", 1).on_run = [&] {
    alerts_.SendAlertWithDetails(2, "changes to local group:root", "changes", {"host\\root"});
    ++saved;  // the module goes on to save its baseline
  };
  AddRow("disks", "disks", "disks running", 2);
  Thread().RunStartup();
  Thread().RunCycle();
  Thread().RunCycle();
  EXPECT_EQ(saved, 2);
  EXPECT_EQ(Runs("disks").size(), 2U) << "later modules run";
  std::vector<std::string> reports;
  for (const auto& sent : mail_.sent) {
    if (sent.message.subject == "host: run time error") {
      reports.push_back(sent.message.body_lines[0]);
    }
  }
  EXPECT_EQ(reports, std::vector<std::string>(
                         2,
                         "received general run time error doing alert delivery \r\n"
                         "syslog: 1 lines not sent: resolve no-such-host: unknown host"));
  EXPECT_EQ(JournalTexts(), (std::vector<std::string>{"host\\root", "changes to local group:root",
                                                      "host\\root", "run time error"}));
}

TEST_F(WarderonThread, AlertsCarryTheRowThatRaisedThemToSyslog) {
  memory_.WriteValue("general", "SyslogEnabled", TPolicyValue::MakeInteger(1));
  memory_.WriteValue("general", "Syslog", TPolicyValue::MakeText("loghost"));
  memory_.WriteValue("general", "SyslogFormat", TPolicyValue::MakeText("rfc5424"));
  alerts_.SetModuleSource([this] { return cycle_.StepLabel; });
  AddRow("locgroup", "locgroup", "local group monitorring", 1).on_run = [&] {
    alerts_.SendAlertWithDetails(2, "changes to local group:root", "changes", {"host\\root"});
  };
  Thread().RunStartup();
  Thread().RunCycle();
  ASSERT_FALSE(syslog_.sent.empty());
  EXPECT_EQ(syslog_.sent.front().alert.module, "");  // the start, outside any row
  EXPECT_EQ(syslog_.sent.back().alert.module, "local group monitorring");
  EXPECT_EQ(syslog_.sent.back().alert.subject, "changes to local group:root");
  EXPECT_EQ(syslog_.sent.back().alert.level, 2);
  EXPECT_TRUE(cycle_.StepLabel.empty());
}

TEST_F(WarderonThread, AMailServerThatIsDownIsReportedOnceNotEveryCycleAfter) {
  memory_.WriteValue("general", "EmailEnabled", TPolicyValue::MakeInteger(1));
  memory_.WriteValue("general", "Email", TPolicyValue::MakeText("ops@site"));
  mail_.fail = true;
  int runs = 0;
  AddRow("locgroup", "locgroup", "local group monitorring", 1).on_run = [&] {
    if (runs++ == 0) alerts_.SendAlert(2, "changes to local group:root", "changes");
  };
  Thread().RunStartup();
  for (int cycle = 0; cycle < 3; ++cycle) Thread().RunCycle();
  int reports = 0;
  for (const auto& entry : JournalTexts()) reports += entry == "run time error" ? 1 : 0;
  EXPECT_EQ(reports, 0) << "the journal of the last cycle holds no report";
  EXPECT_EQ(Runs("locgroup").size(), 3U);
}

TEST_F(WarderonThread, WronglyTypedSettingsAreReportedOncePerProcessWithTheDefaultUsed) {
  memory_.WriteValue("general", "Delay", TPolicyValue::MakeText("abc"));
  memory_.WriteValue("general", "EmailEnabled", TPolicyValue::MakeText("yes"));
  AddRow("monitor", "monitor", "file monitorring", 1);
  Thread().RunStartup();
  Thread().RunCycle();
  EXPECT_EQ(Thread().CycleDelay(), std::chrono::minutes(1));
  EXPECT_EQ(JournalTexts(),
            (std::vector<std::string>{"setting of the wrong type", "setting of the wrong type"}));
  Thread().RunCycle();
  EXPECT_TRUE(JournalTexts().empty());
  SetGeneral("EmailEnabled", 1);
  memory_.WriteValue("general", "Delay", TPolicyValue::MakeText("abc"));
  Thread().RunCycle();
  EXPECT_TRUE(mail_.sent.empty()) << "each value once per process";
  TPolicyStore other(backend_);
  memory_.WriteValue("general", "Beep", TPolicyValue::MakeText("x"));
  EXPECT_EQ(other.ReadPolicyInteger("general", "Beep", 0), 0);
  const std::vector<TPolicyStore::TSettingReport> expected = {
      {"setting of the wrong type",
       "value \"Beep\" of section \"general\" has type string where an integer is expected; the "
       "default 0 is used"}};
  EXPECT_EQ(other.TakeSettingReports(), expected);
}

TEST_F(WarderonThread, AStopEndsTheCycleAtTheNextSafePoint) {
  AddRow("monitor", "monitor", "file monitorring", 1).on_run = [&] {
    Thread().RequestTermination();  // the stop comes while this module works
  };
  AddRow("disks", "disks", "disks running", 2);
  Thread().RunStartup();
  Thread().RunCycle();
  EXPECT_EQ(Runs("monitor").size(), 1U);
  EXPECT_TRUE(Runs("disks").empty()) << "no module starts after the stop";
}

TEST_F(WarderonThread, AVersionWriteFailureIsReportedAndStartupGoesOn) {
  SetGeneral("EmailEnabled", 1);
  AddRow("monitor", "monitor", "file monitorring", 1);
  backend_.fail_write_of = "version";
  EXPECT_NO_THROW(Thread().RunStartup());
  EXPECT_EQ(mail_.sent.back().message.body_lines[0],
            "startup error doing version faulty store: disk full");
  EXPECT_EQ(log_, (std::vector<std::string>{"init monitor"}));
}

TEST_F(WarderonThread, APauseHoldsTheWorkerBetweenModulesUntilContinue) {
  AddRow("monitor", "monitor", "file monitorring", 1).on_run = [&] { Thread().Pause(); };
  AddRow("disks", "disks", "disks running", 2);
  Thread().RunStartup();
  std::thread worker([&] { Thread().RunCycle(); });
  while (!Thread().HeldByPause()) std::this_thread::yield();
  EXPECT_EQ(Runs("disks").size(), 0U);  // the module run in progress finished; the next waits
  Thread().Continue();
  worker.join();
  EXPECT_EQ(Runs("disks").size(), 1U);
}

TEST_F(WarderonThread, CycleLimitSkipsTheLastSleepAndTerminationDuringStartupRunsNoCycle) {
  AddThreeRows();
  Thread().Execute(3);
  EXPECT_EQ(Runs("monitor").size(), 3U);
  EXPECT_EQ(clock_.Sleeps().size(), 2U);

  TModuleTable table;
  std::vector<std::string> log;
  TWarderonThread stopping(store_, alerts_, cycle_, table, clock_, beeper_);
  TModuleRow row;
  row.startup_label = "monitor";
  auto module = std::make_unique<TScriptedModule>("monitor", log);
  module->on_initialize = [&] { stopping.RequestTermination(); };
  row.module = std::move(module);
  table.Add(std::move(row));
  stopping.Execute();
  EXPECT_EQ(log, (std::vector<std::string>{"init monitor"}));
}

}  // namespace
}  // namespace warderon::testing

// The watchdog's report on itself: the heartbeat's timing and lines, the
// metrics file, and what -check makes of the record a cycle leaves.
#include "service/health_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fakes/fake_clock.h"
#include "fakes/recording_delivery.h"
#include "fakes/test_backends.h"
#include "platform/store/memory_policy_backend.h"
#include "service/check_command.h"

namespace warderon::testing {
namespace {

using namespace std::chrono_literals;

class HealthReport : public ::testing::Test {
 protected:
  HealthReport() {
    store_.WritePolicyBool("general", "SyslogEnabled", true);
    store_.WritePolicyString("general", "Syslog", "loghost");
    store_.WritePolicyBool("general", "EmailEnabled", true);
    store_.WritePolicyString("general", "Email", "ops@site");
    store_.WritePolicyInteger("general", "HeartbeatMinutes", 10);
    report_.SetResidentMemorySource([] { return 4096; });
    report_.SetBootTimeSource([this] { return boot_; });
  }
  // The heartbeats that went to syslog since the last call, each as its lines.
  std::vector<std::vector<std::string>> Heartbeats() {
    std::vector<std::vector<std::string>> beats;
    for (const auto& sent : syslog_.sent) {
      if (sent.alert.subject != "Warderon heartbeat") continue;
      if (sent.message.rfind("started: ", 0) == 0) beats.emplace_back();
      beats.back().push_back(sent.message);
    }
    syslog_.sent.clear();
    return beats;
  }
  // A cycle that ends now, as the worker stamps it.
  void Cycle(std::vector<std::string> failed = {}) {
    store_.WritePolicyFloat("general", "LastRun", clock_.LocalNow().days);
    report_.OnCycleEnd({1500ms, std::move(failed)});
  }
  int Check(std::optional<int> max_age, std::string& line) {
    std::ostringstream out;
    TCheckClocks clocks;
    clocks.utc = [this] { return utc_; };
    clocks.boot = [this] { return boot_; };
    const int code = RunCheckCommand(backend_, clock_, max_age, out, clocks);
    line = out.str();
    return code;
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingMail mail_;
  TRecordingSyslog syslog_;
  TSmtpModule alerts_{store_, mail_, syslog_, [] { return std::string("ws042"); }};
  TFakeClock clock_;
  std::chrono::steady_clock::time_point steady_{};
  std::chrono::system_clock::time_point utc_ = std::chrono::system_clock::from_time_t(1796774400);
  std::optional<TBootTime> boot_;
  THealthReport::TFilesHealth files_{120, 7, true, std::nullopt};
  THealthReport report_{store_,
                        alerts_,
                        clock_,
                        [this] { return files_; },
                        [this] { return utc_; },
                        [this] { return steady_; }};
};

TEST_F(HealthReport, AHeartbeatAtTheFirstCycleThenAfterEachIntervalMailedOnlyWhenAsked) {
  store_.WritePolicyBool("general", "FilesEnabled", true);
  Cycle();
  const auto first = Heartbeats();
  ASSERT_EQ(first.size(), 1U);
  EXPECT_EQ(first[0],
            (std::vector<std::string>{"started: 2026-12-08 09:30:00 (local time)", "cycles run: 1",
                                      "last cycle: 1.500 s", "monitors enabled: files",
                                      "alerts since the last heartbeat: 0",
                                      "delivery failures since the last heartbeat: 0",
                                      "modules failed since the last heartbeat: none",
                                      "files watched: 120; cycles follow changes"}));
  EXPECT_TRUE(mail_.sent.empty()) << "mailboxes do not fill";
  EXPECT_EQ(backend_.ReadValue("Logs", "1"), TPolicyValue::MakeText("Warderon heartbeat"));

  steady_ += 9min;
  alerts_.SendAlert(kAlertFinding, "service changes", "b");
  Cycle({"tcp monitorring"});
  EXPECT_TRUE(Heartbeats().empty()) << "not before the interval";
  steady_ += 1min;
  store_.WritePolicyBool("general", "HeartbeatMail", true);
  Cycle();
  const auto second = Heartbeats();
  ASSERT_EQ(second.size(), 1U);
  EXPECT_EQ(second[0][1], "cycles run: 3");
  EXPECT_EQ(second[0][4], "alerts since the last heartbeat: 2");  // the finding and a heartbeat
  EXPECT_EQ(second[0][6], "modules failed since the last heartbeat: tcp monitorring");
  int mailed = 0;
  for (const auto& mail : mail_.sent) mailed += mail.message.subject == "ws042: Warderon heartbeat";
  EXPECT_EQ(mailed, 1) << "once asked for";
}

TEST_F(HealthReport, TheMetricsFileAndWhatCheckMakesOfACycle) {
  namespace fs = std::filesystem;
  const std::string folder = ScratchPath("metrics");
  fs::create_directories(folder);
  const std::string file = folder + "/warderon.prom";
  store_.WritePolicyString("general", "MetricsFile", file);
  files_.digest_backlog = 4096;  // the deeper file checks are on
  std::string line;
  EXPECT_EQ(Check(std::nullopt, line), kCheckCritical) << line;  // no cycle yet
  Cycle({"AD monitorring"});
  std::ifstream metrics(file);
  const std::string text((std::istreambuf_iterator<char>(metrics)), {});
  for (const char* sample :
       {"warderon_cycles_total 1\n", "warderon_last_cycle_duration_seconds 1.5\n",
        "warderon_last_cycle_timestamp_seconds 1796774400\n",
        "warderon_module_failures_total{module=\"AD monitorring\"} 1\n",
        "warderon_files_watched 120\n", "warderon_monitor_enabled{monitor=\"files\"} 0\n",
        "# TYPE warderon_alerts_total counter\n", "warderon_resident_memory_bytes 4096\n",
        "warderon_files_digest_backlog_bytes 4096\n"}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
  }
#ifndef _WIN32
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_read, fs::perms::others_read)
      << "the exporter reads it";
#endif
  EXPECT_EQ(Check(std::nullopt, line), kCheckWarning) << line;
  EXPECT_NE(line.find("(AD monitorring)"), std::string::npos) << line;
  Cycle();
  const auto before = backend_.ListSections();
  EXPECT_EQ(Check(std::nullopt, line), kCheckOk) << line;
  EXPECT_NE(line.find("| age=0s;;180 module_failures=0"), std::string::npos) << line;
  clock_.Advance(10min);
  utc_ += 10min;
  EXPECT_EQ(Check(std::nullopt, line), kCheckCritical) << line;
  EXPECT_EQ(Check(20, line), kCheckOk) << line;
  EXPECT_EQ(backend_.ListSections(), before) << "the check writes nothing";
  backend_.SetFailing(true);
  EXPECT_EQ(Check(std::nullopt, line), kCheckUnknown) << line;
}

TEST_F(HealthReport, CheckJudgesTheAgeByClocksThatCannotBeSetBack) {
  struct TCase {
    const char* what;
    bool same_boot;
    bool boot_clock;  // the platform tells its boot
    std::chrono::seconds boot_later, utc_later, local_later;
    int code;
    const char* says;
  };
  const TCase cases[] = {
      {"the autumn change: local time an hour back, a hung watchdog", true, true, 20min, 20min,
       -40min, kCheckCritical, "ended 1200 s ago"},
      {"the wall clock stepped back; the boot clock knows it is fresh", true, true, 30s, -1h, -1h,
       kCheckOk, "ended 30 s ago"},
      {"rebooted, and the clock is now behind the record", false, true, 0s, -1h, -1h, kCheckWarning,
       "3600 s in the future by the UTC clock"},
      {"no boot clock: UTC decides, whatever local time says", true, false, 0s, 20min, -1h,
       kCheckCritical, "ended 1200 s ago"},
  };
  for (const TCase& test : cases) {
    boot_ = test.boot_clock ? std::optional<TBootTime>(TBootTime{"boot-a", 100.0}) : std::nullopt;
    const auto recorded_utc = utc_;
    Cycle();
    if (test.boot_clock) {
      boot_ = TBootTime{test.same_boot ? "boot-a" : "boot-b",
                        100.0 + static_cast<double>(test.boot_later.count())};
    }
    utc_ += test.utc_later;
    clock_.Advance(test.local_later);
    std::string line;
    EXPECT_EQ(Check(std::nullopt, line), test.code) << test.what << ": " << line;
    EXPECT_NE(line.find(test.says), std::string::npos) << test.what << ": " << line;
    utc_ = recorded_utc;
    clock_.Advance(-test.local_later);
  }
}

TEST_F(HealthReport, BacklogsShowInTheMetricsTheHeartbeatAndCheck) {
  namespace fs = std::filesystem;
  const std::string folder = ScratchPath("backlog");
  fs::create_directories(folder);
  TOutbox syslog(folder + "/outbox-syslog.dat");
  TSmtpModule::TOutboxes outboxes;
  outboxes.syslog = &syslog;
  outboxes.utc_now = [this] { return utc_; };
  alerts_.SetOutboxes(outboxes);
  // A collector that is off: the backlog stays (a working one would take it).
  store_.WritePolicyBool("general", "SyslogEnabled", false);
  store_.WritePolicyString("general", "MetricsFile", folder + "/warderon.prom");
  const std::int64_t now_ms = 1796774400000;
  const auto entry = [](std::int64_t raised) { return TOutboxEntry{0, raised, {"x"}}; };
  std::string line;

  syslog.Add({entry(now_ms - 100000)}, 1 << 20);  // waiting 100 s: within three Delays
  Cycle();
  EXPECT_EQ(Check(std::nullopt, line), kCheckOk) << line;
  syslog.Add({entry(now_ms - 50000)}, 1 << 20);
  utc_ += 100s;  // the oldest has now waited 200 s
  Cycle();
  EXPECT_EQ(Check(std::nullopt, line), kCheckWarning) << line;
  EXPECT_NE(line.find("waited in an outbox for 200 s"), std::string::npos) << line;
  EXPECT_EQ(backend_.ReadValue("Health", "OutboxSyslogEntries"), TPolicyValue::MakeInteger(2))
      << "for -status";
  std::ifstream metrics(folder + "/warderon.prom");
  const std::string text((std::istreambuf_iterator<char>(metrics)), {});
  for (const char* sample : {"warderon_outbox_entries{sink=\"syslog\"} 2\n",
                             "warderon_outbox_oldest_seconds{sink=\"syslog\"} 200\n",
                             "warderon_outbox_dropped_total{sink=\"syslog\"} 0\n"}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
  }
  const auto journal = backend_.ReadSection("Logs");
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.back().value.text,
            "outbox syslog: 1 waiting, the oldest raised 100 s ago, 0 dropped")
      << "the first cycle's heartbeat";

  syslog.Add({entry(now_ms)}, entry(0).Bytes() * 2);  // full: the oldest goes
  Cycle();
  EXPECT_EQ(Check(std::nullopt, line), kCheckCritical) << line;
  EXPECT_NE(line.find("1 alerts were dropped"), std::string::npos) << line;
  alerts_.SetOutboxes({});
}

}  // namespace
}  // namespace warderon::testing

#include "monitors/network/tcp_module.h"

#include <gtest/gtest.h>

#include <set>

#include "fakes/fake_network.h"
#include "fakes/fake_resources.h"
#include "fakes/faulty_backend.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using TLines = std::vector<std::string>;

class TcpModule : public ::testing::Test {
 protected:
  TcpModule() {
    cycle_.NewInstall = true;  // hand-written sections carry no seal
    backend_.WriteValue("general", "SocketsEnabled", TPolicyValue::MakeInteger(1));
    processes_.processes = {Process(100, "/usr/sbin/sshd"), Process(200, "/usr/sbin/nginx"),
                            Process(300, "C:\\svc.exe")};
  }
  static TFakeProcess Process(std::uint32_t pid, std::optional<std::string> path) {
    TFakeProcess process;
    process.entry.pid = pid;
    process.path = std::move(path);
    return process;
  }
  void Ignore(const std::string& pattern) {
    backend_.WriteValue("SocketsIgnore", pattern, TPolicyValue::MakeInteger(1));
  }
  void Start() { module_.Initialize(); }
  TLines RunAndTakeDetails() {
    alerts_.alerts.clear();
    module_.Run();
    if (alerts_.alerts.empty()) return {};
    EXPECT_EQ(alerts_.alerts.size(), 1U);
    EXPECT_EQ(alerts_.alerts[0].subject, "listenning TCP socket changes");
    EXPECT_EQ(alerts_.alerts[0].body, "tcp socket changes");
    EXPECT_EQ(alerts_.alerts[0].level, kAlertFinding);
    return alerts_.alerts[0].details;
  }

  TMemoryPolicyBackend memory_;
  TFaultyBackend backend_{memory_};
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeTcpTable table_;
  TFakeProcessInfo processes_;
  std::set<std::uint16_t> refusing_ports_;
  std::set<std::uint16_t> silent_ports_;  // a full accept queue
  std::vector<std::uint16_t> probes_;
  int probe_calls_ = 0;
  TTTCPModule module_{store_,
                      lists_,
                      alerts_,
                      cycle_,
                      table_,
                      processes_,
                      [this](const std::vector<std::uint16_t>& ports, auto) {
                        ++probe_calls_;
                        std::vector<TProbeResult> results;
                        for (const std::uint16_t port : ports) {
                          probes_.push_back(port);
                          results.push_back(refusing_ports_.count(port) != 0 ? TProbeResult::Refused
                                            : silent_ports_.count(port) != 0
                                                ? TProbeResult::NoAnswer
                                                : TProbeResult::Reached);
                        }
                        return results;
                      }};
};

TEST_F(TcpModule, NewListenersAreReportedOnceAndGoneOnesBeforeThem) {
  Start();
  table_.rows = {TFakeTcpTable::Listener(22, 100), TFakeTcpTable::Listener(80, 200)};
  EXPECT_EQ(RunAndTakeDetails(),
            (TLines{"  New socket @ /usr/sbin/nginx:80", "  New socket @ /usr/sbin/sshd:22"}));
  EXPECT_EQ(memory_.ReadValue("Sockets", "/usr/sbin/sshd:22"), TPolicyValue::MakeInteger(1));
  EXPECT_TRUE(RunAndTakeDetails().empty());

  // sshd went away, a service came: one alert, the missing line first.
  table_.rows = {TFakeTcpTable::Listener(80, 200), TFakeTcpTable::Listener(8080, 300)};
  EXPECT_EQ(RunAndTakeDetails(),
            (TLines{"  Missing socket @ /usr/sbin/sshd:22", "  New socket @ C:\\svc.exe:8080"}));
  EXPECT_FALSE(memory_.ReadValue("Sockets", "/usr/sbin/sshd:22").has_value());

  // The baseline survives a restart: nothing is new to a fresh module.
  TTTCPModule restarted(store_, lists_, alerts_, cycle_, table_, processes_,
                        [](const std::vector<std::uint16_t>& ports, auto) {
                          return std::vector<TProbeResult>(ports.size(), TProbeResult::Reached);
                        });
  restarted.Initialize();
  alerts_.alerts.clear();
  restarted.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_F(TcpModule, OneKeyPerOwnerAndPortWhateverTheLocalAddresses) {
  Start();
  table_.rows = {TFakeTcpTable::Listener(22, 100), TFakeTcpTable::Listener(22, 100)};
  EXPECT_EQ(RunAndTakeDetails(), (TLines{"  New socket @ /usr/sbin/sshd:22"}));
  EXPECT_TRUE(RunAndTakeDetails().empty());
}

TEST_F(TcpModule, IgnorePatternsSkipKeysOwnersAndPorts) {
  Ignore("*:53");               // any owner on this port
  Ignore("/usr/sbin/nginx:*");  // every port of this owner
  Ignore("C:\\SVC.EXE:8080");   // one key, letter case ignored
  Start();
  table_.rows = {TFakeTcpTable::Listener(53, 100),   TFakeTcpTable::Listener(53, 200),
                 TFakeTcpTable::Listener(80, 200),   TFakeTcpTable::Listener(443, 200),
                 TFakeTcpTable::Listener(8080, 300), TFakeTcpTable::Listener(8081, 300)};
  EXPECT_EQ(RunAndTakeDetails(), (TLines{"  New socket @ C:\\svc.exe:8081"}));
  // Ignored owners are not even probed.
  EXPECT_EQ(probes_, (std::vector<std::uint16_t>{8081}));
}

TEST_F(TcpModule, AListenerThatRefusesLoopbackIsTriedAgainUntilItAccepts) {
  Start();
  refusing_ports_ = {9000};
  table_.rows = {TFakeTcpTable::Listener(9000, 200)};
  EXPECT_TRUE(RunAndTakeDetails().empty());
  EXPECT_TRUE(RunAndTakeDetails().empty());
  EXPECT_EQ(probes_.size(), 2U);
  refusing_ports_.clear();
  EXPECT_EQ(RunAndTakeDetails(), (TLines{"  New socket @ /usr/sbin/nginx:9000"}));
}

// New listeners are probed together, once a run; one that never accepts
// is reported when its own address is loopback or any, and a known one
// whose owner is not found in one scan is neither missing nor new.
TEST_F(TcpModule, ListenersAreProbedTogetherAndAnOwnerLostForOneScanIsNoNews) {
  Start();
  silent_ports_ = {7001, 7002, 7003};
  table_.rows = {TFakeTcpTable::Listener(7001, 200), TFakeTcpTable::Listener(7002, 200),
                 TFakeTcpTable::Listener(7003, 200)};
  table_.rows[1].local_address = "127.0.0.1";
  table_.rows[2].local_address = "10.0.0.9";  // not ours to reach: asked again next run
  EXPECT_EQ(RunAndTakeDetails(),
            (TLines{"  New socket @ /usr/sbin/nginx:7001", "  New socket @ /usr/sbin/nginx:7002"}));
  EXPECT_EQ(probe_calls_, 1);

  table_.rows = {TFakeTcpTable::Listener(7001, 999), TFakeTcpTable::Listener(7002, 200)};
  table_.rows[0].owner_pid = std::nullopt;  // handed over between two processes
  EXPECT_TRUE(RunAndTakeDetails().empty());
  table_.rows[0].owner_pid = 200;
  EXPECT_TRUE(RunAndTakeDetails().empty());
}

TEST_F(TcpModule, ClientsOfTheSharingPortsOnlyWithTheSettingAndNeverFromLoopback) {
  Start();
  table_.rows = {TFakeTcpTable::Listener(445, 4), TFakeTcpTable::Client(445, "10.0.0.7"),
                 TFakeTcpTable::Client(445, "10.0.0.7"), TFakeTcpTable::Client(139, "127.0.0.1"),
                 TFakeTcpTable::Client(22, "10.0.0.8")};
  processes_.processes.push_back(Process(4, "System"));
  EXPECT_EQ(RunAndTakeDetails(), (TLines{"  New socket @ System:445"}));
  EXPECT_EQ(table_.requests.back(), TTcpRows::Listeners);

  backend_.WriteValue("general", "SharesListClients", TPolicyValue::MakeInteger(1));
  EXPECT_EQ(RunAndTakeDetails(), (TLines{"  New socket @ NET-10.0.0.7:445"}));
  EXPECT_EQ(table_.requests.back(), TTcpRows::All);
  // Clients are not probed: they are not listening.
  EXPECT_EQ(probes_, (std::vector<std::uint16_t>{445}));
}

TEST_F(TcpModule, OwnersComeFromTheSnapshotThenFromAnExeModuleWithoutDeviceMarker) {
  processes_.processes = {Process(10, "C:\\first.exe"), Process(11, std::nullopt),
                          Process(12, std::nullopt)};
  processes_.snapshot_refused = {11, 12};
  processes_.modules[11] = {"\\??\\C:\\Windows\\lib.dll", "\\??\\C:\\Windows\\prog.EXE"};
  processes_.modules[12] = {"C:\\lib.dll"};
  EXPECT_EQ(module_.ResolveOwnerName(10), "C:\\first.exe");
  EXPECT_EQ(module_.ResolveOwnerName(11), "C:\\Windows\\prog.EXE");
  EXPECT_EQ(module_.ResolveOwnerName(12), "unknown");
  EXPECT_EQ(module_.ResolveOwnerName(99), "unknown");  // gone

  Start();
  TTcpRow without_owner = TFakeTcpTable::Listener(25, 0);
  without_owner.owner_pid.reset();  // the plain table names no process
  table_.rows = {without_owner};
  EXPECT_EQ(RunAndTakeDetails(), (TLines{"  New socket @ unknown:25"}));
}

TEST_F(TcpModule, ShortKeysArePaddedToFiveCharacters) {
  EXPECT_EQ(PadKey("a:1"), "  a:1");
  EXPECT_EQ(PadKey("ab:1"), " ab:1");
  EXPECT_EQ(PadKey("ab:12"), "ab:12");
}

TEST_F(TcpModule, QuietRunsWriteNothingUnlessAGeneralUpdateAsks) {
  Start();
  table_.rows = {TFakeTcpTable::Listener(22, 100)};
  RunAndTakeDetails();
  backend_.rewritten_sections.clear();
  RunAndTakeDetails();
  EXPECT_TRUE(backend_.rewritten_sections.empty());
  cycle_.GeneralUpdateRequested = true;
  RunAndTakeDetails();
  EXPECT_EQ(backend_.rewritten_sections, (std::vector<std::string>{"Sockets"}));
}

TEST_F(TcpModule, AnUnreadableTableFailsTheRunAndForgetsNothing) {
  Start();
  table_.rows = {TFakeTcpTable::Listener(22, 100)};
  RunAndTakeDetails();
  table_.fail = true;
  EXPECT_THROW(module_.Run(), TTcpTableError);
  table_.fail = false;
  EXPECT_TRUE(RunAndTakeDetails().empty());
  EXPECT_TRUE(cycle_.ActivityText.empty());
}

TEST_F(TcpModule, WithoutATableCallTheMonitorSaysSoOnceAndStaysIdle) {
  table_.available = false;
  Start();
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].level, kAlertMonitorFailure);
  EXPECT_EQ(alerts_.alerts[0].subject, "TCP monitor could not start");
  EXPECT_EQ(alerts_.alerts[0].body, "Old version of windows, does not support TCP monitor");
  table_.rows = {TFakeTcpTable::Listener(22, 100)};
  EXPECT_TRUE(RunAndTakeDetails().empty());
  EXPECT_TRUE(table_.requests.empty());
}

TEST_F(TcpModule, DisabledMonitorReadsNoTable) {
  backend_.WriteValue("general", "SocketsEnabled", TPolicyValue::MakeInteger(0));
  Start();
  module_.Run();
  EXPECT_TRUE(table_.requests.empty());
}

}  // namespace
}  // namespace warderon::testing

// The share monitor against a real Samba server: a private smbd in a network
// namespace of the test's own, one share, and a real client (smbclient)
// that connects from 127.0.0.2, then leaves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fakes/background_process.h"
#include "fakes/recording_alerts.h"
#include "fakes/test_backends.h"
#include "monitors/network/net_enum.h"
#include "platform/net/samba_share_list.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

bool Succeeds(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A tool that hangs or prints without end is stopped within its bounds,
// with what it started, and the list is left alone for the cycle.
TEST(SambaShareList, AToolThatHangsOrFloodsIsStoppedAndGivesNoList) {
  const std::string folder = ScratchPath("samba-tools");
  std::filesystem::create_directories(folder);
  const auto tool = [&](const std::string& name, const std::string& body) {
    const std::string path = folder + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  };
  const std::string testparm = tool("testparm", "printf '[data]\\n[homes]\\n'");
  const std::string good =
      tool("good",
           "echo '{\"sessions\": {\"1\": {\"session_id\": \"1\", \"username\": \"jane\", "
           "\"remote_machine\": \"ws7\"}}, \"tcons\": {\"a\": {\"session_id\": \"1\", "
           "\"service\": \"jane\"}, \"b\": {\"session_id\": \"1\", \"service\": \"IPC$\"}}}'");
  const std::string marker = folder + "/child.pid";
  struct TCase {
    std::string what;
    std::string smbstatus;
  };
  const TCase cases[] = {
      {"hangs", tool("hangs", "sleep 30 & echo $! >" + marker + "; sleep 30")},
      {"floods", tool("floods", "yes")},
  };
  TSambaTools tools{testparm, good, ""};
  tools.output_bound = 1 << 20;
  // The bounds leave good tools alone; a home share's connection counts
  // for [homes], and IPC$ is a share as on Windows.
  const auto good_list = MakeSambaShareList(tools);
  EXPECT_EQ(good_list->Shares(), (std::vector<std::string>{"data", "homes", "IPC$"}));
  for (const char* share : {"homes", "IPC$"}) {
    const auto clients = good_list->Connections(share);
    ASSERT_TRUE(clients.has_value() && clients->size() == 1U) << share;
    EXPECT_EQ(clients->at(0).user + "@" + clients->at(0).client, "jane@ws7");
  }
  EXPECT_TRUE(good_list->Connections("data").value_or(std::vector<TShareConnection>(1)).empty());
  tools.time_bound = std::chrono::seconds(1);
  for (const TCase& test : cases) {
    tools.smbstatus = test.smbstatus;
    const auto list = MakeSambaShareList(tools);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(list->Shares().has_value()) << test.what;
    EXPECT_FALSE(list->Connections("data").has_value()) << test.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << test.what;
  }
  // The hanging tool's own child was stopped too (gone, or a zombie).
  std::string pid;
  std::ifstream(marker) >> pid;
  std::string state;
  std::ifstream("/proc/" + pid + "/stat") >> state >> state >> state;
  EXPECT_TRUE(state.empty() || state == "Z") << "pid " << pid << " is " << state;
}

TEST(SambaShareList, WithoutSambaThereIsNoShareAndABrokenConfigurationGivesNoList) {
  EXPECT_EQ(MakeSambaShareList({"/nonexistent/testparm", "/nonexistent/smbstatus", ""})->Shares(),
            std::vector<std::string>{});
  if (!Succeeds("command -v testparm")) GTEST_SKIP() << "Samba's tools are not installed";
  EXPECT_FALSE(
      MakeSambaShareList({"testparm", "smbstatus", "/nonexistent/smb.conf"})->Shares().has_value());
}

TEST(SambaShareList, AClientThatComesAndGoesIsReportedByTheShareMonitor) {
  if (geteuid() != 0 || !Succeeds("command -v smbclient") || access("/usr/sbin/smbd", X_OK) != 0) {
    GTEST_SKIP() << "needs root, smbd and smbclient for a private Samba server";
  }
  const std::string folder = ScratchPath("samba");
  std::filesystem::create_directories(folder);
  const std::string config = folder + "/smb.conf";
  TBackgroundProcess server("exec timeout 300 unshare --net sh '" WARDERON_TEST_PEERS
                            "/samba_server.sh' '" +
                            folder + "' >'" + folder + "/server.log' 2>&1");
  // Everything that talks to the server runs in its network namespace.
  const std::string in_namespace =
      "nsenter --net=/proc/$(cat '" + folder + "/server.pid' 2>/dev/null)/ns/net ";
  const std::string smbclient = "smbclient -s '" + config + "' -p 4450 -U root%pw ";
  ASSERT_TRUE(WaitUntil([&] { return Succeeds(in_namespace + smbclient + "-L 127.0.0.1"); }, 30))
      << "the private Samba server did not answer";

  TMemoryPolicyBackend backend;
  backend.WriteValue("general", "SharesEnabled", TPolicyValue::MakeInteger(1));
  TPolicyStore store(backend);
  TRecordingAlerts alerts;
  TCycleState cycle;
  cycle.NewInstall = true;
  TBaselineLists lists(store, alerts, cycle);
  const auto shares = MakeSambaShareList({"testparm", "smbstatus", config});
  TNetEnum monitor(store, lists, alerts, *shares);
  monitor.Initialize();
  const std::string key = monitor.ClientKey({"root", "127.0.0.2"});
  ASSERT_EQ(key.rfind("root@", 0), 0U) << key;
  auto connected = [&] {
    const auto now = shares->Shares();
    const auto clients = shares->Connections("files");
    return now.has_value() && clients.has_value() && !clients->empty();
  };

  {
    TBackgroundProcess client("(echo ls; sleep 300) | " + in_namespace + smbclient +
                              "//127.0.0.1/files >/dev/null 2>&1");
    ASSERT_TRUE(WaitUntil(connected, 30)) << "the client did not connect";
    EXPECT_EQ(shares->Shares(), (std::vector<std::string>{"files", "IPC$"}));
    monitor.Run();
    ASSERT_GE(alerts.alerts.size(), 1U);
    EXPECT_EQ(alerts.alerts[0].subject, "Share: files added");
    EXPECT_EQ(alerts.alerts[0].details, std::vector<std::string>{key});
  }

  alerts.alerts.clear();
  ASSERT_TRUE(WaitUntil([&] { return !connected(); }, 30)) << "the client did not leave";
  monitor.Run();
  ASSERT_GE(alerts.alerts.size(), 1U);
  EXPECT_EQ(alerts.alerts[0].subject, "Share: files changed");
  EXPECT_EQ(alerts.alerts[0].details, std::vector<std::string>{"  lost connection to " + key});
}

}  // namespace
}  // namespace warderon::testing

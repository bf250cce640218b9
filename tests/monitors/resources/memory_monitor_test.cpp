#include "monitors/resources/memory_monitor.h"

#include <gtest/gtest.h>

#include "fakes/fake_resources.h"
#include "fakes/recording_alerts.h"
#include "monitors/resources/process_dump.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

class MemoryMonitor : public ::testing::Test {
 protected:
  MemoryMonitor() {
    processes_.processes = {
        {{40, "svchost.exe"},
         "C:\\Windows\\system32\\svchost.exe",
         TProcessOwner{"NT AUTHORITY", "SYSTEM"},
         TProcessMemory{10240, 4096}},
        {{7, "ghost.exe"}, std::nullopt, std::nullopt, std::nullopt},  // ended before the queries
        {{12, "explorer.exe"},
         "C:\\Windows\\explorer.exe",
         TProcessOwner{"WS042", "Jane Doe"},
         TProcessMemory{2048000, 1024000}},
    };
    monitor_.Initialize();
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TFakeMemoryStatus memory_;
  TFakeProcessInfo processes_;
  TMemoryMonitor monitor_{store_, alerts_, cycle_, memory_, processes_};
};

TEST_F(MemoryMonitor, DumpFormatsSortsAndSubstitutesUnknown) {
  const std::vector<std::string> dump = BuildProcessDump(processes_);
  ASSERT_EQ(dump.size(), 4U);
  EXPECT_EQ(dump[0],
            std::string("user                      size        vm exe") + std::string(56, ' '));
  EXPECT_EQ(dump[1],
            "             unknown   unknown   unknown ghost.exe                             ");
  // Sorted by the whole line, so the right-aligned user column's padding counts.
  EXPECT_EQ(dump[2],
            "       WS042\\JaneDoe      2000      1000 C:\\Windows\\explorer.exe               ");
  EXPECT_EQ(dump[3],
            "  NTAUTHORITY\\SYSTEM        10         4 C:\\Windows\\system32\\svchost.exe       ");
  processes_.listable = false;
  EXPECT_EQ(BuildProcessDump(processes_).size(), 1U) << "only the header when no snapshot";
}

TEST_F(MemoryMonitor, GlobalCheckWarnsAndRecoversOnceEachWithTheDump) {
  store_.WritePolicyBool("general", "MemGlobalEnabled", true);
  store_.WritePolicyInteger("general", "MemGlobalWarn", 85);
  for (const int load : {80, 85, 90, 84, 70}) {
    memory_.load = load;
    monitor_.Run();
  }
  ASSERT_EQ(alerts_.alerts.size(), 2U);
  EXPECT_EQ(alerts_.alerts[0].subject, "global memory warning");
  EXPECT_EQ(alerts_.alerts[0].body, "global memory is now 85 which is >= 85");
  EXPECT_EQ(alerts_.alerts[1].subject, "global memory recoverred");
  EXPECT_EQ(alerts_.alerts[1].body, "global memory is now 84 which is < 85");
  for (const auto& alert : alerts_.alerts) {
    ASSERT_EQ(alert.details.size(), 4U);
    EXPECT_TRUE(alert.details[0].starts_with("user "));
  }
  EXPECT_EQ(backend_.ReadValue("general", "MemGlobalNow"), TPolicyValue::MakeInteger(70));
  EXPECT_TRUE(cycle_.ActivityText.empty());
}

TEST_F(MemoryMonitor, WithNoThresholdTheFirstCheckWarnsOnceForTheProcessLife) {
  store_.WritePolicyBool("general", "MemGlobalEnabled", true);
  monitor_.Run();
  monitor_.Run();
  EXPECT_EQ(alerts_.Subjects(), (std::vector<std::string>{"global memory warning"}));
  EXPECT_EQ(backend_.ReadValue("general", "MemGlobalWarn"), TPolicyValue::MakeInteger(0));
  EXPECT_FALSE(backend_.ReadValue("general", "MemLocalNow").has_value());
}

TEST_F(MemoryMonitor, LocalCheckReportsKibWithoutDetails) {
  store_.WritePolicyBool("general", "MemLocalEnabled", true);
  store_.WritePolicyInteger("general", "MemLocalWarn", 3000);
  memory_.heap_bytes = 3000 * 1024 + 1023;
  monitor_.Run();
  memory_.heap_bytes = 2999 * 1024;
  monitor_.Run();
  ASSERT_EQ(alerts_.alerts.size(), 2U);
  EXPECT_EQ(alerts_.alerts[0].subject, "local memory warning");
  EXPECT_EQ(alerts_.alerts[0].body, "local memory is now 3000 which is >= 3000");
  EXPECT_EQ(alerts_.alerts[1].subject, "local memory recoverred");
  EXPECT_EQ(alerts_.alerts[1].body, "local memory is now 2999 which is < 3000");
  EXPECT_TRUE(alerts_.alerts[0].details.empty());
  EXPECT_EQ(backend_.ReadValue("general", "MemLocalNow"), TPolicyValue::MakeInteger(2999));
}

}  // namespace
}  // namespace warderon::testing

#include "monitors/tamper/hacking_module.h"

#include <gtest/gtest.h>

#include "fakes/fake_tamper.h"
#include "fakes/recording_alerts.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

using TLines = std::vector<std::string>;

class HackingModule : public ::testing::Test {
 protected:
  HackingModule() {
    cycle_.NewInstall = true;
    backend_.WriteValue("general", "HackingEnabled", TPolicyValue::MakeInteger(1));
  }
  // One cycle; the detail lines of its alert, if any.
  TLines Cycle() {
    alerts_.alerts.clear();
    module_.Run();
    if (alerts_.alerts.empty()) return {};
    EXPECT_EQ(alerts_.alerts.size(), 1U);
    EXPECT_EQ(alerts_.alerts[0].subject, "hacking concerns");
    EXPECT_EQ(alerts_.alerts[0].body, "hacking concerns");
    return alerts_.alerts[0].details;
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  TFakeAutostartSource source_;
  THackingModule module_{store_, lists_, alerts_, cycle_, source_};
};

TEST_F(HackingModule, FirstRunReportsEveryValueThenTheNextIsSilent) {
  source_.entries["Run"] = {"Zeta=c:\\z.exe", "Alpha=c:\\a.exe"};
  source_.entries["Shell"] = {"Shell=Explorer.exe"};
  module_.Initialize();
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "Registry Key: Run", "  - added: Zeta=c:\\z.exe",
                             "  - added: Alpha=c:\\a.exe", "", "Registry Key: Shell",
                             "  - added: Shell=Explorer.exe", ""}));
  EXPECT_EQ(backend_.ReadValue("Hacking\\Run", "Alpha"), TPolicyValue::MakeText("c:\\a.exe"));
  EXPECT_TRUE(Cycle().empty());
  // The baseline survives a restart.
  THackingModule restarted(store_, lists_, alerts_, cycle_, source_);
  restarted.Initialize();
  alerts_.alerts.clear();
  restarted.Run();
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_F(HackingModule, ChangesAreRemovalsThenAdditionsAndLetterCaseAloneIsSilent) {
  source_.entries["Run"] = {"Updater=c:\\temp\\upd.exe"};
  source_.entries["Shell"] = {"Shell=Explorer.exe"};
  module_.Initialize();
  Cycle();
  source_.entries["Run"] = {"UPDATER=C:\\TEMP\\UPD.EXE", "Tool=c:\\t.exe"};
  source_.entries["Shell"] = {"Shell=Explorer.exe c:\\temp\\x.exe"};
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "Registry Key: Run", "  - added: Tool=c:\\t.exe",
                             "", "  Registry Key: Shell", "  - removed: Shell=Explorer.exe",
                             "  - added: Shell=Explorer.exe c:\\temp\\x.exe", ""}));
  EXPECT_FALSE(backend_.ReadValue("Hacking\\Shell", "Shell") ==
               TPolicyValue::MakeText("Explorer.exe"));
}

TEST_F(HackingModule, AStringTurnedNumberAndAVanishedKeyAreReported) {
  source_.entries["Run"] = {"Agent=c:\\agent.exe", "Other=c:\\o.exe"};
  module_.Initialize();
  Cycle();
  source_.entries["Run"] = {"Agent=N/A", "Other=c:\\o.exe"};
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "  Registry Key: Run",
                             "  - removed: Agent=c:\\agent.exe", "  - added: Agent=N/A", ""}));
  source_.entries["Run"] = {};  // the key cannot be opened any more
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "  Registry Key: Run",
                             "  - removed: Other=c:\\o.exe", "  - removed: Agent=N/A", ""}));
  EXPECT_TRUE(Cycle().empty());
}

TEST_F(HackingModule, DisabledReadsNothingAndTheActivityIsCleared) {
  backend_.WriteValue("general", "HackingEnabled", TPolicyValue::MakeInteger(0));
  source_.entries["Run"] = {"Agent=c:\\agent.exe"};
  module_.Initialize();
  EXPECT_TRUE(Cycle().empty());
  EXPECT_EQ(source_.reads, 0);
  backend_.WriteValue("general", "HackingEnabled", TPolicyValue::MakeInteger(1));
  Cycle();
  EXPECT_TRUE(cycle_.ActivityText.empty());
}

}  // namespace
}  // namespace warderon::testing

#include "policy/policy_store.h"

#include <gtest/gtest.h>

#include "platform/store/memory_policy_backend.h"

namespace warderon {
namespace {

class PolicyStore : public ::testing::Test {
 protected:
  std::optional<TPolicyValue> Stored(const std::string& section, const std::string& name) {
    return backend_.ReadValue(section, name);
  }
  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
};

TEST_F(PolicyStore, AbsentSettingsAreWrittenBackWithTheirDefault) {
  EXPECT_EQ(store_.ReadPolicyInteger("general", "Delay", 1), 1);
  EXPECT_EQ(Stored("general", "Delay"), TPolicyValue::MakeInteger(1));
  EXPECT_FALSE(store_.ReadPolicyBool("general", "FilesEnabled", false));
  EXPECT_EQ(Stored("general", "FilesEnabled"), TPolicyValue::MakeInteger(0));
  EXPECT_EQ(store_.ReadPolicyString("general", "Email", "ops@site"), "ops@site");
  EXPECT_EQ(Stored("general", "Email"), TPolicyValue::MakeText("ops@site"));
  EXPECT_DOUBLE_EQ(store_.ReadPolicyFloat("general", "When", 0.5), 0.5);
  EXPECT_EQ(Stored("general", "When"),
            TPolicyValue::MakeBinary({0, 0, 0, 0, 0, 0, 0xe0, 0x3f}));  // 0.5, little-endian
}

TEST_F(PolicyStore, ValuesOfAnotherTypeGiveTheDefaultAndStayAsTheyAre) {
  backend_.WriteValue("general", "Delay", TPolicyValue::MakeText("5"));
  backend_.WriteValue("general", "Email", TPolicyValue::MakeInteger(3));
  EXPECT_EQ(store_.ReadPolicyInteger("general", "Delay", 1), 1);
  EXPECT_EQ(store_.ReadPolicyString("general", "Email", "x"), "x");
  EXPECT_EQ(Stored("general", "Delay"), TPolicyValue::MakeText("5"));
  EXPECT_EQ(Stored("general", "Email"), TPolicyValue::MakeInteger(3));
}

TEST_F(PolicyStore, ReadsTheStoredValues) {
  backend_.WriteValue("general", "Beep", TPolicyValue::MakeInteger(2));
  backend_.WriteValue("general", "Path", TPolicyValue::MakeExpandText("%TEMP%\\x"));
  EXPECT_TRUE(store_.ReadPolicyBool("general", "Beep", false));  // any value but 0 is true
  EXPECT_EQ(store_.ReadPolicyString("general", "Path", ""), "%TEMP%\\x");  // not expanded
  store_.WritePolicyFloat("general", "LastRun", 46364.25);
  EXPECT_DOUBLE_EQ(store_.ReadPolicyFloat("general", "LastRun", 0), 46364.25);
}

TEST_F(PolicyStore, FloatValuesOfAnotherTypeOrSizeGiveTheDefaultReportedOnce) {
  backend_.WriteValue("general", "Short", TPolicyValue::MakeBinary({1, 2, 3, 4}));
  backend_.WriteValue("general", "ScriptWhen", TPolicyValue::MakeText("0.5"));
  for (int cycle = 0; cycle < 2; ++cycle) {
    EXPECT_DOUBLE_EQ(store_.ReadPolicyFloat("general", "Short", 0.25), 0.25);
    EXPECT_DOUBLE_EQ(store_.ReadPolicyFloat("general", "ScriptWhen", 0), 0);
  }
  const auto reports = store_.TakeSettingReports();
  ASSERT_EQ(reports.size(), 2U);
  EXPECT_EQ(reports[1].subject, "setting of the wrong type");
  EXPECT_NE(reports[1].text.find("\"ScriptWhen\" of section \"general\""), std::string::npos)
      << reports[1].text;
  EXPECT_EQ(Stored("general", "ScriptWhen"), TPolicyValue::MakeText("0.5")) << "never repaired";
}

TEST_F(PolicyStore, WritesReplaceValuesOfAnyType) {
  backend_.WriteValue("s", "v", TPolicyValue::MakeText("old"));
  store_.WritePolicyInteger("s", "v", 7);
  EXPECT_EQ(Stored("s", "v"), TPolicyValue::MakeInteger(7));
  store_.WritePolicyString("s", "v", "new");
  EXPECT_EQ(Stored("s", "v"), TPolicyValue::MakeText("new"));
  store_.WritePolicyString("s", "", "seal");
  EXPECT_EQ(Stored("s", ""), TPolicyValue::MakeText("seal"));
  store_.WritePolicyBool("s", "flag", true);
  EXPECT_EQ(Stored("s", "flag"), TPolicyValue::MakeInteger(1));
}

TEST_F(PolicyStore, ValueTypesAndSectionSideEffects) {
  EXPECT_EQ(store_.GetPolicyValueType("fresh", "missing"), TPolicyValueType::Unknown);
  EXPECT_TRUE(backend_.SectionExists("fresh"));
  backend_.WriteValue("fresh", "e", TPolicyValue::MakeExpandText("x"));
  EXPECT_EQ(store_.GetPolicyValueType("fresh", "e"), TPolicyValueType::ExpandText);
  store_.DeletePolicySection("never-there");
  EXPECT_FALSE(backend_.SectionExists("never-there"));
}

TEST_F(PolicyStore, FailuresFollowEachOperationsRule) {
  backend_.SetFailing(true);
  // Settings reads never fail and text writes are best effort.
  EXPECT_EQ(store_.ReadPolicyInteger("general", "Delay", 4), 4);
  EXPECT_TRUE(store_.ReadPolicyBool("general", "X", true));
  EXPECT_EQ(store_.GetPolicyValueType("general", "X"), TPolicyValueType::Unknown);
  EXPECT_NO_THROW(store_.WritePolicyString("Logs", "1", "entry"));
  // A section that cannot be opened: reads give their fallback, writes do nothing.
  EXPECT_EQ(store_.ReadPolicyString("general", "Email", "x"), "");
  EXPECT_DOUBLE_EQ(store_.ReadPolicyFloat("general", "LastRun", 2.5), 2.5);
  EXPECT_NO_THROW(store_.WritePolicyInteger("general", "version", 1));
  // Deleting a section reports its failure.
  EXPECT_THROW(store_.DeletePolicySection("Logs"), TPolicyError);
}

}  // namespace
}  // namespace warderon

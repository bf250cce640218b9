#include "policy/baseline_lists.h"

#include <gtest/gtest.h>

#include "fakes/recording_alerts.h"
#include "fakes/test_backends.h"
#include "platform/crypto/md5.h"
#include "policy/baseline_checksum.h"

namespace warderon::testing {
namespace {

// The checksum worked out by hand: "1" and digits 2 to 11 of the MD5 of the
// salt text followed by the given text.
std::string ExpectedChecksum(const std::string& tail) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const auto byte : Md5(std::to_string(ChecksumSalt) + tail)) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return "1" + hex.substr(1, 10);
}

// A skip must stand in the test body itself to end the test.
#define REQUIRE_CREATION_ORDER() \
  if (!GetParam().keeps_creation_order) GTEST_SKIP() << "Wine's registry sorts value names"

class BaselineLists : public ::testing::TestWithParam<TBackendKind> {
 protected:
  void SetUp() override {
    backend_ = GetParam().make();
    store_ = std::make_unique<TPolicyStore>(*backend_);
    lists_ = std::make_unique<TBaselineLists>(*store_, alerts_, cycle_);
  }
  std::vector<std::string> Load(const std::string& section, bool sorted) {
    TStringList list(sorted);
    lists_->LoadBaselineList(section, list);
    return list.Texts();
  }
  void Save(const std::string& section, const std::vector<std::string>& entries) {
    TStringList list;
    list.Assign(entries);
    lists_->SaveBaselineList(section, list);
  }

  std::unique_ptr<TPolicyBackend> backend_;
  std::unique_ptr<TPolicyStore> store_;
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  std::unique_ptr<TBaselineLists> lists_;
};

TEST_P(BaselineLists, SavesTheDemoSectionWithItsChecksum) {
  Save("demo", {"b=2", "a"});
  EXPECT_EQ(backend_->ReadValue("demo", "b"), TPolicyValue::MakeText("2"));
  EXPECT_EQ(backend_->ReadValue("demo", "a"), TPolicyValue::MakeInteger(1));
  EXPECT_EQ(backend_->ReadValue("demo", ""),
            TPolicyValue::MakeText(ExpectedChecksum("DEMOb=2a=1")));
  EXPECT_EQ(ExpectedChecksum("DEMOb=2a=1").size(), 11U);
}

TEST_P(BaselineLists, UnsortedLoadOfTheDemoSectionVerifies) {
  REQUIRE_CREATION_ORDER();
  Save("demo", {"b=2", "a"});
  EXPECT_EQ(Load("demo", false), (std::vector<std::string>{"b", "a"}));
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_P(BaselineLists, SortedLoadOfAnUnsortedSaveFailsAndReseals) {
  REQUIRE_CREATION_ORDER();
  Save("demo", {"b=2", "a"});
  EXPECT_EQ(Load("demo", true), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].level, kAlertIntegrity);
  EXPECT_EQ(alerts_.alerts[0].subject, "checksum failed for demo");
  EXPECT_EQ(alerts_.alerts[0].body,
            "checksum failed for demo\r\nsuspect data, or data from an earlier version");
  Load("demo", true);  // resealed in sorted order: quiet now
  EXPECT_EQ(alerts_.alerts.size(), 1U);
}

TEST_P(BaselineLists, SortedSaveAndLoadRoundTrip) {
  TStringList list(true);
  for (const char* entry : {"zeta=1", "Alpha", "mid=x=y"}) list.Add(entry);
  lists_->SaveBaselineList("Sorted", list);
  TStringList values(true);
  lists_->LoadBaselineValues("Sorted", values);
  EXPECT_EQ(values.Texts(), (std::vector<std::string>{"Alpha=1", "mid=x=y", "zeta=1"}));
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_P(BaselineLists, TamperingIsReportedOnceThenResealed) {
  Save("Services", {"svc=1"});
  backend_->WriteValue("Services", "added-by-hand", TPolicyValue::MakeInteger(1));
  Load("Services", true);
  Load("Services", true);
  backend_->DeleteValue("Services", "");
  Load("Services", true);
  Load("Services", true);
  backend_->WriteValue("Services", "", TPolicyValue::MakeInteger(5));  // not text
  Load("Services", true);
  EXPECT_EQ(alerts_.Subjects(), (std::vector<std::string>{"checksum failed for Services",
                                                          "missing checksum for Services",
                                                          "checksum failed for Services"}));
  EXPECT_EQ(store_->GetPolicyValueType("Services", ""), TPolicyValueType::Text);
}

TEST_P(BaselineLists, EmptyAndSealOnlySections) {
  EXPECT_TRUE(Load("absent", false).empty());
  EXPECT_FALSE(backend_->ReadValue("absent", "").has_value());  // nothing written
  Save("sealonly", {});
  EXPECT_EQ(backend_->ReadValue("sealonly", ""),
            TPolicyValue::MakeText(ExpectedChecksum("SEALONLY")));
  EXPECT_TRUE(Load("sealonly", false).empty());
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_P(BaselineLists, AnEmptyEntryIsSkippedBySaveAndLeftOutOfTheChecksum) {
  REQUIRE_CREATION_ORDER();
  Save("gaps", {"a=1", "", "b"});
  EXPECT_EQ(backend_->ReadValue("gaps", ""),
            TPolicyValue::MakeText(ExpectedChecksum("GAPSa=1b=1")));
  EXPECT_EQ(backend_->ReadSection("gaps").size(), 3U) << "a, b and the seal";
  EXPECT_EQ(Load("gaps", false), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_P(BaselineLists, NewInstallResealsQuietly) {
  backend_->WriteValue("old", "x", TPolicyValue::MakeText("1"));
  cycle_.NewInstall = true;
  Load("old", false);
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_EQ(backend_->ReadValue("old", ""), TPolicyValue::MakeText(ExpectedChecksum("OLDx=1")));
}

TEST_P(BaselineLists, EntriesThatCannotSurviveASaveAreReportedNextLoad) {
  Save("odd", {"", "=lost", "dup=1", "DUP=2"});
  EXPECT_FALSE(backend_->ReadValue("odd", "lost").has_value());
  Load("odd", false);
  EXPECT_EQ(alerts_.Subjects(), (std::vector<std::string>{"checksum failed for odd"}));
}

TEST_P(BaselineLists, ChecksumCountsIntegersInDecimalAndOtherTypesAsEmpty) {
  REQUIRE_CREATION_ORDER();
  backend_->WriteValue("mixed", "n", TPolicyValue::MakeInteger(-42));
  backend_->WriteValue("mixed", "e", TPolicyValue::MakeExpandText("ignored"));
  backend_->WriteValue("mixed", "", TPolicyValue::MakeText(ExpectedChecksum("MIXEDn=-42e=")));
  TStringList values;
  lists_->LoadBaselineValues("mixed", values);
  EXPECT_EQ(values.Texts(), (std::vector<std::string>{"n=-42", "e="}));
  EXPECT_TRUE(alerts_.alerts.empty());
}

TEST_P(BaselineLists, AFailedSaveLeavesTheOldBaseline) {
  if (GetParam().name == "Registry") GTEST_SKIP() << "the registry has no transactions";
  Save("keep", {"a=1"});
  EXPECT_THROW(backend_->RunAtomically([&] {
    Save("keep", {"b=2"});
    throw TPolicyError("power failure");
  }),
               TPolicyError);
  EXPECT_EQ(Load("keep", false), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(alerts_.alerts.empty());
}

INSTANTIATE_TEST_SUITE_P(AllBackends, BaselineLists, ::testing::ValuesIn(AllBackendKinds()),
                         TBackendKindName());

}  // namespace
}  // namespace warderon::testing

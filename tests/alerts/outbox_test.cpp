// The durable outbox on real files: what survives a reload, a torn append,
// damage, and the bounds.
#include "alerts/outbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes/test_backends.h"

namespace warderon::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kRoomy = 1 << 20;

std::vector<TOutboxEntry> Entries(int first, int count) {
  std::vector<TOutboxEntry> entries;
  for (int i = first; i < first + count; ++i) {
    entries.push_back({0, 1000LL * i, {"line " + std::to_string(i), std::string(1, '\0') + "x"}});
  }
  return entries;
}

std::vector<std::string> FirstFields(const TOutbox& outbox) {
  std::vector<std::string> fields;
  for (const TOutboxEntry& entry : outbox.Entries()) fields.push_back(entry.fields.at(0));
  return fields;
}

class Outbox : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ignored;
    fs::remove(path_, ignored);
    fs::remove(path_ + ".corrupt", ignored);
  }
  std::string path_ = ScratchPath("outbox");
};

TEST_F(Outbox, EntriesStayUntilTakenAcrossReloadsAndADeliveredOutboxIsAnEmptyFile) {
  {
    TOutbox outbox(path_);
    outbox.Add(Entries(1, 3), kRoomy);
    outbox.Acknowledge(1);
  }
  TOutbox reloaded(path_);
  EXPECT_EQ(FirstFields(reloaded), (std::vector<std::string>{"line 2", "line 3"}));
  EXPECT_EQ(reloaded.Entries()[0].raised_ms, 2000);
  EXPECT_EQ(reloaded.Entries()[0].fields[1], std::string(1, '\0') + "x");
  reloaded.Add(Entries(4, 1), kRoomy);
  EXPECT_GT(reloaded.Entries().back().id, reloaded.Entries().front().id) << "ids go on";
  reloaded.Acknowledge(3);
  EXPECT_EQ(fs::file_size(path_), 0U);
  EXPECT_TRUE(reloaded.TakeProblems().empty());
}

TEST_F(Outbox, ATornLastAppendIsCutOffAndCountedWhateverItsLength) {
  for (const std::uintmax_t cut : {1U, 4U, 8U, 12U, 20U}) {
    {
      TOutbox outbox(path_);
      outbox.Add(Entries(1, 1), kRoomy);
      outbox.Add(Entries(2, 1), kRoomy);
    }
    fs::resize_file(path_, fs::file_size(path_) - cut);
    const auto torn_size = fs::file_size(path_);
    TOutbox reloaded(path_);
    EXPECT_EQ(FirstFields(reloaded), (std::vector<std::string>{"line 1"})) << cut;
    const auto problems = reloaded.TakeProblems();
    ASSERT_EQ(problems.size(), 1U) << cut;
    EXPECT_NE(problems[0].find("torn last record"), std::string::npos) << problems[0];
    EXPECT_LT(fs::file_size(path_), torn_size) << "cut to the last whole record";
    reloaded.Add(Entries(3, 1), kRoomy);  // appends after the cut load cleanly
    EXPECT_EQ(FirstFields(TOutbox(path_)), (std::vector<std::string>{"line 1", "line 3"})) << cut;
    fs::remove(path_);
  }
}

TEST_F(Outbox, DamageBeforeTheEndSetsTheFileAsideAndKeepsWhatCameBefore) {
  {
    TOutbox outbox(path_);
    outbox.Add(Entries(1, 1), kRoomy);
    outbox.Add(Entries(2, 2), kRoomy);
  }
  const auto first_record = TOutboxEntry{0, 0, Entries(1, 1)[0].fields}.Bytes();
  {
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(first_record + 12));  // inside the second record
    file.put('#');
  }
  TOutbox reloaded(path_);
  EXPECT_EQ(FirstFields(reloaded), (std::vector<std::string>{"line 1"}));
  const auto problems = reloaded.TakeProblems();
  ASSERT_EQ(problems.size(), 1U);
  EXPECT_NE(problems[0].find("set aside"), std::string::npos) << problems[0];
  EXPECT_TRUE(fs::exists(path_ + ".corrupt"));
  EXPECT_EQ(FirstFields(TOutbox(path_)), (std::vector<std::string>{"line 1"})) << "a fresh file";
}

TEST_F(Outbox, AFullOutboxDropsTheOldestAndKeepsTheNoticeUntilTaken) {
  const std::uint64_t three = 3 * Entries(1, 1)[0].Bytes();
  {
    TOutbox outbox(path_);
    outbox.Add(Entries(1, 2), three);
    outbox.Add(Entries(3, 3), three);  // 5 entries where 3 fit
    EXPECT_EQ(FirstFields(outbox), (std::vector<std::string>{"line 3", "line 4", "line 5"}));
    EXPECT_LE(outbox.LiveBytes(), three);
    EXPECT_LE(fs::file_size(path_), three + 64) << "the file too, with the notice's record";
  }
  TOutbox reloaded(path_);
  EXPECT_EQ(FirstFields(reloaded), (std::vector<std::string>{"line 3", "line 4", "line 5"}));
  EXPECT_EQ(reloaded.Dropped().count, 2U);
  EXPECT_EQ(reloaded.Dropped().first_raised_ms, 1000);
  EXPECT_EQ(reloaded.Dropped().last_raised_ms, 2000);
  reloaded.DropRaisedBefore(4000);  // too old
  EXPECT_EQ(reloaded.Dropped().count, 3U);
  EXPECT_EQ(reloaded.Dropped().last_raised_ms, 3000);
  reloaded.ClearDropped();
  TOutbox after(path_);
  EXPECT_EQ(after.Dropped().count, 0U);
  EXPECT_EQ(FirstFields(after), (std::vector<std::string>{"line 4", "line 5"}));
}

}  // namespace
}  // namespace warderon::testing

#include "core/string_list.h"

#include <gtest/gtest.h>

namespace warderon {
namespace {

class TTag final : public TListRecord {
 public:
  explicit TTag(int* alive) : alive_(alive) { ++*alive_; }
  ~TTag() override { --*alive_; }
  TTag(const TTag&) = delete;
  TTag& operator=(const TTag&) = delete;

 private:
  int* alive_;
};

TEST(StringList, SortedListKeepsOrderAndFindsIgnoringCase) {
  TStringList list(true);
  for (const char* text : {"delta", "Alpha", "charlie", "BRAVO"}) list.Add(text);
  EXPECT_EQ(list.Texts(), (std::vector<std::string>{"Alpha", "BRAVO", "charlie", "delta"}));
  EXPECT_EQ(list.Find("bravo"), 1U);
  EXPECT_EQ(list.Find("DELTA"), 3U);
  EXPECT_FALSE(list.Find("echo").has_value());
  list.Assign({"z", "Y", "x"});
  EXPECT_EQ(list.Texts(), (std::vector<std::string>{"x", "Y", "z"}));
}

TEST(StringList, AddManyEndsExactlyAsAddOneByOne) {
  const std::vector<std::string> existing = {"b", "D", "a", "b"};
  const std::vector<std::string> added = {"c", "B", "e", "A", "d", "b"};
  for (const bool sorted : {true, false}) {
    TStringList one_by_one(sorted);
    TStringList at_once(sorted);
    for (const auto& text : existing) {
      one_by_one.Add(text);
      at_once.Add(text);
    }
    for (const auto& text : added) one_by_one.Add(text);
    at_once.AddMany(added);
    EXPECT_EQ(at_once.Texts(), one_by_one.Texts()) << sorted;
    EXPECT_EQ(at_once.Find("E"), one_by_one.Find("E"));
  }
  // 200,000 names at once: one merge, not 200,000 insertions.
  TStringList large(true);
  std::vector<std::string> many;
  for (int i = 200000; i-- > 0;) many.push_back("member" + std::to_string(i));
  large.AddMany(many);
  ASSERT_EQ(large.Count(), 200000U);
  EXPECT_EQ(large.Text(0), "member0");
  EXPECT_TRUE(large.Find("MEMBER123456").has_value());
}

TEST(StringList, UnsortedListKeepsInsertionOrder) {
  TStringList list;
  for (const char* text : {"b", "a", "B"}) list.Add(text);
  EXPECT_EQ(list.Texts(), (std::vector<std::string>{"b", "a", "B"}));
  EXPECT_EQ(list.Find("B"), 0U);  // the first match
}

TEST(StringList, RecordsAreFreedWithTheirEntries) {
  int alive = 0;
  {
    TStringList list(true);
    list.Add("one", std::make_unique<TTag>(&alive));
    list.Add("two", std::make_unique<TTag>(&alive));
    list.Add("three", std::make_unique<TTag>(&alive));
    EXPECT_EQ(alive, 3);
    list.Delete(*list.Find("two"));
    EXPECT_EQ(alive, 2);
    EXPECT_NE(list.RecordAs<TTag>(*list.Find("three")), nullptr);
  }
  EXPECT_EQ(alive, 0);
}

}  // namespace
}  // namespace warderon

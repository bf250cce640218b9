// One suite, run against every backend of the build: what the policy layer
// relies on from a store.
#include <gtest/gtest.h>

#include <algorithm>

#include <thread>

#include "fakes/test_backends.h"
#include "platform/store/policy_backend.h"

namespace warderon::testing {
namespace {

class PolicyBackendContract : public ::testing::TestWithParam<TBackendKind> {
 protected:
  void SetUp() override { backend_ = GetParam().make(); }
  std::vector<std::string> Names(const std::string& section) {
    std::vector<std::string> names;
    for (const auto& value : backend_->ReadSection(section)) names.push_back(value.name);
    return names;
  }
  std::unique_ptr<TPolicyBackend> backend_;
};

TEST_P(PolicyBackendContract, StoresEveryTypeFaithfully) {
  const std::vector<std::pair<std::string, TPolicyValue>> cases = {
      {"text", TPolicyValue::MakeText("caf\xc3\xa9 \xe2\x82\xac C:\\dir")},
      {"empty", TPolicyValue::MakeText("")},
      {"expand", TPolicyValue::MakeExpandText("%SystemRoot%\\x")},
      {"min", TPolicyValue::MakeInteger(INT32_MIN)},
      {"max", TPolicyValue::MakeInteger(INT32_MAX)},
      {"bytes", TPolicyValue::MakeBinary({0, 1, 0xfe, 0xff, 0, 0, 0, 7})},
      {"nobytes", TPolicyValue::MakeBinary({})},
      {"", TPolicyValue::MakeText("default value")},
  };
  for (const auto& [name, value] : cases) backend_->WriteValue("types", name, value);
  for (const auto& [name, value] : cases) {
    const auto read = backend_->ReadValue("types", name);
    ASSERT_TRUE(read.has_value()) << name;
    EXPECT_EQ(*read, value) << name;
  }
}

TEST_P(PolicyBackendContract, ListsEverySectionNestedOnesByTheirPath) {
  backend_->WriteValue("general", "Delay", TPolicyValue::MakeInteger(1));
  backend_->WriteValue("LocalShares-Data\\DATA-Clients", "a@b", TPolicyValue::MakeInteger(1));
  backend_->CreateSection("Groups");
  const auto sections = backend_->ListSections();
  for (const char* expected :
       {"general", "LocalShares-Data", "LocalShares-Data\\DATA-Clients", "Groups"}) {
    EXPECT_NE(std::find(sections.begin(), sections.end(), expected), sections.end()) << expected;
  }
  EXPECT_TRUE(std::is_sorted(sections.begin(), sections.end()));
}

TEST_P(PolicyBackendContract, AbsentValuesAndSectionsReadAsNothing) {
  EXPECT_FALSE(backend_->ReadValue("nosuch", "x").has_value());
  EXPECT_TRUE(backend_->ReadSection("nosuch").empty());
  EXPECT_FALSE(backend_->DeleteValue("nosuch", "x"));
  backend_->DeleteSection("nosuch");  // no error
  backend_->CreateSection("present");
  EXPECT_FALSE(backend_->ReadValue("present", "x").has_value());
  EXPECT_TRUE(backend_->ReadSection("present").empty());
}

TEST_P(PolicyBackendContract, NamesIgnoreLetterCase) {
  backend_->WriteValue("General", "Delay", TPolicyValue::MakeInteger(3));
  EXPECT_EQ(backend_->ReadValue("GENERAL", "dELAY"), TPolicyValue::MakeInteger(3));
  backend_->WriteValue("general", "DELAY", TPolicyValue::MakeInteger(4));
  ASSERT_EQ(backend_->ReadSection("general").size(), 1U);
  EXPECT_EQ(backend_->ReadValue("general", "delay"), TPolicyValue::MakeInteger(4));
  EXPECT_TRUE(backend_->DeleteValue("GENERAL", "delay"));
  EXPECT_TRUE(backend_->ReadSection("general").empty());
}

TEST_P(PolicyBackendContract, OverwriteReplacesTypeAndKeepsPlace) {
  backend_->WriteValue("s", "a", TPolicyValue::MakeText("1"));
  backend_->WriteValue("s", "b", TPolicyValue::MakeText("2"));
  backend_->WriteValue("s", "a", TPolicyValue::MakeInteger(9));
  EXPECT_EQ(backend_->ReadValue("s", "a"), TPolicyValue::MakeInteger(9));
  EXPECT_EQ(Names("s"), (std::vector<std::string>{"a", "b"}));
}

TEST_P(PolicyBackendContract, EnumeratesInCreationOrder) {
  if (!GetParam().keeps_creation_order) GTEST_SKIP() << "Wine's registry sorts value names";
  for (const char* name : {"zeta", "alpha", "mid", "Beta"}) {
    backend_->WriteValue("order", name, TPolicyValue::MakeInteger(1));
  }
  backend_->DeleteValue("order", "alpha");
  backend_->WriteValue("order", "alpha", TPolicyValue::MakeInteger(2));
  EXPECT_EQ(Names("order"), (std::vector<std::string>{"zeta", "mid", "Beta", "alpha"}));
}

TEST_P(PolicyBackendContract, NestedSectionsAreDeletedWithTheirParent) {
  backend_->WriteValue("Hacking\\Run", "x", TPolicyValue::MakeText("1"));
  backend_->WriteValue("Hacking\\Run\\Deep", "y", TPolicyValue::MakeText("2"));
  backend_->WriteValue("Hacking", "top", TPolicyValue::MakeText("3"));
  backend_->WriteValue("HackingOther", "z", TPolicyValue::MakeText("4"));
  backend_->WriteValue("Hacking]", "w", TPolicyValue::MakeText("5"));
  backend_->DeleteSection("HACKING");
  EXPECT_FALSE(backend_->ReadValue("Hacking\\Run", "x").has_value());
  EXPECT_FALSE(backend_->ReadValue("Hacking\\Run\\Deep", "y").has_value());
  EXPECT_FALSE(backend_->ReadValue("Hacking", "top").has_value());
  EXPECT_TRUE(backend_->ReadValue("HackingOther", "z").has_value());
  EXPECT_TRUE(backend_->ReadValue("Hacking]", "w").has_value());
}

TEST_P(PolicyBackendContract, RewriteLeavesExactlyTheGivenValuesInOrder) {
  const auto text = [](const char* t) { return TPolicyValue::MakeText(t); };
  backend_->WriteValue("rw\\sub", "gone", text("x"));
  backend_->RewriteSection("rw", {{"a", text("1")}, {"b", text("2")}, {"c", text("3")}});
  // Same first row, changed second, new third and fourth; "c" moves to the end.
  backend_->RewriteSection("rw", {{"a", text("1")},
                                  {"b", TPolicyValue::MakeInteger(2)},
                                  {"new", text("4")},
                                  {"c", text("3")},
                                  {"", text("seal")}});
  const auto values = backend_->ReadSection("rw");
  ASSERT_EQ(values.size(), 5U);
  EXPECT_EQ(backend_->ReadValue("rw", "b"), TPolicyValue::MakeInteger(2));
  EXPECT_EQ(backend_->ReadValue("rw", ""), text("seal"));
  EXPECT_FALSE(backend_->ReadValue("rw\\sub", "gone").has_value());
  if (GetParam().keeps_creation_order) {
    EXPECT_EQ(Names("rw"), (std::vector<std::string>{"a", "b", "new", "c", ""}));
  }
  backend_->RewriteSection("rw", {{"A", text("renamed")}});
  ASSERT_EQ(backend_->ReadSection("rw").size(), 1U);
  EXPECT_EQ(backend_->ReadSection("rw")[0].name, "A");
}

TEST_P(PolicyBackendContract, AtomicWorkIsUndoneWhenItThrows) {
  backend_->WriteValue("base", "keep", TPolicyValue::MakeText("old"));
  EXPECT_THROW(backend_->RunAtomically([&] {
    backend_->DeleteSection("base");
    backend_->WriteValue("base", "half", TPolicyValue::MakeText("new"));
    throw TPolicyError("crash in the middle");
  }),
               TPolicyError);
  if (GetParam().name == "Registry") GTEST_SKIP() << "the registry has no transactions";
  EXPECT_EQ(backend_->ReadValue("base", "keep"), TPolicyValue::MakeText("old"));
  EXPECT_FALSE(backend_->ReadValue("base", "half").has_value());
}

TEST_P(PolicyBackendContract, ConcurrentWritersDoNotCorruptEachOther) {
  auto writer = [&](const std::string& section) {
    for (int i = 0; i < 200; ++i) {
      backend_->WriteValue(section, std::to_string(i), TPolicyValue::MakeInteger(i));
    }
  };
  std::thread first(writer, "one");
  std::thread second(writer, "two");
  first.join();
  second.join();
  EXPECT_EQ(backend_->ReadSection("one").size(), 200U);
  EXPECT_EQ(backend_->ReadSection("two").size(), 200U);
}

INSTANTIATE_TEST_SUITE_P(AllBackends, PolicyBackendContract, ::testing::ValuesIn(AllBackendKinds()),
                         TBackendKindName());

}  // namespace
}  // namespace warderon::testing

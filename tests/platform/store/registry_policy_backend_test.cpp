// What only the registry store can get wrong: a section rewrite that the
// process does not finish. Each torn state a rewrite can leave (the process
// ending after any of its steps) is made by hand, and the next backend must
// find the old or the new section whole, never a mix or nothing.
#include "platform/store/registry_policy_backend.h"

#include <gtest/gtest.h>

#include "fakes/test_backends.h"
#include "platform/win/win_support.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon::testing {
namespace {

std::vector<TPolicyNamedValue> Values(
    std::initializer_list<std::pair<const char*, const char*>> v) {
  std::vector<TPolicyNamedValue> values;
  for (const auto& [name, text] : v) values.push_back({name, TPolicyValue::MakeText(text)});
  return values;
}

std::vector<std::string> Names(TPolicyBackend& backend, const std::string& section) {
  std::vector<std::string> names;
  for (const auto& value : backend.ReadSection(section)) names.push_back(value.name);
  return names;
}

class RegistryPolicyBackend : public ::testing::Test {
 protected:
  std::unique_ptr<TRegistryPolicyBackend> Open() {
    return std::make_unique<TRegistryPolicyBackend>(TRegistryHive::CurrentUser, root_);
  }
  // A section with the given values, written value by value (no rewrite).
  void Put(TPolicyBackend& backend, const std::string& section,
           const std::vector<TPolicyNamedValue>& values) {
    backend.CreateSection(section);
    for (const auto& value : values) backend.WriteValue(section, value.name, value.value);
  }

  std::string root_ = ScratchRegistryPath();
  const std::vector<TPolicyNamedValue> old_ = Values({{"a", "1"}, {"b", "1"}});
  const std::vector<TPolicyNamedValue> new_ = Values({{"a", "1"}, {"b", "1"}, {"c", "1"}});
};

TEST_F(RegistryPolicyBackend, ARewriteLeavesNoSiblingAndReplacesTheSection) {
  auto store = Open();
  Put(*store, "Hacking\\Run", old_);
  store->RewriteSection("Hacking\\Run", new_);
  EXPECT_EQ(Names(*store, "Hacking\\Run").size(), 3U);
  EXPECT_TRUE(store->ReadSection("Hacking\\Run~new").empty());
  EXPECT_TRUE(store->ReadSection("Hacking\\Run~old").empty());
  store->RewriteSection("Fresh", old_);  // a section that did not exist yet
  EXPECT_EQ(Names(*store, "Fresh").size(), 2U);
}

TEST_F(RegistryPolicyBackend, EveryTornRewriteIsCompletedOrUndoneByTheNextStart) {
  struct TTorn {
    const char* what;
    bool original;  // what still stands when the process ended
    bool staged;
    bool staged_complete;
    bool retired;
    std::size_t expected;  // values of the section afterwards
  };
  const std::vector<TTorn> cases = {
      {"ended while writing the new values", true, true, false, false, 2},
      {"ended after writing them", true, true, true, false, 2},
      {"ended between the two renames", false, true, true, true, 3},
      {"ended before deleting the old one", true, false, false, true, 3},
  };
  for (const TTorn& torn : cases) {
    const std::string section = std::string("S") + std::to_string(&torn - cases.data());
    {
      auto store = Open();
      if (torn.original) {
        Put(*store, section, torn.retired ? new_ : old_);
      }
      if (torn.staged) {
        auto staged = torn.staged_complete ? new_ : Values({{"a", "1"}});
        Put(*store, section + "~new", staged);
      }
      if (torn.retired) Put(*store, section + "~old", old_);
    }
    auto next = Open();  // the next start
    EXPECT_EQ(Names(*next, section).size(), torn.expected) << torn.what;
    EXPECT_TRUE(next->ReadSection(section + "~new").empty()) << torn.what;
    EXPECT_TRUE(next->ReadSection(section + "~old").empty()) << torn.what;
  }
}

TEST_F(RegistryPolicyBackend, AProcessKilledInTheMiddleOfRewritesLeavesAWholeSection) {
  // A real process rewriting the section for ever, killed at moments spread
  // over its rewrites; after each kill the next start finds all 200 values,
  // all from one rewrite.
  std::wstring command =
      win::Widen(std::string("\"") + WARDERON_REGISTRY_REWRITER + "\" \"" + root_ + "\" Killed");
  {
    std::vector<TPolicyNamedValue> first;
    for (int i = 0; i < 200; ++i) {
      first.push_back({"value" + std::to_string(i), TPolicyValue::MakeText("z")});
    }
    Open()->RewriteSection("Killed", first);  // from here on it must never be empty
  }
  for (int trial = 0; trial < 12; ++trial) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    Sleep(static_cast<DWORD>(150 + 37 * trial));
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    auto next = Open();
    const auto values = next->ReadSection("Killed");
    ASSERT_EQ(values.size(), 200U) << "trial " << trial;
    for (const auto& value : values) {
      ASSERT_EQ(value.value.text, values.front().value.text) << "a mix, trial " << trial;
    }
    EXPECT_TRUE(next->ReadSection("Killed~new").empty());
    EXPECT_TRUE(next->ReadSection("Killed~old").empty());
  }
}

TEST_F(RegistryPolicyBackend, ABaselineSavedThroughTheSwapVerifies) {
  auto backend = Open();
  TPolicyStore store(*backend);
  TCycleState cycle;
  class TNoAlerts final : public TAlertSender {
   public:
    void SendAlert(AlertLevel, const std::string& subject, const std::string&) override {
      subjects.push_back(subject);
    }
    void SendAlertWithDetails(AlertLevel, const std::string& subject, const std::string&,
                              const std::vector<std::string>&) override {
      subjects.push_back(subject);
    }
    std::vector<std::string> subjects;
  } alerts;
  TBaselineLists lists(store, alerts, cycle);
  TStringList saved(true);
  saved.Assign({"x=1", "y=2"});
  lists.SaveBaselineList("Services", saved);
  TStringList loaded(true);
  lists.LoadBaselineList("Services", loaded);
  EXPECT_EQ(loaded.Texts(), (std::vector<std::string>{"x", "y"}));
  EXPECT_TRUE(alerts.subjects.empty());
}

}  // namespace
}  // namespace warderon::testing

#include "service/policy_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/memory_policy_backend.h"
#include "policy/policy_store.h"

namespace warderon {
namespace {

class PolicyCommand : public ::testing::Test {
 protected:
  int Run(const std::vector<std::string>& words, std::optional<std::string> type = std::nullopt) {
    out_.str("");
    err_.str("");
    return RunPolicyCommand(backend_, words, type, out_, err_);
  }
  TMemoryPolicyBackend backend_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(PolicyCommand, ListsEveryTypeOneLinePerValueInOrder) {
  backend_.WriteValue("general", "version", TPolicyValue::MakeInteger(66304));
  backend_.WriteValue("general", "LastRun", TPolicyValue::MakeBinary(EncodePolicyFloat(46364.5)));
  backend_.WriteValue("general", "Email", TPolicyValue::MakeText("a@b; c@d"));
  backend_.WriteValue("general", "", TPolicyValue::MakeText("1ABCDEF0123"));
  backend_.WriteValue("general", "Path", TPolicyValue::MakeExpandText("%TEMP%"));
  backend_.WriteValue("general", "Raw", TPolicyValue::MakeBinary({1, 0xab}));
  backend_.WriteValue("general", "Body", TPolicyValue::MakeText("two\r\nlines\tand tab"));
  EXPECT_EQ(Run({"list", "GENERAL"}), 0);
  EXPECT_EQ(out_.str(),
            "version\tinteger\t66304\n"
            "LastRun\tfloat\t46364.5\n"
            "Email\tstring\ta@b; c@d\n"
            "(default)\tstring\t1ABCDEF0123\n"
            "Path\texpandstring\t%TEMP%\n"
            "Raw\tbinary\t01 ab\n"
            "Body\tstring\ttwo\\r\\nlines\\tand tab\n");
}

TEST_F(PolicyCommand, SetsGetsAndDeletesWithTypes) {
  EXPECT_EQ(Run({"set", "general", "Delay", "-2"}, "integer"), 0);
  EXPECT_EQ(backend_.ReadValue("general", "Delay"), TPolicyValue::MakeInteger(-2));
  EXPECT_EQ(Run({"set", "general", "When", "0.25"}, "FLOAT"), 0);
  EXPECT_EQ(Run({"get", "general", "when"}), 0);
  EXPECT_EQ(out_.str(), "When\tfloat\t0.25\n");
  EXPECT_EQ(Run({"set", "demo", "(default)", "seal"}), 0);
  EXPECT_EQ(backend_.ReadValue("demo", ""), TPolicyValue::MakeText("seal"));
  EXPECT_EQ(Run({"delete", "general", "Delay"}), 0);
  EXPECT_EQ(Run({"get", "general", "Delay"}), 1);
  EXPECT_NE(err_.str().find("no value 'Delay'"), std::string::npos);
  EXPECT_EQ(Run({"delete", "demo"}), 0);
  EXPECT_FALSE(backend_.SectionExists("demo"));
}

TEST_F(PolicyCommand, BadInputIsRefusedWithoutTouchingTheStore) {
  EXPECT_EQ(Run({"set", "general", "Delay", "ten"}, "integer"), 2);
  EXPECT_EQ(Run({"set", "general", "Delay", "4294967296"}, "integer"), 2);
  EXPECT_EQ(Run({"set", "general", "When", "nan"}, "float"), 2);
  EXPECT_EQ(Run({"set", "general", "X", "1"}, "qword"), 2);
  EXPECT_EQ(Run({"list"}), 2);
  EXPECT_EQ(Run({"frob", "general"}), 2);
  EXPECT_FALSE(backend_.SectionExists("general"));
  backend_.SetFailing(true);
  EXPECT_EQ(Run({"list", "general"}), 1);
  EXPECT_NE(err_.str().find("simulated failure"), std::string::npos);
}

}  // namespace
}  // namespace warderon

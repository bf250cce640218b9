#include "service/policy_command.h"

#include <gtest/gtest.h>

#include <fstream>
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

namespace warderon {
namespace {

class PolicyExport : public ::testing::Test {
 protected:
  int Run(TPolicyBackend& backend, const std::vector<std::string>& words) {
    out_.str("");
    err_.str("");
    return RunPolicyCommand(backend, words, std::nullopt, out_, err_);
  }
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(PolicyExport, AnExportImportsBackExactly) {
  TMemoryPolicyBackend source;
  source.WriteValue("general", "Delay", TPolicyValue::MakeInteger(5));
  source.WriteValue("general", "ScriptWhen", TPolicyValue::MakeBinary(EncodePolicyFloat(0.25)));
  source.WriteValue("Hacking\\Run", "Tool", TPolicyValue::MakeText("C:\\new\\tools\\x.exe"));
  source.WriteValue("Hacking\\Run", "", TPolicyValue::MakeText("ABC"));
  source.WriteValue("notes", "Body", TPolicyValue::MakeText("two\r\nlines\tand \\t"));
  source.WriteValue("notes", "Path", TPolicyValue::MakeExpandText("%TEMP%\\x"));
  source.WriteValue("notes", "Raw", TPolicyValue::MakeBinary({1, 0xab, 0}));
  ASSERT_EQ(Run(source, {"export"}), 0);
  const std::string exported = out_.str();
  EXPECT_NE(exported.find("[Hacking\\Run]\nTool\tstring\tC:\\\\new\\\\tools\\x.exe\n"),
            std::string::npos)
      << exported;
  const std::string file = ::testing::TempDir() + "/warderon-export.txt";
  std::ofstream(file) << exported;
  TMemoryPolicyBackend target;
  ASSERT_EQ(Run(target, {"import", file}), 0) << err_.str();
  for (const std::string& section : source.ListSections()) {
    const auto expected = source.ReadSection(section);
    const auto imported = target.ReadSection(section);
    ASSERT_EQ(imported.size(), expected.size()) << section;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(imported[i].name, expected[i].name) << section;
      EXPECT_EQ(imported[i].value, expected[i].value) << section << " " << expected[i].name;
    }
  }
  ASSERT_EQ(Run(target, {"export", "Hacking"}), 0);
  EXPECT_EQ(out_.str(),
            "[Hacking]\n\n[Hacking\\Run]\nTool\tstring\tC:\\\\new\\\\tools\\x.exe\n"
            "(default)\tstring\tABC\n\n");
}

TEST_F(PolicyExport, AnImportWithOneBadLineChangesNothing) {
  TMemoryPolicyBackend target;
  target.WriteValue("general", "Delay", TPolicyValue::MakeInteger(1));
  const std::string file = ::testing::TempDir() + "/warderon-bad-import.txt";
  for (const char* bad : {"[general]\nDelay\tinteger\t5\nBeep\tinteger\tloud\n",
                          "Delay\tinteger\t5\n", "[general]\nDelay\tinteger\t5\nno tabs here\n",
                          "[general]\nDelay\tinteger\t5\nX\tcolour\tred\n"}) {
    std::ofstream(file) << bad;
    EXPECT_EQ(Run(target, {"import", file}), 2) << bad;
    EXPECT_NE(err_.str().find("nothing imported"), std::string::npos) << err_.str();
    EXPECT_EQ(target.ReadValue("general", "Delay"), TPolicyValue::MakeInteger(1)) << bad;
  }
}

}  // namespace
}  // namespace warderon

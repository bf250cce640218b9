#include "service/policy_command.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/store/memory_policy_backend.h"
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

// Sections and names as they are in a store: what a machine can name
// (escapes, line breaks, "#", "[", "(default)", "=") and random bytes.
class TRandomStore {
 public:
  explicit TRandomStore(unsigned seed) : random_(seed) {}

  std::string Text(bool for_section) {
    static const std::vector<std::string> kPieces = {
        "a", "Z",         "\\", "\\n", "\\x41",    "\n",   "\r",  "\t",  "\x1b", "#",   "[",
        "]", "(default)", "=",  " ",   "\xc3\xa9", "\x7f", "\\(", "nan", "x\\",  "\x01"};
    std::string text;
    const int pieces = Pick(5);
    for (int i = 0; i < pieces; ++i) {
      if (Pick(4) == 0) {
        text += static_cast<char>(Pick(256));
      } else {
        text += kPieces[static_cast<std::size_t>(Pick(static_cast<int>(kPieces.size())))];
      }
    }
    if (for_section) {
      // A backslash is the path separator of sections: never at an end,
      // never doubled.
      std::string section;
      for (const char c : text) {
        if (c == '\\' && (section.empty() || section.back() == '\\')) continue;
        section += c;
      }
      while (!section.empty() && section.back() == '\\') section.pop_back();
      return section.empty() ? "s" : section;
    }
    return text;
  }

  TPolicyValue Value() {
    switch (Pick(5)) {
      case 0:
        return TPolicyValue::MakeText(Text(false));
      case 1:
        return TPolicyValue::MakeExpandText(Text(false));
      case 2:
        return TPolicyValue::MakeInteger(static_cast<std::int32_t>(random_()));
      case 3: {
        const double numbers[] = {0.25, -0.0, std::nan(""), 1e300 * 1e300, 46364.5, 5e-324};
        return TPolicyValue::MakeBinary(EncodePolicyFloat(numbers[Pick(6)]));
      }
      default: {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(Pick(12)));
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(Pick(256));
        return TPolicyValue::MakeBinary(std::move(bytes));
      }
    }
  }

  int Pick(int below) { return static_cast<int>(random_() % static_cast<unsigned>(below)); }

 private:
  std::mt19937 random_;
};

// Whatever a store holds exports to a file that imports to the same store.
TEST_F(PolicyExport, RandomStoresExportAndImportBackExactly) {
  const std::string file = ::testing::TempDir() + "/warderon-export.txt";
  for (unsigned seed = 1; seed <= 300; ++seed) {
    TRandomStore random(seed);
    TMemoryPolicyBackend source;
    for (int section = random.Pick(4) + 1; section > 0; --section) {
      const std::string name = random.Text(true);
      source.CreateSection(name);
      for (int value = random.Pick(6); value > 0; --value) {
        source.WriteValue(name, random.Pick(5) == 0 ? "" : random.Text(false), random.Value());
      }
    }
    ASSERT_EQ(Run(source, {"export"}), 0) << seed << err_.str();
    const std::string exported = out_.str();
    for (const char c : exported) {
      const auto byte = static_cast<unsigned char>(c);
      ASSERT_TRUE(c == '\n' || c == '\t' || (byte >= 0x20 && byte != 0x7F))
          << seed << ": a raw control character in " << exported;
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << exported;
    TMemoryPolicyBackend target;
    ASSERT_EQ(Run(target, {"import", file}), 0) << seed << err_.str() << exported;
    ASSERT_EQ(target.ListSections(), source.ListSections()) << seed;
    for (const std::string& section : source.ListSections()) {
      const auto expected = source.ReadSection(section);
      const auto imported = target.ReadSection(section);
      ASSERT_EQ(imported.size(), expected.size()) << seed << " " << section;
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(imported[i].name, expected[i].name) << seed << " " << section;
        EXPECT_EQ(imported[i].value, expected[i].value) << seed << " " << expected[i].name;
      }
    }
  }
}

// Files of the first format (no header) import as they always did.
TEST_F(PolicyExport, AFileOfTheFirstFormatImportsAsBefore) {
  const std::string file = ::testing::TempDir() + "/warderon-old-export.txt";
  std::ofstream(file) << "[LocalShares-Data\\netlogon-Clients]\n"
                      << "Tool\tstring\tC:\\\\new\\x.exe\n"
                      << "(default)\tstring\tABC\n";
  TMemoryPolicyBackend target;
  ASSERT_EQ(Run(target, {"import", file}), 0) << err_.str();
  EXPECT_EQ(target.ReadValue("LocalShares-Data\\netlogon-Clients", "Tool"),
            TPolicyValue::MakeText("C:\\new\\x.exe"));
  EXPECT_EQ(target.ReadValue("LocalShares-Data\\netlogon-Clients", ""),
            TPolicyValue::MakeText("ABC"));
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

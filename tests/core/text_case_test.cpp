#include "core/text_case.h"

#include <gtest/gtest.h>

namespace warderon {
namespace {

TEST(TextCase, FoldingIgnoresLetterCaseBeyondAscii) {
  EXPECT_EQ(FoldCase("Delay"), FoldCase("DELAY"));
  EXPECT_EQ(FoldCase("Überwachung"), FoldCase("üBERWACHUNG"));
  EXPECT_EQ(FoldCase("Ελλάδα"), FoldCase("ΕΛΛΆΔΑ"));
  EXPECT_NE(FoldCase("a"), FoldCase("b"));
}

TEST(TextCase, FoldingKeepsInvalidUtf8AndSeparators) {
  // Linux keeps a stray byte, Windows turns it into U+FFFD as every
  // conversion to UTF-16 does; either way folding is stable and goes on.
  const std::string broken = "a\xff\\b";
  EXPECT_EQ(FoldCase(FoldCase(broken)), FoldCase(broken));
  EXPECT_TRUE(FoldCase(broken).ends_with("\\B"));
  EXPECT_EQ(FoldCase("locgroup-Admins\\x"), FoldCase("LOCGROUP-admins\\X"));
}

TEST(TextCase, ComparisonOrdersIgnoringCase) {
  EXPECT_EQ(CompareTextIgnoreCase("alpha", "ALPHA"), 0);
  EXPECT_LT(CompareTextIgnoreCase("alpha", "Beta"), 0);
  EXPECT_GT(CompareTextIgnoreCase("Gamma", "beta"), 0);
}

TEST(TextCase, UpperAsciiLeavesOtherLettersAlone) {
  EXPECT_EQ(UpperAscii("demo-ü\\x"), "DEMO-ü\\X");
}

}  // namespace
}  // namespace warderon

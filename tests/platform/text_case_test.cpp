#include "platform/text_case.h"

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
  const std::string broken = "a\xff\\b";
  EXPECT_EQ(FoldCase(broken).size(), broken.size());
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

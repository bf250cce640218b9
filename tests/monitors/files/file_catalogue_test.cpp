// The catalogue's kept sort order and its time format.
#include "monitors/files/file_catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

namespace warderon {
namespace {

std::vector<std::string> SortedKeys(const TFileCatalogue& catalogue) {
  std::vector<std::string> keys;
  for (const TRecordIndex index : catalogue.SortedIndices()) {
    keys.emplace_back(catalogue.Key(index));
  }
  return keys;
}

TEST(FileCatalogue, TheKeptOrderFollowsAddsRemovalsAndReusedIndices) {
  TFileCatalogue catalogue(NativePathRules());
  for (const char* key : {"/m", "/c", "/x"}) catalogue.Add(key);
  EXPECT_EQ(SortedKeys(catalogue), (std::vector<std::string>{"/c", "/m", "/x"}));
  for (const char* key : {"/a", "/n", "/z"}) catalogue.Add(key);  // merged in
  EXPECT_EQ(SortedKeys(catalogue), (std::vector<std::string>{"/a", "/c", "/m", "/n", "/x", "/z"}));
  catalogue.Remove(*catalogue.Find("/c"));
  catalogue.Add("/b");  // takes the removed record's index
  catalogue.Add("/y");
  EXPECT_EQ(SortedKeys(catalogue),
            (std::vector<std::string>{"/a", "/b", "/m", "/n", "/x", "/y", "/z"}));
  catalogue.Clear();
  catalogue.Add("/only");
  EXPECT_EQ(SortedKeys(catalogue), (std::vector<std::string>{"/only"}));
}

// The form every earlier release wrote: printf's %.14E with a four-digit exponent.
std::string PrintfForm(double value) {
  char digits[40];
  std::snprintf(digits, sizeof digits, "%.14E", std::fabs(value));
  std::string text(digits);
  const auto e = text.find('E');
  const int exponent = std::stoi(text.substr(e + 1));
  char result[48];
  std::snprintf(result, sizeof result, "%c%sE%c%04d", value < 0 ? '-' : ' ',
                text.substr(0, e).c_str(), exponent < 0 ? '-' : '+', std::abs(exponent));
  return result;
}

TEST(FileCatalogue, TimesAreWrittenExactlyAsPrintfWroteThem) {
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> days(-800000.0, 2958465.0);
  std::vector<double> values = {0.0,
                                1.0,
                                -1.0,
                                0.5,
                                45000.123456789,
                                1e-300,
                                4.9e-324,
                                1.7976931348623157e308,
                                99999.99999999999,
                                9.999999999999995};
  for (int i = 0; i < 20000; ++i) values.push_back(days(random));
  for (const double value : values) {
    ASSERT_EQ(FormatCatalogueTime(value), PrintfForm(value)) << value;
  }
}

}  // namespace
}  // namespace warderon

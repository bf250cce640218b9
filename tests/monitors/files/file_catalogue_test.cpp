// The catalogue's kept sort order and its time format.
#include "monitors/files/file_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "fakes/test_backends.h"

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

// Paths are held as a shared directory and a name; every operation must
// behave as on whole keys: lookup, order, removal with its reuse and
// compaction, and the file written.
TEST(FileCatalogue, PathsHeldByDirectoryAndNameBehaveAsWholeKeys) {
  TFileCatalogue catalogue(TPathRules{'/', true, "/"});
  std::vector<std::string> keys = {"/a/b",  "/a/b/c", "/a/b-", "/a/b.c", "/a/b/",
                                   "nodir", "/x/y/z", "/a/",   "/a/b/d", "/a/bb"};
  for (const std::string& key : keys) catalogue.Add(key);
  for (const std::string& key : keys) {
    const auto index = catalogue.Find(key);
    ASSERT_TRUE(index) << key;
    EXPECT_EQ(catalogue.Key(*index), key);
  }
  for (const char* absent : {"/a/bc", "/a/b/c/", "/a", "/a/b/cc", "no"}) {
    EXPECT_FALSE(catalogue.Find(absent)) << absent;
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(SortedKeys(catalogue), keys);

  // Most files of a few hundred directories go, then come back under new
  // names: removed texts are reclaimed, and every kept key stays whole.
  std::vector<std::string> kept;
  for (int i = 0; i < 150000; ++i) {
    const std::string key = "/d" + std::to_string(i % 300) + "/file-" + std::to_string(i);
    const TRecordIndex index = catalogue.Add(key);
    if (i % 10 == 0) {
      kept.push_back(key);
    } else {
      catalogue.Remove(index);
    }
  }
  for (int i = 0; i < 1000; ++i) kept.push_back("/d" + std::to_string(i) + "/again");
  for (std::size_t i = kept.size() - 1000; i < kept.size(); ++i) catalogue.Add(kept[i]);
  kept.insert(kept.end(), keys.begin(), keys.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(SortedKeys(catalogue), kept);
  for (const std::string& key : kept) ASSERT_TRUE(catalogue.Find(key)) << key;
  EXPECT_LT(catalogue.MemoryBytes(), 8u << 20);

  // The file: each entry's key, size and time on lines of their own.
  const std::string path = testing::ScratchPath("catalogue.lst");
  catalogue.Clear();
  catalogue.Record(catalogue.Add("/a/b/c")).FileSize = 12;
  catalogue.Add("/a/b");
  catalogue.Save(path);
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  const std::string zero = FormatCatalogueTime(0);
  EXPECT_EQ(text.str(), "/a/b\r\n0\r\n" + zero + "\r\n/a/b/c\r\n12\r\n" + zero + "\r\n");
  // Read back in order, or out of it (an older or edited file): sorted.
  const std::vector<std::pair<std::string, std::vector<std::string>>> reads = {
      {text.str(), {"/a/b", "/a/b/c"}},
      {"/z\r\n1\r\n" + zero + "\r\n" + text.str(), {"/a/b", "/a/b/c", "/z"}}};
  for (const auto& [file, sorted] : reads) {
    std::ofstream(path, std::ios::binary) << file;
    catalogue.Load(path);
    EXPECT_EQ(SortedKeys(catalogue), sorted);
  }
  std::remove(path.c_str());
}

TEST(FileCatalogue, WindowsPathsIgnoreCaseAndEndTheirDirectoryAtADriveColon) {
  TFileCatalogue catalogue(TPathRules{'\\', false, "\\:"});
  catalogue.Add("C:\\Dir\\File.txt");
  catalogue.Add("D:file");
  catalogue.Add("c:\\dir\\Zed");
  const auto found = catalogue.Find("c:\\DIR\\file.TXT");
  ASSERT_TRUE(found);
  EXPECT_EQ(catalogue.Key(*found), "C:\\Dir\\File.txt");
  EXPECT_EQ(catalogue.Directory(*catalogue.Find("d:FILE")), "D:");
  EXPECT_FALSE(catalogue.Find("C:\\Dir\\File.tx"));
  EXPECT_EQ(SortedKeys(catalogue),
            (std::vector<std::string>{"C:\\Dir\\File.txt", "c:\\dir\\Zed", "D:file"}));
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

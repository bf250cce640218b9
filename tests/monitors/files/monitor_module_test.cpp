// The file integrity monitor against real directory trees in a scratch
// folder (under Wine for the Windows build).
#include "monitors/files/monitor_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fakes/faulty_backend.h"
#include "fakes/recording_alerts.h"
#include "fakes/test_backends.h"
#include "platform/files/atomic_file.h"
#include "platform/store/memory_policy_backend.h"
#include "platform/time/date_time.h"

namespace warderon::testing {
namespace {

namespace fs = std::filesystem;

class MonitorModule : public ::testing::Test {
 protected:
  MonitorModule() : root_(ScratchPath("tree")), catalogue_(ScratchPath("files.lst")) {
    fs::create_directories(fs::path(root_) / "Sub");
    store_.WritePolicyBool("general", "FilesEnabled", true);
    SetList("IncludeDirs", {root_});
  }
  ~MonitorModule() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void SetList(const std::string& section, const std::vector<std::string>& entries) {
    TStringList list(section != "SpecialFiles");
    for (const auto& entry : entries) list.Add(entry);
    lists_.SaveBaselineList(section, list);
  }
  void Write(const std::string& relative, const std::string& text) {
    std::ofstream(fs::path(root_) / relative, std::ios::binary) << text;
  }
  // Sets a file's time to a fixed moment plus the given seconds.
  void SetTime(const std::string& relative, int seconds) {
    fs::last_write_time(fs::path(root_) / relative, base_time_ + std::chrono::seconds(seconds));
  }
  std::string Key(const std::string& relative) {
    std::string key = module_->NormalisePath(root_) + rules_.separator + relative;
    if (rules_.separator == '\\') std::replace(key.begin(), key.end(), '/', '\\');
    return key;
  }
  void Start() {
    module_ = std::make_unique<TMonitorModule>(store_, lists_, alerts_, *search_, catalogue_);
    module_->Initialize();
  }
  // This cycle's "file changes" lines; empty when there was no alert.
  std::vector<std::string> Cycle() {
    alerts_.alerts.clear();
    module_->Run();
    for (const auto& alert : alerts_.alerts) {
      if (alert.subject == "file changes") return alert.details;
    }
    return {};
  }

  TPathRules rules_ = NativePathRules();
  std::string root_;
  std::string catalogue_;
  fs::file_time_type base_time_ = fs::file_time_type::clock::now() - std::chrono::hours(48);
  TMemoryPolicyBackend backend_;
  TFaultyBackend faulty_{backend_};  // passes everything through unless told
  TPolicyStore store_{faulty_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  std::unique_ptr<TDirectorySearch> search_ = MakeSystemDirectorySearch();
  std::unique_ptr<TMonitorModule> module_;
};

TEST_F(MonitorModule, ReportsNewTouchedResizedAndErasedFilesOnce) {
  Write("keep.txt", "keep");
  Write("Sub/grow.txt", "1234");
  SetTime("Sub/grow.txt", 0);
  Start();  // takes everything in silently
  EXPECT_TRUE(Cycle().empty());

  Write("Sub/New File.txt", "new");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" NEW FILE : " + Key("Sub/New File.txt")}));
  EXPECT_TRUE(Cycle().empty());

  Write("Sub/grow.txt", "123456");
  SetTime("Sub/grow.txt", 0);  // same time, other size
  EXPECT_EQ(Cycle(),
            (std::vector<std::string>{" Changed Size :" + Key("Sub/grow.txt") + " (4->6)"}));

  SetTime("Sub/grow.txt", 3600);
  const auto touched = Cycle();
  ASSERT_EQ(touched.size(), 1U);
  EXPECT_TRUE(touched[0].starts_with(" Changed Time : " + Key("Sub/grow.txt") + " ("))
      << touched[0];
  EXPECT_NE(touched[0].find("->"), std::string::npos);

  fs::remove(fs::path(root_) / "keep.txt");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" ERASED : " + Key("keep.txt")}));
  EXPECT_TRUE(Cycle().empty());
  EXPECT_FALSE(module_->FileList().Find(Key("keep.txt")).has_value());
}

// A root written with repeated or trailing separators or "." parts is the
// same root: its files get the same keys and changes below it are seen.
TEST_F(MonitorModule, ConfiguredRootsHaveOneSpelling) {
  const std::string sep(1, rules_.separator);
  const std::string parent = fs::path(root_).parent_path().string();
  const std::string name = fs::path(root_).filename().string();
  const std::string spellings[] = {root_ + sep + sep, parent + sep + sep + name,
                                   parent + sep + "." + sep + name + sep + "."};
  Start();
  for (const std::string& spelling : spellings) {
    EXPECT_EQ(module_->NormalisePath(spelling), module_->NormalisePath(root_)) << spelling;
  }
  EXPECT_EQ(module_->NormalisePath(sep), sep);
  SetList("IncludeDirs", {spellings[0]});
  Start();
  Cycle();
  Write("Sub/deep.txt", "x");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" NEW FILE : " + Key("Sub/deep.txt")}));
}

TEST_F(MonitorModule, ACycleWithoutChangesDoesNotRewriteTheCatalogue) {
  Write("a.txt", "a");
  Start();
  // A mark of our own: a rewrite would replace the file and lose it.
  std::ofstream(catalogue_, std::ios::app | std::ios::binary) << "/marker\r\n1\r\n 1.0E+0000\r\n";
  EXPECT_TRUE(Cycle().empty());
  const auto contents = [this] {
    std::ifstream file(catalogue_,
                       std::ios::binary);  // closed again: Windows cannot replace an open file
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  };
  EXPECT_NE(contents().find("/marker"), std::string::npos);
  Write("b.txt", "b");
  EXPECT_EQ(Cycle().size(), 1U);
  EXPECT_EQ(contents().find("/marker"), std::string::npos) << "a cycle with a change rewrites it";

  // Nor does a start that finds the trees as the catalogue has them; a
  // start that finds a change does.
  // A second link to the file: a rewrite puts a new file in its place.
  // (Wine reports one link whatever the file system has.)
  const std::string link = catalogue_ + ".link";
  fs::create_hard_link(catalogue_, link);
  Start();
  if (!RunningUnderWine()) {
    EXPECT_EQ(fs::hard_link_count(catalogue_), 2U) << "rewritten by a start without changes";
  }
  Write("c.txt", "c");
  Start();
  EXPECT_EQ(fs::hard_link_count(catalogue_), 1U) << "a start with a change rewrites it";
  EXPECT_TRUE(module_->FileList().Find(Key("c.txt")).has_value());
  fs::remove(link);
}

TEST_F(MonitorModule, TimeAndSizeChangedTogetherReportTimeThenSize) {
  Write("both.txt", "ab");
  SetTime("both.txt", 0);
  Start();
  Write("both.txt", "abcdef");
  SetTime("both.txt", 7200);
  const auto first = Cycle();
  ASSERT_EQ(first.size(), 1U);
  EXPECT_TRUE(first[0].starts_with(" Changed Time : ")) << first[0];
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" Changed Size :" + Key("both.txt") + " (2->6)"}));
}

TEST_F(MonitorModule, ErasedFilesComeInReverseOrderAndAnEmptiedListErasesAll) {
  Write("a.txt", "a");
  Write("b.txt", "b");
  Start();
  fs::remove(fs::path(root_) / "a.txt");
  fs::remove(fs::path(root_) / "b.txt");
  EXPECT_EQ(Cycle(),
            (std::vector<std::string>{" ERASED : " + Key("b.txt"), " ERASED : " + Key("a.txt")}));

  Write("c.txt", "c");
  Cycle();
  SetList("IncludeDirs", {});
  EXPECT_EQ(Cycle().size(), 1U);
  EXPECT_EQ(module_->FileList().Count(), 0U);
  std::ifstream saved(catalogue_);
  EXPECT_EQ(saved.peek(), std::char_traits<char>::eof()) << "the catalogue file is empty";
}

// A file under two roots, or named by two patterns, is visited once per
// scan: its report is what one visit gives, never "seems ok".
TEST_F(MonitorModule, AFileReachedTwiceInAScanIsReportedAsOneVisitSeesIt) {
  Start();
  SetList("IncludeDirs", {root_, (fs::path(root_) / "Sub").string()});
  SetList("SpecialFiles", {(fs::path(root_) / "Sub" / "*").string(),
                           (fs::path(root_) / "Sub" / "twice.txt").string()});
  Write("Sub/twice.txt", "x");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" NEW FILE : " + Key("Sub/twice.txt")}));
  SetTime("Sub/twice.txt", 7200);
  const auto touched = Cycle();
  ASSERT_EQ(touched.size(), 1U);
  EXPECT_TRUE(touched[0].starts_with(" Changed Time : " + Key("Sub/twice.txt"))) << touched[0];
  EXPECT_TRUE(Cycle().empty());
}

TEST_F(MonitorModule, ExclusionsAndSpecialFiles) {
  Write("Sub/hidden.txt", "x");
  Write("secret.log", "x");
  Write("boot.ini", "x");
  std::string excluded_dir = (fs::path(root_) / "Sub").string() + rules_.separator;
  std::string excluded_file = (fs::path(root_) / "secret.log").string();
  if (!rules_.case_sensitive) {  // Windows compares paths without regard to case
    for (char& c : excluded_dir) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  SetList("ExcludeDirs", {excluded_dir});
  SetList("ExcludeFiles", {excluded_file});
  SetList("IncludeDirs", {});
  SetList("SpecialFiles", {(fs::path(root_) / "boot.*").string(),
                           (fs::path(root_) / "nothing-matches-*").string()});
  Start();
  EXPECT_EQ(module_->FileList().Count(), 1U);
  EXPECT_TRUE(module_->FileList().Find((fs::path(root_) / "boot.ini").string()).has_value());
  SetList("IncludeDirs", {root_});
  Write("Sub/also-hidden.txt", "x");
  Write("seen.txt", "x");
  // boot.ini is known from the special entry; the excluded folder and file
  // stay out, the new file beside them does not.
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" NEW FILE : " + Key("seen.txt")}));
}

#ifndef _WIN32
TEST_F(MonitorModule, TreesOfAnyDepthAreWalkedWithBoundedStackAndLongPaths) {
  // 2,000 folders, one in the other, made by relative opens: the path of
  // the bottom one is about 6,000 bytes, beyond PATH_MAX.
  constexpr int kLevels = 2000;
  int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kLevels; ++i) {
    ASSERT_EQ(mkdirat(fd, "dd", 0700), 0) << i;
    const int next = openat(fd, "dd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
    ASSERT_GE(fd, 0) << i;
  }
  close(openat(fd, "bottom.txt", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  std::string deep;
  for (int i = 0; i < kLevels; ++i) deep += "dd/";
  Start();
  ASSERT_GT(Key(deep + "bottom.txt").size(), 4096U);
  EXPECT_TRUE(module_->FileList().Find(Key(deep + "bottom.txt")).has_value());
  close(openat(fd, "new.txt", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  close(fd);
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" NEW FILE : " + Key(deep + "new.txt")}));
  EXPECT_EQ(std::system(("rm -rf '" + root_ + "/dd'").c_str()), 0);
  EXPECT_EQ(Cycle().size(), 2U);
}

TEST_F(MonitorModule, OnlyTheServiceCanChangeTheCatalogueOrRedirectItsWrite) {
  const std::string folder = ScratchPath("state");
  catalogue_ = folder + "/files.lst";
  const std::string victim = ScratchPath("victim");
  std::ofstream(victim) << "precious";
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::all);  // an administrator's careless 0777
  fs::create_symlink(victim, catalogue_ + ".new");
  Write("a.txt", "a");
  Start();
  struct stat info {};
  ASSERT_EQ(stat(catalogue_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0022, 0U) << "others lost the right to write in the folder";
  std::ifstream kept(victim);
  std::string text;
  kept >> text;
  EXPECT_EQ(text, "precious") << "the planted link was not followed";
  const std::string fresh = ScratchPath("fresh") + "/deeper/files.lst";
  catalogue_ = fresh;
  Start();
  ASSERT_EQ(stat(fs::path(fresh).parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700U);
}
#endif

TEST_F(MonitorModule, FileTimesKeepTheOffsetOfTheirOwnSeasonOnBothBuilds) {
  // The suite runs with TZ=Europe/Berlin (see the CMake file): UTC+2 in
  // summer, UTC+1 in winter, whatever the season of the test run.
  const char* zone = std::getenv("TZ");
  if (zone == nullptr || std::string(zone) != "Europe/Berlin") {
    GTEST_SKIP() << "run with TZ=Europe/Berlin, as ctest does";
  }
  using namespace std::chrono;
  const auto utc = [](std::int64_t unix_seconds) {
    return file_clock::from_sys(sys_seconds(seconds(unix_seconds)));
  };
  Write("summer.txt", "s");
  Write("winter.txt", "w");
  fs::last_write_time(fs::path(root_) / "summer.txt", utc(1782907200));  // 2026-07-01 12:00 UTC
  fs::last_write_time(fs::path(root_) / "winter.txt", utc(1768478400));  // 2026-01-15 12:00 UTC
  std::map<std::string, double> times;
  const auto directory = search_->OpenDirectory(root_);
  ASSERT_NE(directory, nullptr);
  search_->List(*directory,
                [&](const TFoundEntry& entry) { times[std::string(entry.name)] = entry.time; });
  EXPECT_DOUBLE_EQ(times["summer.txt"], ToDateTime({2026, 7, 1, 14, 0, 0, 0}).days);
  EXPECT_DOUBLE_EQ(times["winter.txt"], ToDateTime({2026, 1, 15, 13, 0, 0, 0}).days);
}

TEST_F(MonitorModule, SpecialPatternsMatchHiddenEntriesToo) {
  Write(".secret", "x");
  Write("plain", "x");
  SetList("IncludeDirs", {});
  SetList("SpecialFiles", {(fs::path(root_) / "*").string()});
  Start();
  EXPECT_TRUE(module_->FileList().Find((fs::path(root_) / ".secret").string()).has_value());
  EXPECT_TRUE(module_->FileList().Find((fs::path(root_) / "plain").string()).has_value());
}

TEST_F(MonitorModule, AnUnwritableCatalogueIsReportedAndTheMonitorGoesOn) {
  Write("a.txt", "a");
  fs::create_directories(catalogue_);  // a folder where the catalogue belongs
  Start();
  EXPECT_EQ(alerts_.Subjects(),
            (std::vector<std::string>{"error in file read startup", "error in file i/o"}));
  Write("b.txt", "b");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" NEW FILE : " + Key("b.txt")}));
  EXPECT_EQ(alerts_.Subjects(), (std::vector<std::string>{"file changes", "error in file i/o"}));
  EXPECT_NE(alerts_.alerts[1].body.find("the file catalogue was not saved: "), std::string::npos);
  fs::remove(catalogue_);
  Write("c.txt", "c");
  Cycle();
  EXPECT_EQ(alerts_.Subjects(), (std::vector<std::string>{"file changes"}));
  EXPECT_TRUE(fs::is_regular_file(catalogue_));
}

TEST_F(MonitorModule, TheCatalogueIsSavedEvenWhenTheAlertCannotBeDelivered) {
  Write("a.txt", "a");
  Start();
  Write("b.txt", "b");
  alerts_.fail_details = true;
  Cycle();
  alerts_.fail_details = false;
  EXPECT_EQ(alerts_.Subjects(), (std::vector<std::string>{"file changes", "internal error"}));
  module_.reset();
  fs::remove(fs::path(root_) / "b.txt");
  Start();
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" ERASED : " + Key("b.txt")}))
      << "the catalogue written despite the failed alert knew b.txt";
}

TEST_F(MonitorModule, NamesWithLineBreaksRoundTripThroughTheCatalogue) {
  if (!rules_.case_sensitive) GTEST_SKIP() << "Windows file names hold no control characters";
  const std::vector<std::string> names = {"0\nx",      "cr\rlf\r\n", "100%",
                                          "tab\tname", "%0A",        "plain"};
  for (const auto& name : names) Write(name, "x");
  Start();
  module_.reset();
  for (const auto& name : names) fs::remove(fs::path(root_) / name);
  Start();  // deletions made while stopped are reported from the catalogue
  auto lines = Cycle();
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected;
  for (const auto& name : names) expected.push_back(" ERASED : " + Key(name));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

TEST(FileCatalogue, KeyLinesEscapeOnlyKeysWithControlCharacters) {
  EXPECT_EQ(CatalogueKeyLine("c:\\data\\100%.txt"), "c:\\data\\100%.txt");
  EXPECT_EQ(CatalogueKeyLine("/t/0\nx%"), "\t/t/0%0Ax%25");
  EXPECT_EQ(CatalogueKeyFromLine("\t/t/0%0Ax%25"), "/t/0\nx%");
  EXPECT_EQ(CatalogueKeyFromLine("/t/100%"), "/t/100%") << "an earlier release's line";
  EXPECT_FALSE(CatalogueKeyFromLine("\t/t/%G0").has_value());
  EXPECT_FALSE(CatalogueKeyFromLine("\t/t/%0").has_value());
}

TEST_F(MonitorModule, PoisonedCatalogueEntriesAreSkippedAndTheCatalogueRewrittenCleanly) {
  const std::string long_key = "/deep/" + std::string(70000, 'x');
  std::ofstream(catalogue_, std::ios::binary)
      << long_key << "\r\n1\r\n 4.00000000000000E+0004\r\n"
      << "/nan\r\n1\r\nnan\r\n"
      << "/inf\r\n1\r\n-inf\r\n"
      << "\t/bad%ZZescape\r\n1\r\n 4.00000000000000E+0004\r\n"
      << "/good\r\n2\r\n 4.00000000000000E+0004\r\n";
  Start();
  EXPECT_TRUE(alerts_.alerts.empty());
  EXPECT_TRUE(module_->FileList().Find(long_key).has_value()) << "long keys are kept whole";
  EXPECT_TRUE(module_->FileList().Find("/good").has_value());
  EXPECT_FALSE(module_->FileList().Find("/nan").has_value());
  EXPECT_FALSE(module_->FileList().Find("/inf").has_value());
  std::ifstream saved(catalogue_, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("NAN"), std::string::npos);
  EXPECT_EQ(text.find("bad"), std::string::npos);
  EXPECT_NE(text.find(long_key + "\r\n1\r\n"), std::string::npos);
  // Every catalogued file is gone from the disk: reported, and nothing throws.
  EXPECT_EQ(Cycle().size(), 2U);
}

TEST_F(MonitorModule, AFileBornAndGoneWhileDisabledIsNeverMentioned) {
  Start();
  store_.WritePolicyBool("general", "FilesEnabled", false);
  Write("brief.txt", "x");
  EXPECT_TRUE(Cycle().empty());
  fs::remove(fs::path(root_) / "brief.txt");
  store_.WritePolicyBool("general", "FilesEnabled", true);
  EXPECT_TRUE(Cycle().empty());
}

TEST_F(MonitorModule, ASettingsReadThatFailsKeepsTheTreesItLastRead) {
  Write("keep.txt", "keep");
  Start();
  EXPECT_TRUE(Cycle().empty());
  faulty_.fail_reads_of_section = "IncludeDirs";
  EXPECT_TRUE(Cycle().empty()) << "no file is erased because its tree could not be read";
  ASSERT_FALSE(alerts_.alerts.empty());
  EXPECT_EQ(alerts_.alerts[0].body, "reading file monitor config: reading include dirs");
  faulty_.fail_reads_of_section.clear();
  EXPECT_TRUE(Cycle().empty()) << "nor new again when it can";

  // A start that cannot read them walks nothing and erases nothing until it can.
  faulty_.fail_reads_of_section = "IncludeDirs";
  Start();
  EXPECT_TRUE(Cycle().empty());
  faulty_.fail_reads_of_section.clear();
  Write("new.txt", "new");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{}));
  EXPECT_TRUE(module_->FileList().Find(Key("keep.txt")).has_value());
  EXPECT_TRUE(module_->FileList().Find(Key("new.txt")).has_value()) << "taken in by the late start";
  fs::remove(fs::path(root_) / "keep.txt");
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" ERASED : " + Key("keep.txt")}));
}

TEST_F(MonitorModule, TheCatalogueSurvivesARestartAndAFileGoneMeanwhileIsErased) {
  Write("stays.txt", "1");
  Write("goes.txt", "2");
  Start();
  module_.reset();
  fs::remove(fs::path(root_) / "goes.txt");
  Write("arrived.txt", "3");         // while the service was stopped: taken in silently
  Write("stays.txt", "1 and more");  // appended meanwhile: taken in silently too
  SetTime("stays.txt", 60);
  Start();
  EXPECT_EQ(Cycle(), (std::vector<std::string>{" ERASED : " + Key("goes.txt")}));
  EXPECT_TRUE(Cycle().empty()) << "its size is not reported a cycle late either";
}

TEST(FileCatalogue, FileFormatRoundTripAndBadEntries) {
  EXPECT_EQ(FormatCatalogueTime(39854.5), " 3.98545000000000E+0004");
  EXPECT_EQ(FormatCatalogueTime(-0.25), "-2.50000000000000E-0001");
  EXPECT_EQ(FormatCatalogueTime(0.0).size(), 23U);

  const std::string path = ScratchPath("catalogue.lst");
  TFileCatalogue catalogue(NativePathRules());
  const double precise = 46364.123456789012;
  catalogue.Record(catalogue.Add("/data/b\xc3\xa9.txt")).FileTime = precise;
  FileData& big = catalogue.Record(catalogue.Add("/data/a.iso"));
  big.FileSize = 5LL << 30;  // 5 GiB
  big.FileTime = 40000.0;
  ASSERT_NO_THROW(catalogue.Save(path));

  TFileCatalogue loaded(NativePathRules());
  loaded.Load(path);
  ASSERT_EQ(loaded.Count(), 2U);
  EXPECT_EQ(loaded.Record(*loaded.Find("/data/a.iso")).FileSize, 5LL << 30);
  EXPECT_NEAR(loaded.Record(*loaded.Find("/data/b\xc3\xa9.txt")).FileTime, precise,
              precise * 1e-14);

  std::ofstream(path, std::ios::binary) << "/x/first\r\n1\r\n 4.00000000000000E+0004\r\n"
                                        << "/x/bad\r\nbig\r\n 4.00000000000000E+0004\r\n"
                                        << "/x/first\r\n2\r\n 4.00000000000000E+0004\r\n"
                                        << "/x/last\r\n3\r\n 4.00000000000000E+0004\r\n";
  loaded.Load(path);
  EXPECT_EQ(loaded.Count(), 2U);
  EXPECT_FALSE(loaded.Find("/x/bad").has_value());
  EXPECT_EQ(loaded.Record(*loaded.Find("/x/first")).FileSize, 1) << "the first of two keys stays";
}

TEST(FileCatalogue, AWriteThatFailsHalfWayLeavesTheOldCatalogue) {
  const std::string path = ScratchPath("crash.lst");
  TFileCatalogue catalogue(NativePathRules());
  catalogue.Add("/kept/file");
  ASSERT_NO_THROW(catalogue.Save(path));
  EXPECT_THROW(WriteFileAtomically(path,
                                   [](const TWriteText& write) {
                                     write("/half/written\r\n");
                                     throw std::runtime_error("power failure");
                                   }),
               std::runtime_error);
  TFileCatalogue loaded(NativePathRules());
  loaded.Load(path);
  EXPECT_EQ(loaded.Count(), 1U);
  EXPECT_TRUE(loaded.Find("/kept/file").has_value());
}

TEST(FileCatalogue, LongKeysSurviveRemovalAndCompaction) {
  TFileCatalogue catalogue(NativePathRules());
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i) keys.push_back("/k" + std::to_string(i) + std::string(70000, 'a'));
  for (const auto& key : keys) catalogue.Add(key);
  for (int i = 0; i < 40; i += 2) catalogue.Remove(*catalogue.Find(keys[i]));  // compacts
  for (int i = 1; i < 40; i += 2) {
    const auto found = catalogue.Find(keys[i]);
    ASSERT_TRUE(found.has_value()) << i;
    EXPECT_EQ(catalogue.Key(*found), keys[i]);
  }
  EXPECT_EQ(catalogue.Count(), 20U);
}

TEST(FileCatalogue, AddFindRemoveAtScale) {
  TFileCatalogue catalogue(NativePathRules());
  for (int i = 0; i < 20000; ++i)
    catalogue.Add("/tree/dir" + std::to_string(i % 97) + "/file" + std::to_string(i));
  for (int i = 0; i < 20000; i += 2) {
    catalogue.Remove(
        *catalogue.Find("/tree/dir" + std::to_string(i % 97) + "/file" + std::to_string(i)));
  }
  EXPECT_EQ(catalogue.Count(), 10000U);
  for (int i = 0; i < 20000; ++i) {
    const bool present =
        catalogue.Find("/tree/dir" + std::to_string(i % 97) + "/file" + std::to_string(i))
            .has_value();
    ASSERT_EQ(present, i % 2 == 1) << i;
  }
  const auto order = catalogue.SortedIndices();
  for (std::size_t i = 1; i < order.size(); ++i)
    ASSERT_TRUE(catalogue.KeyLess(order[i - 1], order[i]));
}

}  // namespace
}  // namespace warderon::testing

// The file monitor's deeper checks on real files: each change alone gives
// exactly its line, whether the cycle walks every tree or follows the
// kernel's change journal (Linux, as root), and switched off nothing of the
// catalogue changes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "fakes/recording_alerts.h"
#include "fakes/test_backends.h"
#include "monitors/files/monitor_module.h"
#include "platform/store/memory_policy_backend.h"

#ifdef _WIN32
#include "platform/win/win_support.h"
#else
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace warderon::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
// The file's last-write time set back to what it was before a change.
void KeepTime(const std::string& path, const std::function<void()>& change) {
  const auto time = fs::last_write_time(path);
  change();
  fs::last_write_time(path, time);
}

// A tree, its monitor, and what the monitor reports.
class DeepChecks : public ::testing::TestWithParam<bool> {
 protected:
  DeepChecks() : tree_(ScratchPath("deep")), outside_(ScratchPath("deep-outside")) {
    fs::create_directories(tree_);
    fs::create_directories(outside_);
    store_.WritePolicyBool("general", "FilesEnabled", true);
    SetList("IncludeDirs", {tree_});
  }
  ~DeepChecks() override {
    std::error_code ignored;
    fs::remove_all(tree_, ignored);
    fs::remove_all(outside_, ignored);
  }

  bool Followed() const { return GetParam(); }

  void SetUp() override {
    if (!Followed()) return;
    if (!journal_) GTEST_SKIP() << "no change journal on this platform";
    if (const std::string why_not = journal_->Follow({tree_}); !why_not.empty()) {
      GTEST_SKIP() << why_not;
    }
  }

  void SetList(const std::string& section, const std::vector<std::string>& entries) {
    TStringList list(section != "SpecialFiles");
    for (const auto& entry : entries) list.Add(entry);
    lists_.SaveBaselineList(section, list);
  }
  void Options(bool attributes, bool digests) {
    store_.WritePolicyInteger("general", "FilesAttributes", attributes ? 1 : 0);
    SetList("DigestDirs", digests ? std::vector<std::string>{tree_} : std::vector<std::string>{});
  }
  void Start() {
    const TChangeFollowing following{Followed() ? journal_.get() : nullptr, &cycle_, nullptr,
                                     [this] { return now_; }};
    module_ = std::make_unique<TMonitorModule>(store_, lists_, alerts_, *search_, catalogue_,
                                               NativePathRules(), following);
    module_->Initialize();
  }
  std::vector<std::string> Cycle() {
    alerts_.alerts.clear();
    module_->Run();
    std::vector<std::string> lines;
    for (const auto& alert : alerts_.alerts) {
      lines.insert(lines.end(), alert.details.begin(), alert.details.end());
    }
    return lines;
  }
  std::string Path(const std::string& name) const { return (fs::path(tree_) / name).string(); }

  std::string tree_;
  std::string outside_;
  std::string catalogue_ = ScratchPath("deep.lst");
  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  std::unique_ptr<TDirectorySearch> search_ = MakeSystemDirectorySearch();
  std::unique_ptr<TChangeJournal> journal_ = MakeSystemChangeJournal();
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
  std::unique_ptr<TMonitorModule> module_;
};

// A change, and the start of each line it must give (times vary).
struct TChangeCase {
  const char* what;
  bool digests;  // below "DigestDirs" (else the attributes alone)
  std::function<void(const std::string& file)> change;
  std::vector<std::string> lines;  // with P for the file's path
};

#ifndef _WIN32
std::vector<TChangeCase> ChangeCases(const std::string& outside) {
  return {
      {"chmod u+s",
       false,
       [](const std::string& f) { chmod(f.c_str(), 04755); },
       {" Changed Mode : P (0755->4755)"}},
      {"chown",
       false,
       [](const std::string& f) { ASSERT_EQ(lchown(f.c_str(), 54321, 54321), 0); },
       {" Changed Owner : P (root:root->54321:54321)"}},
      {"an ACL entry added",
       false,
       [](const std::string& f) {
         // As setfacl -m u:54321:r writes it: user, named user, group, mask, other.
         const std::uint8_t acl[] = {2,    0, 0, 0,                          //
                                     1,    0, 7, 0, 0xff, 0xff, 0xff, 0xff,  //
                                     2,    0, 4, 0, 0x31, 0xd4, 0,    0,     //
                                     4,    0, 5, 0, 0xff, 0xff, 0xff, 0xff,  //
                                     0x10, 0, 5, 0, 0xff, 0xff, 0xff, 0xff,
                                     0x20, 0, 5, 0, 0xff, 0xff, 0xff, 0xff};
         ASSERT_EQ(setxattr(f.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
       },
       {" Changed Security : P"}},
      {"a security label set",
       false,
       [](const std::string& f) {
         ASSERT_EQ(setxattr(f.c_str(), "security.warderon-test", "x", 1, 0), 0);
       },
       {" Changed Security : P"}},
      {"replaced by mv of a same-size file with its time",
       false,
       [outside](const std::string& f) {
         const std::string other = outside + "/other";
         Write(other, "ABCDEFGH");
         chmod(other.c_str(), 0755);
         fs::last_write_time(other, fs::last_write_time(f));
         fs::rename(other, f);
       },
       {" Replaced : P (identity "}},
      {"edited, its time restored",
       false,
       [](const std::string& f) { KeepTime(f, [&] { Write(f, "abcdXXXX"); }); },
       {" Time Reset : P (last write "}},
      {"a hard link added outside the trees",
       false,
       [outside](const std::string& f) { fs::create_hard_link(f, outside + "/link"); },
       {" Changed Links : P (1->2)"}},
      {"edited with its time restored, below DigestDirs",
       true,
       [](const std::string& f) { KeepTime(f, [&] { Write(f, "abcdXXXX"); }); },
       {" Changed Content : P", " Time Reset : P (content changed while"}},
  };
}
#else
std::vector<TChangeCase> ChangeCases(const std::string& outside) {
  return {
      {"made hidden",
       false,
       [](const std::string& f) {
         ASSERT_NE(SetFileAttributesW(win::Widen(f).c_str(), FILE_ATTRIBUTE_HIDDEN), FALSE);
       },
       {" Changed Mode : P (-->H)"}},
      {"replaced by a same-size file with its time",
       false,
       [outside](const std::string& f) {
         const std::string other = outside + "\\other";
         Write(other, "ABCDEFGH");
         fs::last_write_time(other, fs::last_write_time(f));
         ASSERT_NE(MoveFileExW(win::Widen(other).c_str(), win::Widen(f).c_str(),
                               MOVEFILE_REPLACE_EXISTING),
                   FALSE);
       },
       {" Replaced : P (identity "}},
      {"a same-size edit with SetFileTime back, below DigestDirs",
       true,
       [](const std::string& f) { KeepTime(f, [&] { Write(f, "abcdXXXX"); }); },
       {" Changed Content : P", " Time Reset : P (content changed while"}},
  };
}
#endif

TEST_P(DeepChecks, EachChangeAloneGivesExactlyItsLine) {
#ifndef _WIN32
  if (geteuid() != 0) GTEST_SKIP() << "owners and security labels are root's to set";
#endif
  for (const TChangeCase& row : ChangeCases(outside_)) {
    SCOPED_TRACE(row.what);
    fs::remove_all(tree_);
    fs::remove_all(outside_);
    fs::create_directories(tree_);
    fs::create_directories(outside_);
    fs::remove(catalogue_);
    fs::remove(catalogue_ + ".facts");
    const std::string file = Path("program");
    Write(file, "abcdefgh");
    Write(Path("bystander"), "unchanged");
#ifndef _WIN32
    chmod(file.c_str(), 0755);
#endif
    Options(!row.digests, row.digests);
    Start();
    EXPECT_EQ(Cycle(), std::vector<std::string>{}) << "taken in silently";
    row.change(file);
    now_ += std::chrono::minutes(1);
    const std::vector<std::string> lines = Cycle();
    ASSERT_EQ(lines.size(), row.lines.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string expected = row.lines[i];
      expected.replace(expected.find('P'), 1, module_->NormalisePath(file));
      EXPECT_EQ(lines[i].substr(0, expected.size()), expected) << lines[i];
    }
    EXPECT_EQ(Cycle(), std::vector<std::string>{}) << "reported once";
  }
}

TEST_P(DeepChecks, SwitchedOffNothingChangesAndSwitchingIsSilent) {
  Write(Path("a"), "a");
  Write(Path("b"), "bb");
#ifndef _WIN32
  fs::create_symlink("/etc/hostname", Path("link"));  // compared, never followed to be hashed
#endif
  Options(false, false);
  Start();
  Cycle();
  const std::string plain = ReadWhole(catalogue_);
  EXPECT_FALSE(fs::exists(catalogue_ + ".facts"));

  Options(true, true);
  EXPECT_EQ(Cycle(), std::vector<std::string>{}) << "switched on: taken in silently";
  EXPECT_EQ(Cycle(), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(catalogue_ + ".facts"));
  EXPECT_EQ(ReadWhole(catalogue_), plain) << "the catalogue keeps its format";
  // A restart reads the facts back: a change made while stopped is found.
  fs::permissions(Path("a"),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  Start();
  const auto while_stopped = Cycle();
  // (Wine also gives the read-only file another access list.)
  ASSERT_GE(while_stopped.size(), 1U);
  EXPECT_EQ(
      while_stopped[0].rfind(" Changed Mode : " + module_->NormalisePath(Path("a")) + " (", 0), 0U);
  EXPECT_EQ(Cycle(), std::vector<std::string>{});

  Options(false, false);
  EXPECT_EQ(Cycle(), std::vector<std::string>{}) << "switched off: silent";
  EXPECT_FALSE(fs::exists(catalogue_ + ".facts"));
  EXPECT_EQ(ReadWhole(catalogue_), plain);
  Write(Path("b"), "changed");
  const auto lines = Cycle();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].rfind(" Changed ", 0), 0U) << lines[0];
}

// A file larger than a cycle's budget is read across cycles, reported once
// it is read whole, and the backlog shows what waits.
TEST_P(DeepChecks, ContentBeyondTheBudgetWaitsAndIsReportedOnce) {
  const std::string big = Path("big");
  Write(big, std::string(5 << 20, 'a'));
  Options(false, true);
  store_.WritePolicyInteger("general", "DigestMBPerCycle", 1);
  store_.WritePolicyInteger("general", "DigestFullCheckHours", 0);
  Start();
  while (module_->DigestBacklog() > 0) ASSERT_EQ(Cycle(), std::vector<std::string>{});
  KeepTime(big, [&] {
    std::fstream edit(big, std::ios::binary | std::ios::in | std::ios::out);
    edit.seekp(3 << 20);
    edit << 'b';
  });
  now_ += std::chrono::minutes(1);
  std::vector<std::string> reported;
  int cycles = 0;
  do {
    const auto lines = Cycle();
    reported.insert(reported.end(), lines.begin(), lines.end());
    ++cycles;
  } while (module_->DigestBacklog() > 0 && cycles < 20);
  EXPECT_GE(cycles, 5) << "at most a megabyte a cycle";
  ASSERT_EQ(reported.size(), 2U) << ::testing::PrintToString(reported);
  EXPECT_EQ(reported[0], " Changed Content : " + module_->NormalisePath(big));

  // The periodic check: every file is hashed again within its hours, so
  // that a change no metadata shows is found.
  store_.WritePolicyInteger("general", "DigestFullCheckHours", 1);
  Cycle();  // the check starts counting
  EXPECT_EQ(module_->DigestBacklog(), 0U);
  now_ += std::chrono::hours(2);
  EXPECT_EQ(Cycle(), std::vector<std::string>{}) << "unchanged content is not reported";
  EXPECT_GT(module_->DigestBacklog(), 0U) << "hashed again, a megabyte a cycle";
}

INSTANTIATE_TEST_SUITE_P(Modes, DeepChecks, ::testing::Values(false, true),
                         [](const auto& mode) { return mode.param ? "Followed" : "Walked"; });

}  // namespace
}  // namespace warderon::testing

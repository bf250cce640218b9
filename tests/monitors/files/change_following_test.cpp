// Followed cycles against full walks on the same real tree: one monitor
// follows the kernel's change journal, a second walks everything, and both
// must report the same lines in the same order. Linux, as root (fanotify
// file-system marks); skipped elsewhere.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fakes/recording_alerts.h"
#include "fakes/test_backends.h"
#include "monitors/files/monitor_module.h"
#include "platform/store/memory_policy_backend.h"

namespace warderon::testing {
namespace {

namespace fs = std::filesystem;

// One monitor with its own store, lists, alerts and catalogue.
struct TMonitorUnderTest {
  TMonitorUnderTest(const std::string& name, TChangeFollowing following) {
    store.WritePolicyBool("general", "FilesEnabled", true);
    module =
        std::make_unique<TMonitorModule>(store, lists, alerts, *search, ScratchPath(name + ".lst"),
                                         NativePathRules(), std::move(following));
  }
  void SetList(const std::string& section, const std::vector<std::string>& entries) {
    TStringList list(section != "SpecialFiles");
    for (const auto& entry : entries) list.Add(entry);
    lists.SaveBaselineList(section, list);
  }
  std::vector<std::string> Cycle() {
    alerts.alerts.clear();
    module->Run();
    for (const auto& alert : alerts.alerts) {
      if (alert.subject == "file changes") return alert.details;
    }
    return {};
  }

  TMemoryPolicyBackend backend;
  TPolicyStore store{backend};
  TRecordingAlerts alerts;
  TCycleState cycle;
  TBaselineLists lists{store, alerts, cycle};
  std::unique_ptr<TDirectorySearch> search = MakeSystemDirectorySearch();
  std::unique_ptr<TMonitorModule> module;
};

class ChangeFollowing : public ::testing::Test {
 protected:
  ChangeFollowing() : tree_(ScratchPath("followed")), outside_(ScratchPath("outside")) {
    fs::create_directories(tree_ + "/a/b/c");
    fs::create_directories(tree_ + "/d");
    fs::create_directories(outside_);
    for (const char* file : {"top.txt", "a/one.txt", "a/b/two.txt", "a/b/c/three.txt", "d/four"}) {
      Write(file, file);
    }
  }
  ~ChangeFollowing() override {
    // A check that failed half-way must not leave a mount behind.
    umount2((tree_ + "/mnt").c_str(), MNT_DETACH);
    umount2(ram_.c_str(), MNT_DETACH);
    std::error_code ignored;
    fs::remove_all(tree_, ignored);
    fs::remove_all(outside_, ignored);
    fs::remove_all(ram_, ignored);
  }

  void SetUp() override {
    if (!journal_) GTEST_SKIP() << "no change journal on this platform";
    const std::string why_not = journal_->Follow({tree_});
    if (!why_not.empty()) GTEST_SKIP() << why_not;
  }

  void Start(const std::vector<std::string>& include,
             const std::vector<std::string>& exclude = {}) {
    for (TMonitorUnderTest* monitor : {&followed_, &walking_}) {
      monitor->SetList("IncludeDirs", include);
      monitor->SetList("ExcludeDirs", exclude);
      monitor->module->Initialize();
      monitor->Cycle();  // the start's walk serves the first cycle too
    }
  }
  void Start() { Start({tree_}); }

  // Both cycles; the followed one must not have walked everything.
  void ExpectSameReport(const std::string& what, bool followed_walks_everything = false) {
    const auto followed = followed_.Cycle();
    EXPECT_EQ(followed_.module->LastRunWalkedEverything(), followed_walks_everything) << what;
    const auto walked = walking_.Cycle();
    EXPECT_FALSE(walked.empty()) << what << ": the change script changed nothing";
    EXPECT_EQ(followed, walked) << what;
  }

  void Write(const std::string& relative, const std::string& text, bool append = false) {
    std::ofstream(tree_ + "/" + relative,
                  append ? std::ios::binary | std::ios::app : std::ios::binary)
        << text;
  }
  void Touch(const std::string& relative, int hours) {
    fs::last_write_time(tree_ + "/" + relative,
                        fs::file_time_type::clock::now() + std::chrono::hours(hours));
  }

  std::string tree_;
  std::string outside_;
  std::string ram_ = ScratchPath("ramfs");
  // Keeps fewer changed names than the program does, so that a test can go
  // beyond them.
  static constexpr std::size_t kKeptNames = 3000;
  std::unique_ptr<TChangeJournal> journal_ = MakeSystemChangeJournal(kKeptNames);
  std::vector<std::string> notes_;
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
  TMonitorUnderTest followed_{
      "followed", TChangeFollowing{journal_.get(), &followed_.cycle,
                                   [this](const std::string& note) { notes_.push_back(note); },
                                   [this] { return now_; }}};
  TMonitorUnderTest walking_{"walking", {}};
};

TEST_F(ChangeFollowing, FileChangesReportAsAFullWalkDoes) {
  Start();
  EXPECT_TRUE(followed_.Cycle().empty());
  EXPECT_FALSE(followed_.module->LastRunWalkedEverything()) << "a quiet cycle follows";
  walking_.Cycle();

  Write("a/new.txt", "new");
  Write("a/b/c/deeper.txt", "deeper");
  Write("newtop.txt", "x");
  Write("a/b/two.txt", "appended", true);
  Touch("d/four", 5);
  fs::remove(tree_ + "/a/one.txt");
  fs::rename(tree_ + "/top.txt", tree_ + "/d/renamed.txt");
  ExpectSameReport("create, append, touch, delete, rename");

  // Time and size at once: the time now, the size a cycle later.
  Write("a/b/two.txt", "and more", true);
  Touch("a/b/two.txt", 9);
  ExpectSameReport("a file whose time and size changed");
  ExpectSameReport("its size a cycle later, with no new event");

  Write("a/b/c/three.txt", "3", true);
  Write("d/four", "4", true);
  Write("a/b/c/fourth.txt", "x");
  Write("a/b/c/fifth.txt", "x");
  ExpectSameReport("changes in several directories keep the walk's order");
}

TEST_F(ChangeFollowing, TheFirstCycleAfterARestartReportsWhatWentMeanwhile) {
  Start();
  followed_.Cycle();
  walking_.Cycle();
  fs::remove(tree_ + "/a/one.txt");  // while the program is not running
  Write("d/while-down", "x");
  for (TMonitorUnderTest* monitor : {&followed_, &walking_}) monitor->module->Initialize();
  Write("d/during-the-start", "x");  // after the start's one walk
  ExpectSameReport("the first cycle after a start follows the start's walk");
  Write("d/after", "x");
  ExpectSameReport("then it follows");
}

TEST_F(ChangeFollowing, DirectoryChangesReportAsAFullWalkDoes) {
  fs::create_directories(outside_ + "/moved/in");
  std::ofstream(outside_ + "/moved/in/file") << "f";
  std::ofstream(outside_ + "/moved/top") << "t";
  Start();

  fs::create_directories(tree_ + "/made/x/y");
  Write("made/x/y/z.txt", "z");
  Write("made/m.txt", "m");
  fs::rename(outside_ + "/moved", tree_ + "/a/moved");
  ExpectSameReport("a directory created and one moved in");

  fs::rename(tree_ + "/a/b", outside_ + "/b");
  fs::remove_all(tree_ + "/made");
  ExpectSameReport("a directory moved out and one deleted");

  fs::remove(tree_ + "/d/four");
  fs::create_directories(tree_ + "/d/four/inner");
  Write("d/four/inner/file", "f");
  fs::remove_all(tree_ + "/a/moved/in");
  Write("a/moved/in", "now a file");
  ExpectSameReport("a file replaced by a directory, and a directory by a file");

  fs::rename(tree_ + "/a", tree_ + "/renamed");
  ExpectSameReport("a directory renamed within the tree");

  // A known directory moved into a new one, then changed: it is reported
  // by itself and lies in a subtree that is new; its files count once.
  fs::create_directories(tree_ + "/fresh");
  fs::rename(tree_ + "/renamed/moved", tree_ + "/fresh/moved");
  Write("fresh/moved/added-later.txt", "x");
  ExpectSameReport("a known directory moved into a new one");
}

TEST_F(ChangeFollowing, ExclusionsAndOverlappingRootsAreKept) {
  fs::create_directories(tree_ + "/a/skipped");
  Write("a/skipped/s.txt", "s");
  // The excluded directory is a root of its own as well: its files are
  // reported from there, after everything of the first root.
  Start({tree_, tree_ + "/a/b", tree_ + "/a/skipped"}, {tree_ + "/a/skipped"});
  Write("a/skipped/t.txt", "reported by the third root");
  Write("d/later.txt", "x");
  Write("zzz.txt", "x");
  Write("a/b/both.txt", "in both roots");
  Write("a/b/c/deep.txt", "in both roots");
  Write("a/direct.txt", "x");
  const auto followed = followed_.Cycle();
  EXPECT_EQ(followed, walking_.Cycle()) << "overlapping roots and an excluded directory";
  ASSERT_FALSE(followed.empty());
  EXPECT_EQ(followed.front(), " NEW FILE : " + tree_ + "/a/skipped/t.txt");
}

// A file under an inner second root whose time and size change, and a
// root that is a symbolic link inside another root (which the walk of the
// outer root does not follow): the same lines in the same order.
TEST_F(ChangeFollowing, InnerAndLinkedRootsReportInTheWalksOrder) {
  fs::create_directory_symlink(tree_ + "/d", tree_ + "/a/link");
  Start({tree_, tree_ + "/a", tree_ + "/a/link"});
  for (int round = 0; round < 2; ++round) {
    Write("a/one.txt", " and more", true);
    Touch("a/one.txt", round + 1);
    Write("d/four", " and more", true);
    Touch("d/four", round + 1);
    Write("a/b/new" + std::to_string(round), "n");
    ExpectSameReport("round " + std::to_string(round));
  }
}

// Bind mounts of the same file system, in a mount namespace of the test's
// own (nothing reaches the machine's): a directory shown again below the
// root, and a second root that is itself a bind mount.
TEST_F(ChangeFollowing, BindMountsAreFollowedUnderEveryPathTheyGive) {
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount namespace";
  }
  const std::string second = ScratchPath("second-root");
  for (const std::string& folder :
       {outside_ + "/src/deep", outside_ + "/src2", tree_ + "/bound", second}) {
    fs::create_directories(folder);
  }
  std::ofstream(outside_ + "/src/deep/s.txt") << "s";
  ASSERT_EQ(
      mount((outside_ + "/src").c_str(), (tree_ + "/bound").c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount((outside_ + "/src2").c_str(), second.c_str(), nullptr, MS_BIND, nullptr), 0);
  Start({tree_, second});
  std::ofstream(tree_ + "/bound/deep/through-the-tree.txt") << "n";
  ExpectSameReport("written through the tree's own path");
  std::ofstream(outside_ + "/src/deep/through-the-source.txt") << "n";
  std::ofstream(outside_ + "/src2/in-the-second-root.txt") << "n";
  ExpectSameReport("written through the source's path");
  umount2((tree_ + "/bound").c_str(), MNT_DETACH);
  umount2(second.c_str(), MNT_DETACH);
}

// A file system mounted at a folder whose name holds CR, FF and VT, which
// the mount table leaves raw.
TEST_F(ChangeFollowing, AMountAtAFolderWithOddCharactersIsFollowed) {
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount namespace";
  }
  const std::string odd = tree_ + "/odd\r\f\vname";
  fs::create_directories(odd);
  ASSERT_EQ(mount("warderon-test", odd.c_str(), "tmpfs", 0, "size=1m"), 0);
  Start();
  std::ofstream(odd + "/on-the-odd-mount") << "m";
  ExpectSameReport("a file on it");
  umount2(odd.c_str(), MNT_DETACH);
}

// A single file mounted over a tree file, as containers mount their
// resolv.conf: from the same file system, and from a tmpfs.
TEST_F(ChangeFollowing, AFileMountedOverATreeFileIsFollowed) {
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount namespace";
  }
  fs::create_directories(ram_);
  ASSERT_EQ(mount("warderon-test", ram_.c_str(), "tmpfs", 0, "size=1m"), 0);
  std::ofstream(outside_ + "/resolv.conf") << "nameserver 10.0.0.1\n";
  std::ofstream(ram_ + "/hosts") << "127.0.0.1 localhost\n";
  ASSERT_EQ(mount((outside_ + "/resolv.conf").c_str(), (tree_ + "/d/four").c_str(), nullptr,
                  MS_BIND, nullptr),
            0);
  ASSERT_EQ(
      mount((ram_ + "/hosts").c_str(), (tree_ + "/top.txt").c_str(), nullptr, MS_BIND, nullptr), 0);
  Start();
  std::ofstream(outside_ + "/resolv.conf", std::ios::app) << "nameserver 10.0.0.2\n";
  Touch("d/four", 2);
  ExpectSameReport("the same file system, written through the source");
  std::ofstream(tree_ + "/top.txt", std::ios::app) << "10.0.0.9 intruder\n";
  Touch("top.txt", 3);
  ExpectSameReport("a tmpfs file, written through the tree");
  umount2((tree_ + "/d/four").c_str(), MNT_DETACH);
  umount2((tree_ + "/top.txt").c_str(), MNT_DETACH);
}

// Every way found to change a catalogued file without an event that names
// its watched path (another mount of the file system is the bind-mount
// test's), each against the full walk in turn.
TEST_F(ChangeFollowing, ChangesThatNameNoWatchedPathAreSeenAsAWalkSeesThem) {
  const std::string early_link = outside_ + "/second-name";
  fs::create_hard_link(tree_ + "/a/one.txt", early_link);
  // Opened before anything follows the tree.
  const int early_descriptor = open((tree_ + "/d/four").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(early_descriptor, 0);
  Start();
  const auto through_link = [&](const char* text) {
    std::ofstream(early_link, std::ios::app) << text;
  };
  const auto set_time = [](const std::string& path, int hours) {
    fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::hours(hours));
  };
  const std::string late_link = outside_ + "/late-name";
  struct TStep {
    const char* what;
    std::function<void()> change;
    bool walks = false;  // the followed monitor may walk for it
  };
  const std::vector<TStep> steps = {
      {"appended through a link made before the start", [&] { through_link("more"); }},
      {"truncated through it", [&] { fs::resize_file(early_link, 1); }},
      {"its time set through it", [&] { set_time(early_link, 7); }},
      {"written through a descriptor opened before the start",
       [&] { ASSERT_EQ(write(early_descriptor, "w", 1), 1); }},
      {"written through a shared mapping (no write call)",
       [&] {
         const int fd = open((tree_ + "/a/b/two.txt").c_str(), O_RDWR | O_CLOEXEC);
         ASSERT_GE(fd, 0);
         void* map = mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
         ASSERT_NE(map, MAP_FAILED);
         close(fd);
         // The mapping's write time is taken at the first write fault; a
         // time set far back first makes it a change whatever the clock.
         set_time(tree_ + "/a/b/two.txt", -48);
         ExpectSameReport("the time set back before the mapped write");
         static_cast<char*>(map)[0] = 'M';
         msync(map, 4, MS_SYNC);
         munmap(map, 4);
       }},
      {"a link made later, then written through",
       [&] {
         fs::create_hard_link(tree_ + "/a/b/c/three.txt", late_link);
         std::ofstream(late_link, std::ios::app) << "late";
       },
       true},
      {"written through it again", [&] { std::ofstream(late_link, std::ios::app) << "again"; }},
      {"the early link removed, the file written in the tree",
       [&] {
         fs::remove(early_link);
         Write("a/one.txt", "tree", true);
       }},
  };
  for (const TStep& step : steps) {
    step.change();
    ExpectSameReport(step.what, step.walks);
  }
  close(early_descriptor);
}

TEST_F(ChangeFollowing, ChangesOutsideTheTreesAreDropped) {
  const std::string why_not = journal_->Follow({tree_});
  ASSERT_EQ(why_not, "");
  std::ofstream(outside_ + "/noise") << "n";
  fs::create_directories(outside_ + "/more");
  EXPECT_TRUE(journal_->TakeChanges().directories.empty());
  Write("inside.txt", "i");
  const TJournalChanges changes = journal_->TakeChanges();
  EXPECT_EQ(changes.walk_everything, "");
  ASSERT_EQ(changes.directories.size(), 1U);
  EXPECT_EQ(changes.directories[0].path, fs::canonical(tree_).string());
  ASSERT_EQ(changes.directories[0].names.size(), 1U);
  EXPECT_EQ(changes.directories[0].names[0].name, "inside.txt");
  EXPECT_TRUE(changes.directories[0].names[0].added);
}

TEST_F(ChangeFollowing, EachSafetyNetWalksEverythingForThatCycle) {
  Start();
  followed_.Cycle();
  walking_.Cycle();

  // More changed names in the tree than the journal keeps.
  for (std::size_t i = 0; i <= kKeptNames; ++i) Write("burst" + std::to_string(i), "b");
  ExpectSameReport("more changes than are kept", true);

  Write("x.txt", "x");
  for (TMonitorUnderTest* monitor : {&followed_, &walking_}) {
    monitor->SetList("ExcludeFiles", {tree_ + "/nothing"});
  }
  ExpectSameReport("changed lists", true);

  Write("y.txt", "y");
  followed_.cycle.GeneralUpdateRequested = true;
  ExpectSameReport("GeneralUpdate", true);
  followed_.cycle.GeneralUpdateRequested = false;

  Write("z.txt", "z");
  now_ += std::chrono::minutes(61);
  ExpectSameReport("an hour since the last full walk", true);
  Write("z2.txt", "z");
  ExpectSameReport("the next cycle follows again");

  followed_.store.WritePolicyInteger("general", "FilesFullWalkMinutes", 0);
  Write("w.txt", "w");
  ExpectSameReport("FilesFullWalkMinutes 0", true);
  followed_.store.WritePolicyInteger("general", "FilesFullWalkMinutes", 60);
  Write("w2.txt", "w");
  ExpectSameReport("FilesFullWalkMinutes 60 again");

  // A file system mounted under the tree, and taken away again.
  fs::create_directories(tree_ + "/mnt");
  ASSERT_EQ(mount("warderon-test", (tree_ + "/mnt").c_str(), "tmpfs", 0, "size=1m"), 0);
  std::ofstream(tree_ + "/mnt/on-the-mount") << "m";
  ExpectSameReport("a mount", true);
  std::ofstream(tree_ + "/mnt/second") << "m";
  ExpectSameReport("a file on the mounted file system is followed too");
  ASSERT_EQ(umount((tree_ + "/mnt").c_str()), 0);
  ExpectSameReport("an unmount", true);
  EXPECT_TRUE(notes_.empty());
}

// A busy file system (a spool, a build) beyond the kernel's queue between
// two cycles: the trees are still followed, and a busy folder that moves
// into a tree is followed like any other.
TEST_F(ChangeFollowing, ABusyFileSystemElsewhereIsNotWalked) {
  Start();
  fs::create_directories(outside_ + "/spool");
  std::ofstream(outside_ + "/spool/kept") << "k";
  // Each name's creation and removal may merge in the queue: one event.
  for (int i = 0; i < 17000; ++i) {
    const std::string name = outside_ + "/spool/m" + std::to_string(i);
    close(open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    unlink(name.c_str());
  }
  Write("after-the-burst.txt", "x");
  ExpectSameReport("17,000 names made and removed outside the tree");
  fs::rename(outside_ + "/spool", tree_ + "/spool");
  ExpectSameReport("the busy folder moved into the tree");
  Write("spool/written-after-the-move", "n");
  ExpectSameReport("a file in the moved folder");
}

// A root whose directory stays but whose path resolves elsewhere (its
// parent moved and a link put in its place) is walked in full, then
// followed again under its new path.
TEST_F(ChangeFollowing, ARootReachedByAnotherPathIsWalkedThenFollowedAgain) {
  const std::string parent = ScratchPath("parent");
  const std::string moved = ScratchPath("moved");
  fs::create_directories(parent + "/tree/sub");
  std::ofstream(parent + "/tree/sub/old.txt") << "o";
  Start({parent + "/tree"});
  fs::rename(parent, moved);
  fs::create_directory_symlink(moved, parent);
  std::ofstream(parent + "/tree/sub/new.txt") << "n";
  ExpectSameReport("a parent moved and linked", true);
  std::ofstream(parent + "/tree/sub/newer.txt") << "n";
  ExpectSameReport("followed again");
  fs::remove(parent);
  fs::remove_all(moved);
}

TEST_F(ChangeFollowing, AFileSystemThatCannotBeFollowedIsWalkedAndSaidOnce) {
  // ramfs has no file handles: fanotify cannot report its changes.
  const std::string& ram = ram_;
  fs::create_directories(ram);
  if (mount("warderon-test", ram.c_str(), "ramfs", 0, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount ramfs here";
  }
  std::ofstream(ram + "/r.txt") << "r";
  Start({tree_, ram});
  std::ofstream(ram + "/s.txt") << "s";
  ExpectSameReport("a tree on ramfs", true);
  Write("t.txt", "t");
  ExpectSameReport("and again", true);
  ASSERT_EQ(notes_.size(), 1U);
  EXPECT_NE(notes_[0].find(ram), std::string::npos) << notes_[0];
}

}  // namespace
}  // namespace warderon::testing

// The file integrity monitor: a catalogue of every file below the
// "IncludeDirs" (and the "SpecialFiles"), with last-write time and size,
// kept across restarts in a catalogue file. Each enabled cycle walks the
// directories again and reports new, erased, touched and resized files in
// one "file changes" alert. Only directory metadata is compared; no file is
// opened.
//
// Where a change journal follows the trees, a cycle looks only at the
// directories the journal names (and at what appeared below them), and
// reports exactly what a full walk would: the same lines in the same order.
// A full walk is taken at start, when the lists change, on "GeneralUpdate",
// when the journal may have missed something, and at least every
// "FilesFullWalkMinutes".
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/cycle_state.h"
#include "core/string_list.h"
#include "monitors/files/deep_checks.h"
#include "monitors/files/file_catalogue.h"
#include "platform/files/change_journal.h"
#include "platform/files/directory_search.h"
#include "platform/files/path_rules.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

// What the monitor needs to follow changes instead of walking every cycle.
struct TChangeFollowing {
  TChangeJournal* journal = nullptr;   // null: every cycle walks in full
  const TCycleState* cycle = nullptr;  // its "GeneralUpdate" request forces a full walk
  // Told once why changes cannot be followed (the console; not an alert).
  std::function<void(const std::string&)> note;
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
};

class TMonitorModule final : public TCycleModule {
 public:
  TMonitorModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                 TDirectorySearch& search, std::string catalogue_path,
                 TPathRules rules = NativePathRules(), TChangeFollowing following = {});

  // The creation sequence: configuration, catalogue, one scan, save. It
  // reports nothing.
  void Initialize() override;
  // Under "FilesEnabled": configuration, scan, report.
  void Run() override;

  const TFileCatalogue& FileList() const { return FileList_; }
  std::uint64_t ScanCount() const { return ScanCount_; }
  // Whether the last run walked every tree (else it followed the journal).
  bool LastRunWalkedEverything() const { return last_walk_full_; }
  std::size_t FollowingMemoryBytes() const;
  // Whether changes are followed now, and about how many directories.
  bool FollowingChanges() const { return following_active_; }
  std::size_t FollowedDirectories() const;
  std::string NormalisePath(std::string_view path) const;
  // The deeper checks ("FilesAttributes", "DigestDirs"): whether they are on,
  // and the bytes of content still waiting to be hashed.
  bool DeepChecksActive() const { return deep_.Active(); }
  std::uint64_t DigestBacklog() const { return deep_.Backlog(FileList_); }

 private:
  void LoadFileList();
  void SaveFileList();
  void ConfigureDeepChecks();
  void SaveDeepChecks();
  std::string FactsPath() const { return catalogue_path_ + ".facts"; }
  bool config_known_ = false;
  bool start_walk_pending_ = false;  // the start could not read the trees
  // True when the trees are known: read now, or kept from the last read
  // that worked (a read that fails never empties them).
  bool ReadFileConfig();
  // The start's walk that takes the trees in silently, and following.
  void StartWatching();
  bool IsExcludedDir(std::string_view path) const;
  bool IsExcludedFile(std::string_view path) const;
  void ScanFiles();
  // Walks a tree depth-first, in the order the directory search returns
  // entries, with a stack of its own: any depth costs heap, not stack.
  // With a handle: the tree is walked from it (already open, not by path).
  void ScanDirectory(const std::string& path, std::unique_ptr<TOpenDirectory> handle = nullptr);
  void ScanSpecial(const std::string& pattern);
  void EnterDirectory(std::string directory, std::unique_ptr<TOpenDirectory> handle);
  void VisitNextEntry();
  void ReportWalkFailure(const std::exception& error, const std::string& directory,
                         std::string_view current, const char* label);
  void RecordFile(const std::string& path, const TFoundEntry& entry, bool special);
  // Erased are the unseen records among candidates (null: the whole catalogue).
  void ReportFileChanges(const std::vector<TRecordIndex>* candidates = nullptr);

  // Change following.
  struct TRootAlias {
    std::string key;   // the IncludeDirs entry, as keys begin
    std::string real;  // where it really is, as the journal names directories
  };
  bool ChooseFullWalk(TJournalChanges& changes);
  void StartFollowing();
  std::string ListsFingerprint() const;
  void ScanChanges(const TJournalChanges& changes, std::vector<TRecordIndex>& candidates);
  void ScanChangedDirectory(const std::string& root_key, TOpenDirectory* root_handle,
                            const std::string& key_dir, const TChangedDirectory& changed,
                            std::vector<TRecordIndex>& candidates,
                            std::vector<std::string>& prefixes);
  bool RootReaches(std::size_t root, std::string_view key) const;  // its walk visits key
  // The first root whose walk visits key, by its path and by what the walk
  // enters: a walk does not follow a symbolic link to a directory, so a
  // file reached through one belongs to a root that is the link or below.
  int FirstRootWalkingTo(std::string_view key);
  int FirstRootReaching(std::string_view key) const;
  void LookAgain(const std::vector<std::string>& keys,
                 std::vector<std::unique_ptr<TOpenDirectory>>& root_handles,
                 std::vector<TRecordIndex>& candidates);
  void SortInWalkOrder(std::vector<TRecordIndex>& changes);
  std::size_t ListingPosition(std::string_view directory, std::string_view name);
  std::string ReportLine(TRecordIndex index) const;
  void ForgetChanges();
  std::string PathKey(std::string_view path) const;  // how exclusion lists compare
 public:
  // Files with several names followed by their number; beyond it each
  // cycle walks in full.
  static constexpr std::size_t kMaxLinkedFiles = 65536;

 private:
  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TDirectorySearch& search_;
  std::string catalogue_path_;
  TPathRules rules_;

  TFileCatalogue FileList_;
  std::vector<TRecordIndex> FileChanges_;
  // What this cycle's changes replaced, by record: few, and only until the
  // report.
  struct TPreviousValues {
    double time = 0.0;
    std::int64_t size = 0;
  };
  std::unordered_map<TRecordIndex, TPreviousValues> previous_;
  std::vector<std::string> IncludeDirs_;          // normalised, sorted
  std::unordered_set<std::string> ExcludeDirs_;   // by PathKey of the normalised path
  std::unordered_set<std::string> ExcludeFiles_;  // by PathKey of the normalised path
  std::vector<std::string> SpecialFiles_;         // literal, in section order
  std::vector<std::string> DigestDirs_;           // normalised, each with its separator
  std::uint32_t ScanCount_ = 0;
  std::string key_;  // reused for every file's key

  TChangeFollowing following_;
  bool following_active_ = false;  // the journal follows the current lists
  bool said_why_not_ = false;
  bool first_cycle_due_ = false;
  std::uint32_t creation_scan_count_ = 0;  // the ScanCount_ of the start-up scan
  bool creation_scan_ = false;             // the silent scan at start-up is running
  bool last_walk_full_ = true;
  std::string lists_fingerprint_;
  std::chrono::steady_clock::time_point last_full_walk_{};
  std::vector<TRootAlias> roots_;
  std::vector<std::string> special_keys_;  // recorded by "SpecialFiles" in the last scan
  std::vector<std::string> look_again_;    // files whose size is still to be compared
  // Files with more than one name, by key, with their number: a change
  // through a name outside the trees names no watched directory, so each
  // followed cycle looks at them. Beyond the bound every cycle walks.
  std::unordered_map<std::string, std::uint64_t> linked_files_;
  bool too_many_linked_files_ = false;
  void NoteLinks(const TFoundEntry& entry);
  bool LinkedFilesNeedAWalk(const TJournalChanges& changes) const;
  // Readdir order of the directories the current sort looked at, found by
  // string_view without copying keys.
  struct TViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  using TPositions = std::unordered_map<std::string, std::size_t, TViewHash, std::equal_to<>>;
  std::unordered_map<std::string, TPositions, TViewHash, std::equal_to<>> listings_;
  // Of this cycle: whether a root's walk enters a directory ("R\tPATH").
  std::unordered_map<std::string, bool> entered_;

  // One level of the walk: the directory's entries, read in full, and how
  // far the walk has come through them.
  struct TListedEntry {
    std::size_t name_offset = 0;
    std::size_t name_length = 0;
    bool is_directory = false;
    double time = 0.0;
    std::uint64_t size = 0;
    std::uint64_t id = 0;
    std::uint32_t links = 1;
  };
  struct TWalkLevel {
    std::string directory;  // with a trailing separator
    std::unique_ptr<TOpenDirectory> handle;
    std::string names;
    std::vector<TListedEntry> entries;
    std::size_t next = 0;
  };
  std::vector<TWalkLevel> levels_;  // kept between walks for their buffers
  std::size_t depth_ = 0;
  std::string current_;  // the entry being visited
  std::string full_;     // its full path

  TDeepChecks deep_;
};

}  // namespace warderon

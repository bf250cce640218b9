// A change journal: the file system tells the file monitor which
// directories changed since the last look, so that a cycle need not walk
// every watched tree. Linux: fanotify file-system marks reporting the
// directory and name of each change (root only). Windows has none yet (its
// USN journal would fit the same interface); the monitor then walks in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace warderon {

struct TChangedName {
  std::string name;
  bool directory = false;  // the name is, or was, a directory
  bool added = false;      // created or moved in (a directory's subtree is then new)
  bool removed = false;    // deleted or moved out
};

struct TChangedDirectory {
  std::string path;  // as the file system resolves it now
  std::vector<TChangedName> names;
};

struct TJournalChanges {
  // Empty when the directories below are all that changed; else why a full
  // walk is needed (an overflow of the event queue, a mount, ...).
  std::string walk_everything;
  std::vector<TChangedDirectory> directories;
  // Watched files (by the number NoteFile was given) that got another name
  // since the last look: a change through that name names no watched path.
  std::vector<std::uint64_t> linked_files;
};

class TChangeJournal {
 public:
  virtual ~TChangeJournal() = default;
  // (Re)starts following the file systems of the roots, forgetting what was
  // noted: what happens from now on is reported. Empty when it can; else
  // the reason it cannot (the journal then reports nothing).
  virtual std::string Follow(const std::vector<std::string>& roots) = 0;
  // A directory of the watched trees, by the number its file system gives
  // it (0: unknown), as the walk enters it. Changes in directories never
  // noted are dropped before any path is looked at.
  virtual void NoteDirectory(std::uint64_t id) = 0;
  // A file of the watched trees, by its number, as the walk records it: a
  // name added to it elsewhere is then reported in linked_files.
  virtual void NoteFile(std::uint64_t id) { static_cast<void>(id); }
  // Also reports, in linked_files, watched files whose link count changed
  // by a name made or removed anywhere (the file monitor's deeper checks
  // compare link counts). Off by default: it costs a look at every file
  // whose last name goes on the followed file systems.
  virtual void FollowLinkCounts(bool on) { static_cast<void>(on); }
  // What changed since Follow or the last call. Changes that the caller
  // missed while it walked are reported again next time: a change is never
  // lost between the two.
  virtual TJournalChanges TakeChanges() = 0;
  // A path as the journal names directories (symbolic links resolved).
  virtual std::string ResolvePath(const std::string& path) const = 0;
  // Memory of the journal's own tables, for the benchmark.
  virtual std::size_t MemoryBytes() const = 0;
  // About how many directories are followed (noted since Follow).
  virtual std::size_t DirectoryCount() const = 0;
};

// How many changed names are kept between two cycles; beyond that the next
// cycle walks everything (a walk is then cheaper than the list).
constexpr std::size_t kJournalKeptNames = 262144;

// Null where the platform offers no journal.
std::unique_ptr<TChangeJournal> MakeSystemChangeJournal(std::size_t kept_names = kJournalKeptNames);

}  // namespace warderon

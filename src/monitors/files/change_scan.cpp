// The file monitor's followed cycles: only the directories the change
// journal names are looked at, and the changes found are put in the order a
// full walk would have found them, so that the report is the same.
#include <algorithm>
#include <climits>
#include <set>
#include <string_view>
#include <utility>

#include "monitors/files/monitor_module.h"

namespace warderon {
namespace {

constexpr std::int32_t kDefaultFullWalkMinutes = 60;

// The part of path below top ("" for top itself, else starting with "/"),
// or nothing when path is not top or below it.
std::optional<std::string> Below(const std::string& path, const std::string& top) {
  if (path == top) return std::string();
  if (top == "/") return path.size() > 1 && path[0] == '/' ? std::optional(path) : std::nullopt;
  if (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
      path[top.size()] == '/') {
    return path.substr(top.size());
  }
  return std::nullopt;
}

// A root's key with the separator after it.
std::string DirectoryPrefix(const std::string& directory) {
  return directory.ends_with('/') ? directory : directory + "/";
}

}  // namespace

bool TMonitorModule::ChooseFullWalk(TJournalChanges& changes) {
  const std::int32_t minutes =
      store_.ReadPolicyInteger("general", "FilesFullWalkMinutes", kDefaultFullWalkMinutes);
  if (following_.journal == nullptr || !rules_.case_sensitive) return true;
  bool full = !following_active_ || ListsFingerprint() != lists_fingerprint_ ||
              (following_.cycle != nullptr && following_.cycle->GeneralUpdateRequested) ||
              minutes <= 0 || following_.now() - last_full_walk_ >= std::chrono::minutes(minutes);
  // Only when nothing else calls for a full walk: following anew drops
  // whatever is queued anyway.
  if (!full) {
    changes = following_.journal->TakeChanges();
    full = !changes.walk_everything.empty() || LinkedFilesNeedAWalk(changes);
  }
  if (full) StartFollowing();
  return full;
}

void TMonitorModule::StartFollowing() {
  following_active_ = false;
  if (following_.journal == nullptr || !rules_.case_sensitive) return;
  roots_.clear();
  for (const std::string& directory : IncludeDirs_) {
    roots_.push_back({directory, following_.journal->ResolvePath(directory)});
  }
  lists_fingerprint_ = ListsFingerprint();
  last_full_walk_ = following_.now();
  special_keys_.clear();
  linked_files_.clear();
  too_many_linked_files_ = false;
  // Followed from before the walk: a change during the walk is either seen
  // by it or reported next time.
  const std::string why_not = following_.journal->Follow(IncludeDirs_);
  if (why_not.empty()) {
    following_active_ = true;
  } else if (!said_why_not_ && following_.note) {
    following_.note("the file monitor walks every watched tree each cycle: " + why_not);
    said_why_not_ = true;
  }
}

std::string TMonitorModule::ListsFingerprint() const {
  std::string fingerprint;
  const auto add = [&fingerprint](std::vector<std::string> entries) {
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) fingerprint.append(entry).push_back('\0');
    fingerprint.push_back('\1');
  };
  add(IncludeDirs_);
  add({ExcludeDirs_.begin(), ExcludeDirs_.end()});
  add({ExcludeFiles_.begin(), ExcludeFiles_.end()});
  add(SpecialFiles_);
  add(DigestDirs_);
  // Switched on, every file is visited once to be taken in.
  if (deep_.Attributes()) fingerprint += "attributes";
  return fingerprint;
}

void TMonitorModule::ScanChanges(const TJournalChanges& changes,
                                 std::vector<TRecordIndex>& candidates) {
  ++ScanCount_;
  ForgetChanges();
  // Taken before this cycle's own visits add to it for the next one.
  const std::vector<std::string> looked_at_last_time = std::move(look_again_);
  look_again_.clear();
  std::vector<std::string> prefixes;  // directories gone or new: their catalogued files are checked
  // Each changed directory as every root whose walk reaches it names it.
  struct TWork {
    std::size_t root;
    std::string key_dir;
    const TChangedDirectory* changed;
  };
  std::vector<TWork> work;
  std::unordered_set<std::string> new_subtrees;  // walked in full below: "dir/"
  for (const TChangedDirectory& changed : changes.directories) {
    for (std::size_t r = 0; r < roots_.size(); ++r) {
      const auto rest = Below(changed.path, roots_[r].real);
      if (!rest) continue;
      std::string key_dir = roots_[r].key == "/" && !rest->empty() ? *rest : roots_[r].key + *rest;
      for (const TChangedName& name : changed.names) {
        if (name.added) new_subtrees.insert(DirectoryPrefix(key_dir) + name.name + "/");
      }
      work.push_back({r, std::move(key_dir), &changed});
    }
  }
  // A directory inside a subtree that is walked in full this cycle is not
  // looked at again: a file is visited once per root, as in a full walk.
  const auto inside_new_subtree = [&new_subtrees](const std::string& key_dir) {
    const std::string path = DirectoryPrefix(key_dir);
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      if (new_subtrees.contains(path.substr(0, slash + 1))) return true;
    }
    return false;
  };
  std::set<std::pair<std::size_t, std::string>> looked_at;
  std::vector<std::unique_ptr<TOpenDirectory>> root_handles(roots_.size());
  for (const TWork& item : work) {
    if (inside_new_subtree(item.key_dir)) continue;
    if (!looked_at.emplace(item.root, item.key_dir).second) continue;
    auto& root_handle = root_handles[item.root];
    if (!root_handle) root_handle = search_.OpenDirectory(roots_[item.root].key);
    ScanChangedDirectory(roots_[item.root].key, root_handle.get(), item.key_dir, *item.changed,
                         candidates, prefixes);
  }
  LookAgain(looked_at_last_time, root_handles, candidates);
  std::vector<std::string> linked;
  linked.reserve(linked_files_.size());
  for (const auto& [key, id] : linked_files_) {
    if (FileList_.Find(key)) linked.push_back(key);
  }
  // A file that left the catalogue is no longer followed by its number.
  if (linked.size() != linked_files_.size()) {
    std::erase_if(linked_files_, [this](const auto& item) { return !FileList_.Find(item.first); });
  }
  LookAgain(linked, root_handles, candidates);
  const std::size_t tree_changes = FileChanges_.size();

  // The patterns are matched in full, as always; a file they named last time
  // and no longer do is a candidate for erasure like any unvisited one.
  const std::vector<std::string> named_before = std::move(special_keys_);
  special_keys_.clear();
  for (const std::string& pattern : SpecialFiles_) ScanSpecial(pattern);
  for (const std::string& key : named_before) {
    const auto index = FileList_.Find(key);
    if (!index || FileList_.Record(*index).LastSeen == ScanCount_) continue;
    // Still in a watched tree: it is seen there, unless it is gone.
    if (FirstRootReaching(key) >= 0) {
      const auto slash = key.rfind('/');
      const auto folder = search_.OpenDirectory(key.substr(0, slash == 0 ? 1 : slash));
      const auto entry =
          folder ? search_.Find(*folder, std::string_view(key).substr(slash + 1)) : std::nullopt;
      if (entry && !entry->is_directory) {
        FileList_.Record(*index).LastSeen = ScanCount_;
        continue;
      }
    }
    candidates.push_back(*index);
  }

  if (!prefixes.empty()) {
    // Rare (a directory removed, replaced or moved): one pass over the
    // catalogue finds the files that were below it.
    std::unordered_set<std::string_view> below(prefixes.begin(), prefixes.end());
    FileList_.ForEach([&](TRecordIndex index, const FileData& record) {
      if (record.LastSeen == ScanCount_) return;
      // A prefix ends with a separator: it lies within the directory part.
      const std::string_view directory = FileList_.Directory(index);
      for (std::size_t slash = directory.find('/'); slash != std::string_view::npos;
           slash = directory.find('/', slash + 1)) {
        if (below.contains(directory.substr(0, slash + 1))) {
          candidates.push_back(index);
          return;
        }
      }
    });
  }
  std::vector<TRecordIndex> in_trees(
      FileChanges_.begin(), FileChanges_.begin() + static_cast<std::ptrdiff_t>(tree_changes));
  SortInWalkOrder(in_trees);
  std::copy(in_trees.begin(), in_trees.end(), FileChanges_.begin());
  listings_.clear();
  entered_.clear();
}

void TMonitorModule::ScanChangedDirectory(const std::string& root_key, TOpenDirectory* root_handle,
                                          const std::string& key_dir,
                                          const TChangedDirectory& changed,
                                          std::vector<TRecordIndex>& candidates,
                                          std::vector<std::string>& prefixes) {
  // A directory the walk would not enter is not looked at either.
  const std::string root_prefix = DirectoryPrefix(root_key);
  for (std::size_t slash = key_dir.find('/', root_prefix.size());;
       slash = key_dir.find('/', slash + 1)) {
    const std::string_view step = std::string_view(key_dir).substr(0, slash);
    if (step.size() >= root_prefix.size() && IsExcludedDir(step)) return;
    if (slash == std::string::npos) break;
  }
  std::unique_ptr<TOpenDirectory> below;
  TOpenDirectory* directory = root_handle;
  if (root_handle != nullptr && key_dir.size() > root_prefix.size()) {
    below = search_.OpenBelow(*root_handle, std::string_view(key_dir).substr(root_prefix.size()));
    directory = below.get();
  }
  const std::string folder = DirectoryPrefix(key_dir);
  for (const TChangedName& name : changed.names) {
    const std::string full = folder + name.name;
    const auto entry = directory ? search_.Find(*directory, name.name) : std::nullopt;
    if (entry && !entry->is_directory) {
      if (!IsExcludedFile(full)) RecordFile(folder, *entry, false);
    } else if (entry && name.added && !IsExcludedDir(full)) {
      // New, or moved in: nothing below it was followed before. Opened
      // from its directory, never through a link put in its place.
      if (auto subtree = search_.OpenSubdirectory(*directory, name.name)) {
        following_.journal->NoteDirectory(entry->id);
        ScanDirectory(full, std::move(subtree));
      }
    }
    // A directory that went, came or was replaced: what was catalogued
    // below it is checked (a directory whose attributes changed is not).
    if (name.directory && (name.added || name.removed)) prefixes.push_back(full + "/");
    if (const auto index = FileList_.Find(full)) candidates.push_back(*index);
  }
}

// The files whose time changed last cycle while their size differed: a full
// walk compares their size now, so a followed cycle looks at them again.
void TMonitorModule::LookAgain(const std::vector<std::string>& keys,
                               std::vector<std::unique_ptr<TOpenDirectory>>& root_handles,
                               std::vector<TRecordIndex>& candidates) {
  for (const std::string& key : keys) {
    const auto index = FileList_.Find(key);
    if (!index || FileList_.Record(*index).LastSeen == ScanCount_) continue;  // seen already
    candidates.push_back(*index);
    const std::size_t slash = key.rfind('/');
    // Once for each root whose walk reaches it, as a full walk visits it;
    // a special file is matched in full anyway.
    for (std::size_t r = 0; r < roots_.size(); ++r) {
      if (!RootReaches(r, key)) continue;
      const std::string root_prefix = DirectoryPrefix(roots_[r].key);
      auto& root_handle = root_handles[r];
      if (!root_handle) root_handle = search_.OpenDirectory(roots_[r].key);
      if (!root_handle) continue;
      std::unique_ptr<TOpenDirectory> below;
      TOpenDirectory* directory = root_handle.get();
      if (slash + 1 > root_prefix.size()) {
        below = search_.OpenBelow(
            *root_handle,
            std::string_view(key).substr(root_prefix.size(), slash - root_prefix.size()));
        directory = below.get();
      }
      const std::string_view name = std::string_view(key).substr(slash + 1);
      const auto entry = directory ? search_.Find(*directory, name) : std::nullopt;
      if (entry && !entry->is_directory && !IsExcludedFile(key)) {
        RecordFile(key.substr(0, slash + 1), *entry, false);
      }
    }
  }
}

// While following: a file recorded with several names is looked at every
// cycle, and the journal learns its number.
void TMonitorModule::NoteLinks(const TFoundEntry& entry) {
  following_.journal->NoteFile(entry.id);
  if (entry.links <= 1) {
    if (!linked_files_.empty()) linked_files_.erase(key_);
  } else if (linked_files_.size() < kMaxLinkedFiles || linked_files_.contains(key_)) {
    linked_files_[key_] = entry.id;
  } else {
    too_many_linked_files_ = true;
  }
}

// A watched file got another name since the last cycle (the journal says
// so by its number) and is not followed by it yet: a walk finds it and any
// change made through that name.
bool TMonitorModule::LinkedFilesNeedAWalk(const TJournalChanges& changes) const {
  if (too_many_linked_files_) return true;
  if (changes.linked_files.empty()) return false;
  std::unordered_set<std::uint64_t> known;
  for (const auto& [key, id] : linked_files_) known.insert(id);
  return std::any_of(changes.linked_files.begin(), changes.linked_files.end(),
                     [&known](std::uint64_t id) { return !known.contains(id); });
}

bool TMonitorModule::RootReaches(std::size_t root, std::string_view key) const {
  const std::string prefix = DirectoryPrefix(IncludeDirs_[root]);
  if (key.size() <= prefix.size() || key.substr(0, prefix.size()) != prefix) return false;
  for (std::size_t slash = key.find('/', prefix.size()); slash != std::string_view::npos;
       slash = key.find('/', slash + 1)) {
    if (IsExcludedDir(key.substr(0, slash))) return false;
  }
  return true;
}

int TMonitorModule::FirstRootReaching(std::string_view key) const {
  for (std::size_t r = 0; r < IncludeDirs_.size(); ++r) {
    if (RootReaches(r, key)) return static_cast<int>(r);
  }
  return -1;
}
int TMonitorModule::FirstRootWalkingTo(std::string_view key) {
  const std::size_t slash = key.rfind('/');
  const std::string_view directory = key.substr(0, slash == 0 ? 1 : slash);
  for (std::size_t r = 0; r < IncludeDirs_.size(); ++r) {
    if (!RootReaches(r, key)) continue;
    const std::string& root = IncludeDirs_[r];
    if (directory.size() <= root.size()) return static_cast<int>(r);  // the root's own files
    const std::string cache_key = std::to_string(r) + "\t" + std::string(directory);
    auto entered = entered_.find(cache_key);
    if (entered == entered_.end()) {
      bool opened = false;
      if (const auto top = search_.OpenDirectory(root)) {
        const std::size_t start = DirectoryPrefix(root).size();
        opened = search_.OpenBelow(*top, directory.substr(start)) != nullptr;
      }
      entered = entered_.emplace(cache_key, opened).first;
    }
    if (entered->second) return static_cast<int>(r);
  }
  return -1;
}

std::size_t TMonitorModule::ListingPosition(std::string_view directory, std::string_view name) {
  auto listing = listings_.find(directory);
  if (listing == listings_.end()) {
    listing = listings_.emplace(std::string(directory), TPositions()).first;
    if (const auto open = search_.OpenDirectory(listing->first)) {
      auto& positions = listing->second;
      search_.ListNames(*open, [&positions](std::string_view entry, bool) {
        positions.emplace(std::string(entry), positions.size());
      });
    }
  }
  const auto found = listing->second.find(name);
  return found == listing->second.end() ? SIZE_MAX : found->second;
}

// The order of a full walk: roots in their sorted order, and below a root
// each directory's entries in the order the file system lists them, a
// subdirectory's files at the subdirectory's place.
void TMonitorModule::SortInWalkOrder(std::vector<TRecordIndex>& changes) {
  struct TPlaced {
    TRecordIndex index;
    int root;
    std::string key;
  };
  std::vector<TPlaced> placed;
  placed.reserve(changes.size());
  for (const TRecordIndex index : changes) {
    std::string key = FileList_.Key(index);
    const int root = FirstRootWalkingTo(key);
    placed.push_back({index, root < 0 ? INT_MAX : root, std::move(key)});
  }
  std::stable_sort(placed.begin(), placed.end(), [this](const TPlaced& a, const TPlaced& b) {
    if (a.root != b.root) return a.root < b.root;
    const auto differ = std::mismatch(a.key.begin(), a.key.end(), b.key.begin(), b.key.end());
    const auto at = static_cast<std::size_t>(differ.first - a.key.begin());
    const std::size_t slash = a.key.rfind('/', at == 0 ? 0 : at - 1);
    if (slash == std::string::npos) return a.key < b.key;
    const std::string_view parent =
        slash == 0 ? std::string_view("/") : std::string_view(a.key).substr(0, slash);
    const auto component = [slash](const std::string& key) {
      const std::size_t end = key.find('/', slash + 1);
      return std::string_view(key).substr(
          slash + 1, end == std::string::npos ? std::string::npos : end - slash - 1);
    };
    const std::string_view name_a = component(a.key);
    const std::string_view name_b = component(b.key);
    const std::size_t position_a = ListingPosition(parent, name_a);
    const std::size_t position_b = ListingPosition(parent, name_b);
    if (position_a != position_b) return position_a < position_b;
    return name_a < name_b;
  });
  for (std::size_t i = 0; i < placed.size(); ++i) changes[i] = placed[i].index;
}

std::size_t TMonitorModule::FollowingMemoryBytes() const {
  std::size_t bytes = following_.journal ? following_.journal->MemoryBytes() : 0;
  for (const std::string& key : special_keys_) bytes += sizeof key + key.capacity();
  return bytes;
}

std::size_t TMonitorModule::FollowedDirectories() const {
  return following_active_ && following_.journal ? following_.journal->DirectoryCount() : 0;
}

}  // namespace warderon

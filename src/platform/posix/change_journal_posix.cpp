// The change journal from fanotify: one group with a file-system mark on
// each file system the watched trees live on, reporting the directory (as a
// file handle) and the name of each change. The kernel merges repeated
// events of a name until they are read, so a file written a thousand times
// a minute costs one event. Events come from the whole file system: a
// directory is first checked against the sorted numbers of the watched
// directories (one open by handle and one fstat), and only those inside get
// their path looked up.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

#include "platform/change_journal.h"
#include "platform/posix/mount_table.h"
#include "platform/posix/unique_fd.h"

namespace warderon {
namespace {

// The note says it before: "the file monitor walks every watched tree each
// cycle: ...".
constexpr char kNeedsRoot[] = "following changes needs root (or the CAP_SYS_ADMIN capability)";

constexpr std::uint64_t kEventMask =
    FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_MODIFY | FAN_ATTRIB | FAN_ONDIR;

std::string ReadMountTable() {
  std::ifstream in("/proc/self/mountinfo");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint64_t FsidKey(const fsid_t& fsid) {
  std::uint64_t key = 0;
  static_assert(sizeof fsid == sizeof key);
  std::memcpy(&key, &fsid, sizeof key);
  return key;
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string result(real);
  std::free(real);
  return result;
}

class TFanotifyJournal final : public TChangeJournal {
  // A single file mounted over a tree file.
  struct TFileMount {
    std::uint64_t fsid;
    dev_t device;  // the mounted file's identity
    ino_t inode;
    std::string place;             // where it is mounted
    std::string target_directory;  // its directory and name there, links resolved
    std::string target_name;
  };

 public:
  std::string Follow(const std::vector<std::string>& roots) override {
    group_.Reset();
    mount_paths_.clear();
    roots_.clear();
    file_mounts_.clear();
    // The walk that follows notes about as many directories as the last one.
    const std::size_t expected = ids_.size() + pending_.size();
    std::vector<std::uint64_t>().swap(ids_);  // "= {}" would keep the memory
    std::vector<std::uint64_t>().swap(pending_);
    pending_.reserve(expected + expected / 16);
    const int group =
        fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                      O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (group < 0) {
      if (errno == EPERM) return kNeedsRoot;
      if (errno == EINVAL) {
        return "the kernel's fanotify cannot report directories and names (Linux 5.9 or later "
               "can)";
      }
      return std::string("fanotify is not available: ") + std::strerror(errno);
    }
    group_.Reset(group);
    mount_table_ = ReadMountTable();
    for (const std::string& root : roots) {
      std::vector<std::string> places = {root};
      for (const std::string& point : MountPointsBelow(mount_table_, RealPath(root))) {
        places.push_back(point);
      }
      for (std::size_t i = 0; i < places.size(); ++i) {
        TUniqueFd fd(open(places[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // A root that does not exist yet is walked (and found empty) each
        // full walk; its creation shows as a change of its parent only if
        // that is watched, so the roots are checked every cycle instead.
        struct stat info {};
        if (!fd.Valid() || fstat(fd.Get(), &info) != 0) {
          // Not a directory (yet): what stands there now is what the
          // cycles compare with, so that only a change of it counts.
          if (i == 0) {
            const bool present = stat(root.c_str(), &info) == 0;
            roots_.push_back(
                {root, present ? info.st_dev : 0, present ? info.st_ino : 0, RealPath(root)});
          } else if (const std::string why_not = FollowFileMount(places[i]); !why_not.empty()) {
            return why_not;
          }
          continue;
        }
        if (i == 0) roots_.push_back({root, info.st_dev, info.st_ino, RealPath(root)});
        NoteDirectory(info.st_ino);
        struct statfs fs {};
        if (fstatfs(fd.Get(), &fs) != 0) return places[i] + ": " + std::strerror(errno);
        const std::uint64_t fsid = FsidKey(fs.f_fsid);
        // Every place of a file system is kept: a bind mount shows a part
        // of it again under another path, and a change there must be
        // placed under that path too.
        if (mount_paths_.count(fsid) != 0) {
          mount_paths_[fsid].push_back(RealPath(places[i]));
          continue;
        }
        if (fanotify_mark(group_.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kEventMask, fd.Get(),
                          nullptr) != 0) {
          const int error = errno;
          group_.Reset();
          // Watching a whole file system is for root alone, even where the
          // kernel lets others start a watch.
          if (error == EPERM) return kNeedsRoot;
          return places[i] + " is on a file system whose changes cannot be followed (" +
                 std::strerror(error) + ")";
        }
        // Only the path is kept: a descriptor held open would stop an
        // administrator from unmounting the file system.
        mount_paths_[fsid].push_back(RealPath(places[i]));
      }
    }
    overflowed_ = false;
    return "";
  }

  // A single file mounted over a tree file (a container's resolv.conf): a
  // change of it is reported on its source's file system, under the
  // source's directory and name. That file system is followed too, and an
  // event is placed under the tree's path when the name it gives is that
  // very file.
  std::string FollowFileMount(const std::string& place) {
    struct stat info {};
    if (stat(place.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
    TUniqueFd fd(open(place.c_str(), O_PATH | O_CLOEXEC));
    struct statfs fs {};
    if (!fd.Valid() || fstatfs(fd.Get(), &fs) != 0) return "";
    const std::uint64_t fsid = FsidKey(fs.f_fsid);
    const bool marked = mount_paths_.count(fsid) != 0 ||
                        std::any_of(file_mounts_.begin(), file_mounts_.end(),
                                    [fsid](const TFileMount& mount) { return mount.fsid == fsid; });
    if (!marked && fanotify_mark(group_.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kEventMask,
                                 AT_FDCWD, place.c_str()) != 0) {
      const int error = errno;
      group_.Reset();
      if (error == EPERM) return kNeedsRoot;
      return place + " is on a file system whose changes cannot be followed (" +
             std::strerror(error) + ")";
    }
    const std::string real = RealPath(place);
    const std::size_t slash = real.rfind('/');
    file_mounts_.push_back({fsid, info.st_dev, info.st_ino, place,
                            slash == 0 ? "/" : real.substr(0, slash), real.substr(slash + 1)});
    return "";
  }

  void NoteDirectory(std::uint64_t id) override {
    if (id != 0) pending_.push_back(id);
  }

  TJournalChanges TakeChanges() override {
    TJournalChanges changes;
    if (!group_.Valid()) {
      changes.walk_everything = "changes are not followed";
      return changes;
    }
    MergePending();
    Drain(changes);
    open_mounts_.clear();
    if (overflowed_) {
      changes.walk_everything = "the event queue overflowed, or a change could not be placed";
    }
    overflowed_ = false;
    if (changes.walk_everything.empty() && ReadMountTable() != mount_table_) {
      changes.walk_everything = "file systems were mounted or unmounted";
    }
    for (const TRoot& root : roots_) {
      if (!changes.walk_everything.empty()) break;
      struct stat info {};
      const bool present = stat(root.path.c_str(), &info) == 0;
      if (!present ? root.inode != 0 : info.st_dev != root.device || info.st_ino != root.inode) {
        changes.walk_everything = root.path + " was created, removed or replaced";
      } else if (present && RealPath(root.path) != root.real_path) {
        // The same directory reached by another path (a parent moved and a
        // link put in its place): events name the new path, which no
        // longer starts with the one followed.
        changes.walk_everything = root.path + " now resolves to another path";
      }
    }
    return changes;
  }

  std::string ResolvePath(const std::string& path) const override { return RealPath(path); }

  std::size_t DirectoryCount() const override { return ids_.size() + pending_.size(); }

  std::size_t MemoryBytes() const override {
    return (ids_.capacity() + pending_.capacity()) * sizeof(std::uint64_t);
  }

 private:
  struct TRoot {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::string real_path;  // symbolic links resolved, when followed
  };

  void MergePending() {
    if (pending_.empty()) return;
    std::sort(pending_.begin(), pending_.end());
    if (ids_.empty()) {
      // After a full walk: the noted directories are the whole table.
      ids_.swap(pending_);
      ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
      if (ids_.capacity() > ids_.size() + ids_.size() / 8 + 64) ids_.shrink_to_fit();
      return;
    }
    const std::size_t middle = ids_.size();
    ids_.insert(ids_.end(), pending_.begin(), pending_.end());
    std::inplace_merge(ids_.begin(), ids_.begin() + static_cast<std::ptrdiff_t>(middle),
                       ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
    if (ids_.capacity() > ids_.size() + ids_.size() / 4 + 64) ids_.shrink_to_fit();
    pending_.clear();
    pending_.shrink_to_fit();
  }

  bool Watched(std::uint64_t id) const { return std::binary_search(ids_.begin(), ids_.end(), id); }

  // Reads every queued event; the directories inside the trees, with their
  // changed names, go into changes.
  void Drain(TJournalChanges& changes) {
    // Only while draining: nothing of it stays between cycles.
    std::vector<char> buffer(16 * 1024);
    // Directory (file system and handle) -> its indices in changes (one per
    // path it has in the trees; none outside).
    std::unordered_map<std::string, std::vector<std::size_t>> seen;
    open_mounts_.clear();
    std::vector<std::unordered_map<std::string, std::size_t>> names;
    // The directories that file mounts placed changes in, by path.
    std::unordered_map<std::string, std::size_t> file_mount_directories;
    // While draining only: the mounted files themselves, the only objects
    // of their file systems at hand for opening handles (which takes a real
    // descriptor, not a path one); a regular file opens without effect.
    std::vector<TUniqueFd> file_mount_fds;
    for (const TFileMount& mount : file_mounts_) {
      TUniqueFd fd(open(mount.place.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      struct stat info {};
      if (fd.Valid() && (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) fd.Reset();
      file_mount_fds.push_back(std::move(fd));
    }
    const auto add_name = [&](std::size_t at, std::string_view changed, std::uint64_t mask) {
      TChangedDirectory& directory = changes.directories[at];
      auto& index = names[at];
      auto slot = index.find(std::string(changed));
      if (slot == index.end()) {
        slot = index.emplace(std::string(changed), directory.names.size()).first;
        directory.names.push_back({std::string(changed), false, false, false});
      }
      TChangedName& entry = directory.names[slot->second];
      if (mask & FAN_ONDIR) entry.directory = true;
      if (mask & (FAN_CREATE | FAN_MOVED_TO)) entry.added = true;
      if (mask & (FAN_DELETE | FAN_MOVED_FROM)) entry.removed = true;
    };
    for (;;) {
      const ssize_t got = read(group_.Get(), buffer.data(), buffer.size());
      if (got <= 0) break;
      // Events are only 4-byte aligned in the buffer: each header is copied
      // out rather than read in place.
      const auto length = static_cast<std::size_t>(got);
      for (std::size_t offset = 0; offset + sizeof(fanotify_event_metadata) <= length;) {
        fanotify_event_metadata event;
        std::memcpy(&event, buffer.data() + offset, sizeof event);
        if (event.event_len < sizeof event || offset + event.event_len > length) break;
        const char* start = buffer.data() + offset;
        offset += event.event_len;
        if (event.fd >= 0) close(event.fd);
        if (event.mask & FAN_Q_OVERFLOW) {
          overflowed_ = true;
          continue;
        }
        const char* info = start + event.metadata_len;
        const char* end = start + event.event_len;
        if (info + sizeof(fanotify_event_info_fid) > end) continue;
        fanotify_event_info_fid header;
        std::memcpy(&header, info, sizeof header);
        if (header.hdr.info_type != FAN_EVENT_INFO_TYPE_DFID_NAME) continue;
        const char* handle = info + offsetof(fanotify_event_info_fid, handle);
        file_handle handle_head;
        std::memcpy(&handle_head, handle, sizeof handle_head);
        const char* name = handle + sizeof(file_handle) + handle_head.handle_bytes;
        if (name >= end) continue;
        const std::string_view changed(name, strnlen(name, static_cast<std::size_t>(end - name)));
        if (changed.empty() || changed == ".") continue;  // the directory itself
        std::string key(reinterpret_cast<const char*>(&header.fsid), sizeof header.fsid);
        key.append(handle, sizeof(file_handle) + handle_head.handle_bytes);
        auto found = seen.find(key);
        if (found == seen.end()) {
          found = seen.emplace(key, Resolve(header.fsid, handle, changes)).first;
          names.resize(changes.directories.size());
        }
        for (const std::size_t at : found->second) add_name(at, changed, event.mask);
        for (std::size_t m = 0; m < file_mounts_.size(); ++m) {
          const TFileMount& mount = file_mounts_[m];
          if (!file_mount_fds[m].Valid() || !IsFsid(header.fsid, mount.fsid) ||
              !NamesFile(file_mount_fds[m].Get(), handle, changed, mount)) {
            continue;
          }
          auto directory = file_mount_directories.find(mount.target_directory);
          if (directory == file_mount_directories.end()) {
            changes.directories.push_back({mount.target_directory, {}});
            names.resize(changes.directories.size());
            directory = file_mount_directories
                            .emplace(mount.target_directory, changes.directories.size() - 1)
                            .first;
          }
          add_name(directory->second, mount.target_name, event.mask & ~FAN_ONDIR);
        }
      }
    }
  }

  static bool IsFsid(const __kernel_fsid_t& fsid, std::uint64_t key) {
    fsid_t plain;
    std::memcpy(&plain, &fsid, sizeof plain);
    return FsidKey(plain) == key;
  }

  // Whether the directory of a handle holds, under name, the mounted file.
  static bool NamesFile(int mount_fd, const char* handle, std::string_view name,
                        const TFileMount& mount) {
    file_handle head;
    std::memcpy(&head, handle, sizeof head);
    std::vector<char> aligned(sizeof(file_handle) + head.handle_bytes);
    std::memcpy(aligned.data(), handle, aligned.size());
    TUniqueFd directory(open_by_handle_at(mount_fd, reinterpret_cast<file_handle*>(aligned.data()),
                                          O_PATH | O_CLOEXEC));
    if (!directory.Valid()) return false;
    struct stat info {};
    return fstatat(directory.Get(), std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           info.st_dev == mount.device && info.st_ino == mount.inode;
  }

  // The directory of a handle, added to changes under each path it has in
  // the watched trees (through every place of its file system: a bind
  // mount gives it a second path); its indices there, none outside.
  std::vector<std::size_t> Resolve(const __kernel_fsid_t& fsid, const char* handle,
                                   TJournalChanges& changes) {
    fsid_t plain;
    std::memcpy(&plain, &fsid, sizeof plain);
    const std::uint64_t fsid_key = FsidKey(plain);
    const auto places = mount_paths_.find(fsid_key);
    if (places == mount_paths_.end()) return {};
    auto mounts = open_mounts_.find(fsid_key);
    if (mounts == open_mounts_.end()) {
      std::vector<TUniqueFd> opened;
      for (const std::string& place : places->second) {
        opened.emplace_back(open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      }
      mounts = open_mounts_.emplace(fsid_key, std::move(opened)).first;
    }
    file_handle head;
    std::memcpy(&head, handle, sizeof head);
    std::vector<char> aligned(sizeof(file_handle) + head.handle_bytes);
    std::memcpy(aligned.data(), handle, aligned.size());
    std::vector<std::size_t> indices;
    std::vector<std::string> resolved_paths;
    for (std::size_t m = 0; m < mounts->second.size(); ++m) {
      const TUniqueFd& mount = mounts->second[m];
      if (!mount.Valid()) continue;
      TUniqueFd fd(open_by_handle_at(mount.Get(), reinterpret_cast<file_handle*>(aligned.data()),
                                     O_PATH | O_CLOEXEC));
      if (!fd.Valid()) return indices;  // gone: its parent's change covers it
      struct stat info {};
      if (fstat(fd.Get(), &info) != 0 || !S_ISDIR(info.st_mode) || !Watched(info.st_ino)) {
        return indices;
      }
      const std::string link = "/proc/self/fd/" + std::to_string(fd.Get());
      std::string resolved(4096, '\0');
      for (;;) {
        const ssize_t length = readlink(link.c_str(), resolved.data(), resolved.size());
        if (length < 0) {
          // A watched directory whose change cannot be placed: walk it all.
          overflowed_ = true;
          return indices;
        }
        if (static_cast<std::size_t>(length) < resolved.size()) {
          resolved.resize(static_cast<std::size_t>(length));
          break;
        }
        resolved.resize(resolved.size() * 2);
      }
      // Deleted meanwhile, or not under this place (reached through
      // another mount of the file system): not a path in the trees.
      const std::string& place = places->second[m];
      const bool under_place =
          resolved == place || resolved.starts_with(place == "/" ? place : place + "/");
      if (resolved.empty() || resolved[0] != '/' || resolved.ends_with(" (deleted)") ||
          !under_place ||
          std::find(resolved_paths.begin(), resolved_paths.end(), resolved) !=
              resolved_paths.end()) {
        continue;
      }
      resolved_paths.push_back(resolved);
      changes.directories.push_back({std::move(resolved), {}});
      indices.push_back(changes.directories.size() - 1);
    }
    return indices;
  }

  TUniqueFd group_;
  // By file-system id, the places (roots and mount points below them, links
  // resolved) on it: for opening handles and placing what they name.
  std::map<std::uint64_t, std::vector<std::string>> mount_paths_;
  std::map<std::uint64_t, std::vector<TUniqueFd>> open_mounts_;  // while draining only
  std::vector<TRoot> roots_;
  std::vector<TFileMount> file_mounts_;
  std::string mount_table_;
  std::vector<std::uint64_t> ids_;      // sorted: the watched directories
  std::vector<std::uint64_t> pending_;  // noted since the last merge
  bool overflowed_ = false;
};

}  // namespace

std::unique_ptr<TChangeJournal> MakeSystemChangeJournal() {
  return std::make_unique<TFanotifyJournal>();
}

}  // namespace warderon

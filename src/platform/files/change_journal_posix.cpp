// The change journal from fanotify: one group with a file-system mark on
// each file system the watched trees live on, reporting the directory (as a
// file handle) and the name of each change. Events come from the whole file
// system, so a reader thread drains the kernel's queue (16,384 events) as
// they come and keeps only those of watched directories: a busy file system
// elsewhere (a mail spool, a build) neither overflows the queue nor costs a
// cycle anything. A directory outside the trees that keeps producing events
// gets an ignore mark, and the kernel drops its events from then on. A
// directory is checked against the sorted numbers of the watched
// directories (its handle opened once, then remembered), and only those
// inside get their path looked up, at cycle time.
//
// A file with more than one name can be changed through a name outside the
// trees: the event then names an unwatched directory. Such events also carry
// the file's own handle; a file that has several names and whose number is
// among the watched files' is reported, and the monitor looks at it.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/files/change_journal.h"
#include "platform/files/mount_table.h"
#include "platform/posix/unique_fd.h"

// Older headers lack the ignore and evictable marks (Linux 6.0 and 5.19);
// an older kernel refuses them, and busy directories are then only dropped.
#ifndef FAN_MARK_EVICTABLE
#define FAN_MARK_EVICTABLE 0x00000200
#endif
#ifndef FAN_MARK_IGNORE
#define FAN_MARK_IGNORE 0x00000400
#endif
#ifndef FAN_MARK_IGNORE_SURV
#define FAN_MARK_IGNORE_SURV (FAN_MARK_IGNORE | FAN_MARK_IGNORED_SURV_MODIFY)
#endif

namespace warderon {
namespace {

// The note says it before: "the file monitor walks every watched tree each
// cycle: ...".
constexpr char kNeedsRoot[] = "following changes needs root (or the CAP_SYS_ADMIN capability)";

constexpr std::uint64_t kEventMask =
    FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_MODIFY | FAN_ATTRIB | FAN_ONDIR |
    // A write through a shared mapping makes no write call: the file is
    // known written when its last descriptor or mapping goes.
    FAN_CLOSE_WRITE;
// The events of a file's content or attributes (not of a directory's entries).
constexpr std::uint64_t kFileEventMask = FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE;

// What is kept of a watched file's number: 4 bytes a file. Two files that
// share it only cost a walk when one of them is changed through another name.
std::uint32_t FileKey(std::uint64_t inode) {
  return static_cast<std::uint32_t>(inode ^ (inode >> 32));
}

// Adds the unsorted noted values to a sorted table without duplicates.
template <typename T>
void MergeSorted(std::vector<T>& table, std::vector<T>& noted) {
  std::sort(noted.begin(), noted.end());
  if (table.empty()) {
    table.swap(noted);
  } else {
    const std::size_t middle = table.size();
    table.insert(table.end(), noted.begin(), noted.end());
    std::inplace_merge(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(middle),
                       table.end());
  }
  table.erase(std::unique(table.begin(), table.end()), table.end());
  if (table.capacity() > table.size() + table.size() / 4 + 64) table.shrink_to_fit();
}

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

// The bytes of a file handle as fanotify gives it (head and handle), copied
// to storage aligned for open_by_handle_at.
std::vector<char> AlignedHandle(std::string_view handle) {
  return std::vector<char>(handle.begin(), handle.end());
}

// A directory outside the trees that keeps producing events (this many
// between two cycles) gets an ignore mark; at most so many are set.
constexpr std::uint32_t kBusyDirectoryEvents = 256;
constexpr std::size_t kMaxIgnoredDirectories = 4096;
// Directories whose verdict (inode) is remembered between two cycles.
constexpr std::size_t kMaxRememberedHandles = 16384;
// Files with several names changed outside the trees, kept between two
// cycles; beyond that the next cycle walks.
constexpr std::size_t kMaxLinkedChanges = 4096;
// What an ignore mark mutes: the changes of a directory's entries, not of
// the directory itself (its own rename is its parent's change).
constexpr std::uint64_t kIgnoredMask = (kEventMask & ~FAN_ONDIR) | FAN_EVENT_ON_CHILD;

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
  // The changed names of one directory, kept until the next cycle.
  struct TKeptDirectory {
    std::string key;  // file-system id, then the handle
    std::vector<TChangedName> names;
    std::unordered_map<std::string, std::size_t> index;
  };
  // What was learnt of a directory by its handle, until the next cycle.
  struct THandleVerdict {
    std::uint64_t inode = 0;  // 0: it could not be opened (gone)
    std::uint32_t events = 0;
    bool ignored = false;
  };
  // An ignore mark set on a directory outside the trees.
  struct TIgnoredDirectory {
    std::uint64_t fsid;
    std::string handle;
  };

 public:
  explicit TFanotifyJournal(std::size_t kept_names) : kept_names_limit_(kept_names) {}
  ~TFanotifyJournal() override { StopReader(); }
  TFanotifyJournal(const TFanotifyJournal&) = delete;
  TFanotifyJournal& operator=(const TFanotifyJournal&) = delete;

  std::string Follow(const std::vector<std::string>& roots) override {
    StopReader();
    group_.Reset();
    mount_paths_.clear();
    roots_.clear();
    file_mounts_.clear();
    ForgetKept();
    handles_.clear();
    ignored_.clear();
    ignore_unsupported_ = false;
    // The walk that follows notes about as many directories as the last one.
    const std::size_t expected = ids_.size() + pending_.size();
    std::vector<std::uint64_t>().swap(ids_);  // "= {}" would keep the memory
    std::vector<std::uint64_t>().swap(pending_);
    pending_.reserve(expected + expected / 16);
    std::vector<std::uint32_t>().swap(file_keys_);
    std::vector<std::uint32_t>().swap(pending_files_);
    linked_.clear();
    // The file's own handle beside the directory's and the name: a change
    // through a name outside the trees is then known by the file.
    const int group = fanotify_init(
        FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME | FAN_REPORT_FID,
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
    StartReader();
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
    const bool marked = mount_paths_.count(fsid) != 0 || HasFileMount(fsid);
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
    if (id == 0) return;
    const std::lock_guard lock(note_mutex_);
    pending_.push_back(id);
    // Moved into the trees since it was muted: heard again before the walk
    // lists it, so nothing in it is missed.
    if (const auto ignored = ignored_.find(id); ignored != ignored_.end()) {
      Unignore(ignored->second);
      ignored_.erase(ignored);
    }
  }

  // The cycle's thread alone notes files and takes the changes: no lock a
  // file.
  void NoteFile(std::uint64_t id) override {
    if (id != 0) pending_files_.push_back(FileKey(id));
  }

  TJournalChanges TakeChanges() override {
    TJournalChanges changes;
    if (!group_.Valid()) {
      changes.walk_everything = "changes are not followed";
      return changes;
    }
    {
      const std::lock_guard lock(drain_mutex_);
      MergePending();
      ReadQueue();  // everything queued until now belongs to this cycle
      PlaceKept(changes);
      if (!pending_files_.empty()) {
        MergeSorted(file_keys_, pending_files_);
        pending_files_.clear();
      }
      for (const std::uint64_t inode : linked_) {
        if (std::binary_search(file_keys_.begin(), file_keys_.end(), FileKey(inode))) {
          changes.linked_files.push_back(inode);
        }
      }
      linked_.clear();
      handles_.clear();
      files_.clear();
      if (overflowed_) {
        changes.walk_everything = "the event queue overflowed, or a change could not be placed";
      }
      overflowed_ = false;
    }
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

  void FollowLinkCounts(bool on) override { link_counts_ = on; }

  std::string ResolvePath(const std::string& path) const override { return RealPath(path); }

  std::size_t DirectoryCount() const override {
    const std::scoped_lock lock(drain_mutex_, note_mutex_);
    return ids_.size() + pending_.size();
  }

  std::size_t MemoryBytes() const override {
    const std::scoped_lock lock(drain_mutex_, note_mutex_);
    std::size_t bytes = (ids_.capacity() + pending_.capacity()) * sizeof(std::uint64_t);
    bytes += (file_keys_.capacity() + pending_files_.capacity()) * sizeof(std::uint32_t);
    bytes += (linked_.size() + files_.size()) * 64;
    bytes += handles_.size() * (sizeof(THandleVerdict) + 64);
    bytes += ignored_.size() * (sizeof(TIgnoredDirectory) + 64);
    for (const TKeptDirectory& kept : kept_) {
      bytes += sizeof kept + kept.key.capacity() + kept.names.capacity() * sizeof(TChangedName);
      for (const TChangedName& name : kept.names) bytes += 2 * (name.name.capacity() + 32);
    }
    return bytes;
  }

 private:
  struct TRoot {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::string real_path;  // symbolic links resolved, when followed
  };

  void StartReader() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;  // then read at cycle time only
    stop_read_.Reset(fds[0]);
    stop_write_.Reset(fds[1]);
    reader_ = std::thread([this] { ReadContinuously(); });
  }

  void StopReader() {
    if (!reader_.joinable()) return;
    const char byte = 0;
    while (write(stop_write_.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    stop_read_.Reset();
    stop_write_.Reset();
  }

  void ReadContinuously() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals are the main thread's
    for (;;) {
      pollfd waits[2] = {{group_.Get(), POLLIN, 0}, {stop_read_.Get(), POLLIN, 0}};
      if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
      if (waits[1].revents != 0) return;
      {
        const std::lock_guard lock(drain_mutex_);
        ReadQueue();
      }
      // What comes in the next moment is read in one go.
      pollfd stop = {stop_read_.Get(), POLLIN, 0};
      if (poll(&stop, 1, 20) > 0) return;
    }
  }

  bool HasFileMount(std::uint64_t fsid) const {
    return std::any_of(file_mounts_.begin(), file_mounts_.end(),
                       [fsid](const TFileMount& mount) { return mount.fsid == fsid; });
  }

  void ForgetKept() {
    kept_.clear();
    kept_index_.clear();
    kept_file_mounts_.clear();
    kept_name_count_ = 0;
  }

  // With drain_mutex_ held.
  void MergePending() {
    std::vector<std::uint64_t> noted;
    {
      const std::lock_guard lock(note_mutex_);
      noted.swap(pending_);
    }
    if (!noted.empty()) MergeSorted(ids_, noted);
  }

  // With drain_mutex_ held. Noted directories count as soon as they are
  // noted: the walk notes a directory before it lists it.
  bool Watched(std::uint64_t id) {
    if (std::binary_search(ids_.begin(), ids_.end(), id)) return true;
    MergePending();
    return std::binary_search(ids_.begin(), ids_.end(), id);
  }

  // The descriptors of each place of a file system, opened for one read of
  // the queue and closed after it.
  const std::vector<TUniqueFd>* MountDescriptors(std::uint64_t fsid) {
    const auto places = mount_paths_.find(fsid);
    if (places == mount_paths_.end()) return nullptr;
    auto mounts = open_mounts_.find(fsid);
    if (mounts == open_mounts_.end()) {
      std::vector<TUniqueFd> opened;
      for (const std::string& place : places->second) {
        opened.emplace_back(open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      }
      mounts = open_mounts_.emplace(fsid, std::move(opened)).first;
    }
    return &mounts->second;
  }

  // A directory by its handle, through the first place of its file system
  // that opens it.
  TUniqueFd OpenHandle(std::uint64_t fsid, std::string_view handle, int flags) {
    const auto* mounts = MountDescriptors(fsid);
    if (mounts == nullptr) return TUniqueFd();
    std::vector<char> aligned = AlignedHandle(handle);
    for (const TUniqueFd& mount : *mounts) {
      if (!mount.Valid()) continue;
      TUniqueFd fd(open_by_handle_at(mount.Get(), reinterpret_cast<file_handle*>(aligned.data()),
                                     flags | O_CLOEXEC));
      if (fd.Valid()) return fd;
    }
    return TUniqueFd();
  }

  // With drain_mutex_ held: reads every queued event and keeps those of
  // watched directories.
  void ReadQueue() {
    std::vector<char> buffer(64 * 1024);
    // While reading only: the mounted files themselves, the only objects
    // of their file systems at hand for opening handles (which takes a real
    // descriptor, not a path one); a regular file opens without effect.
    std::vector<TUniqueFd> file_mount_fds;
    bool file_mounts_open = false;
    for (;;) {
      const ssize_t got = read(group_.Get(), buffer.data(), buffer.size());
      if (got <= 0) break;
      if (!file_mounts_open) {
        file_mounts_open = true;
        for (const TFileMount& mount : file_mounts_) {
          TUniqueFd fd(open(mount.place.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
          struct stat info {};
          if (fd.Valid() && (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) fd.Reset();
          file_mount_fds.push_back(std::move(fd));
        }
      }
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
        TEventRecords records;
        if (!ParseRecords(start + event.metadata_len, start + event.event_len, records)) {
          // A link count that changed: the file's handle alone.
          if (link_counts_ && !records.file.empty() && (event.mask & FAN_ATTRIB)) {
            TakeLinked(records.fsid, records.file, 1);
          }
          continue;
        }
        const std::string_view changed = records.name;
        if (changed.empty() || changed == ".") continue;  // the directory itself
        Take(records.fsid, records.directory, changed, event.mask, file_mount_fds);
        if (!records.file.empty() && (event.mask & kFileEventMask) && !(event.mask & FAN_ONDIR) &&
            !last_taken_watched_) {
          TakeLinked(records.fsid, records.file, 2);
        }
      }
    }
    open_mounts_.clear();
  }

  // The records of one event: the directory's handle and the name, and
  // the file's own handle where the event has it. False without the first.
  struct TEventRecords {
    std::uint64_t fsid = 0;
    std::string_view directory;
    std::string_view name;
    std::string_view file;
  };
  static bool ParseRecords(const char* info, const char* end, TEventRecords& records) {
    while (info + sizeof(fanotify_event_info_fid) <= end) {
      fanotify_event_info_fid header;
      std::memcpy(&header, info, sizeof header);
      if (header.hdr.len < sizeof header || header.hdr.len > end - info) break;
      const char* record_end = info + header.hdr.len;
      const char* handle = info + offsetof(fanotify_event_info_fid, handle);
      file_handle handle_head;
      std::memcpy(&handle_head, handle, sizeof handle_head);
      const char* after_handle = handle + sizeof(file_handle) + handle_head.handle_bytes;
      if (after_handle > record_end) break;
      const std::string_view bytes(handle, sizeof(file_handle) + handle_head.handle_bytes);
      fsid_t plain;
      std::memcpy(&plain, &header.fsid, sizeof plain);
      if (header.hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME && after_handle < record_end) {
        records.fsid = FsidKey(plain);
        records.directory = bytes;
        records.name = std::string_view(
            after_handle,
            strnlen(after_handle, static_cast<std::size_t>(record_end - after_handle)));
      } else if (header.hdr.info_type == FAN_EVENT_INFO_TYPE_FID) {
        if (records.directory.empty()) records.fsid = FsidKey(plain);
        records.file = bytes;
      }
      info = record_end;
    }
    return !records.directory.empty();
  }

  // A file changed through a directory outside the trees: kept, by its
  // number, when it has several names (it may be a watched file's).
  void TakeLinked(std::uint64_t fsid, std::string_view handle, nlink_t fewest_links) {
    key_.assign(reinterpret_cast<const char*>(&fsid), sizeof fsid);
    key_.append(handle);
    if (files_.contains(key_)) return;  // looked at since the last cycle
    if (files_.size() >= kMaxRememberedHandles) files_.clear();
    files_.insert(key_);
    const TUniqueFd fd = OpenHandle(fsid, handle, O_PATH);
    struct stat info {};
    if (!fd.Valid() || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_nlink < fewest_links) {
      return;
    }
    if (linked_.size() >= kMaxLinkedChanges) {
      overflowed_ = true;
      return;
    }
    linked_.insert(info.st_ino);
  }

  // One event: kept when its directory is watched (or names a mounted
  // file); counted towards an ignore mark when it is not.
  void Take(std::uint64_t fsid, std::string_view handle, std::string_view changed,
            std::uint64_t mask, const std::vector<TUniqueFd>& file_mount_fds) {
    key_.assign(reinterpret_cast<const char*>(&fsid), sizeof fsid);
    key_.append(handle);
    auto verdict = handles_.find(key_);
    if (verdict == handles_.end()) {
      if (handles_.size() >= kMaxRememberedHandles) handles_.clear();
      THandleVerdict learnt;
      if (const TUniqueFd fd = OpenHandle(fsid, handle, O_PATH); fd.Valid()) {
        struct stat info {};
        if (fstat(fd.Get(), &info) == 0 && S_ISDIR(info.st_mode)) learnt.inode = info.st_ino;
      }
      verdict = handles_.emplace(key_, learnt).first;
    }
    // One that could not be opened is gone (its parent's change covers it)
    // or on a file system followed only for a mounted file.
    const std::uint64_t inode = verdict->second.inode;
    const bool watched = inode != 0 && Watched(inode);
    last_taken_watched_ = watched;
    if (watched) Keep(key_, changed, mask);
    bool file_mount_source = false;
    for (std::size_t m = 0; m < file_mounts_.size(); ++m) {
      const TFileMount& mount = file_mounts_[m];
      if (mount.fsid != fsid) continue;
      file_mount_source = true;
      if (file_mount_fds[m].Valid() && NamesFile(file_mount_fds[m].Get(), handle, changed, mount)) {
        KeepForFileMount(mount, mask & ~FAN_ONDIR);
      }
    }
    // A directory that may hold a mounted file's source is never muted.
    if (watched || file_mount_source || inode == 0) return;
    // Once muted, what was queued before the mark still comes; a mark that
    // went with the inode from the cache is earned again after the cycle.
    if (!verdict->second.ignored && ++verdict->second.events == kBusyDirectoryEvents) {
      verdict->second.ignored = Ignore(fsid, handle, inode);
    }
  }

  void Keep(const std::string& key, std::string_view changed, std::uint64_t mask) {
    auto at = kept_index_.find(key);
    if (at == kept_index_.end()) {
      at = kept_index_.emplace(key, kept_.size()).first;
      kept_.push_back({key, {}, {}});
    }
    AddName(kept_[at->second], changed, mask);
  }

  void KeepForFileMount(const TFileMount& mount, std::uint64_t mask) {
    auto at = kept_file_mounts_.find(mount.target_directory);
    if (at == kept_file_mounts_.end()) {
      // Placed by path, not by handle: an empty key.
      at = kept_file_mounts_.emplace(mount.target_directory, kept_.size()).first;
      kept_.push_back({"", {}, {}});
    }
    AddName(kept_[at->second], mount.target_name, mask);
  }

  void AddName(TKeptDirectory& directory, std::string_view changed, std::uint64_t mask) {
    auto slot = directory.index.find(std::string(changed));
    if (slot == directory.index.end()) {
      if (kept_name_count_ >= kept_names_limit_) {
        // More changes than are worth keeping: the next cycle walks.
        ForgetKept();
        overflowed_ = true;
        return;
      }
      ++kept_name_count_;
      slot = directory.index.emplace(std::string(changed), directory.names.size()).first;
      directory.names.push_back({std::string(changed), false, false, false});
    }
    TChangedName& entry = directory.names[slot->second];
    if (mask & FAN_ONDIR) entry.directory = true;
    if (mask & (FAN_CREATE | FAN_MOVED_TO)) entry.added = true;
    if (mask & (FAN_DELETE | FAN_MOVED_FROM)) entry.removed = true;
  }

  // Mutes a busy directory outside the trees. With drain_mutex_ held; the
  // mark is set under note_mutex_, so a walk that notes the directory meanwhile
  // either stops it or removes it again.
  bool Ignore(std::uint64_t fsid, std::string_view handle, std::uint64_t inode) {
    if (ignore_unsupported_) return false;
    const TUniqueFd fd = OpenHandle(fsid, handle, O_RDONLY | O_DIRECTORY);
    if (!fd.Valid()) return false;
    const std::lock_guard lock(note_mutex_);
    if (ignored_.size() >= kMaxIgnoredDirectories ||
        std::find(pending_.begin(), pending_.end(), inode) != pending_.end()) {
      return false;
    }
    // Evictable: the mark does not keep the directory in memory; when it
    // goes, the directory earns its mark again.
    if (fanotify_mark(group_.Get(), FAN_MARK_ADD | FAN_MARK_IGNORE_SURV | FAN_MARK_EVICTABLE,
                      kIgnoredMask, fd.Get(), nullptr) != 0) {
      if (errno == EINVAL) ignore_unsupported_ = true;  // before Linux 6.0
      return false;
    }
    ignored_[inode] = {fsid, std::string(handle)};
    return true;
  }

  // With note_mutex_ held.
  void Unignore(const TIgnoredDirectory& ignored) {
    const auto places = mount_paths_.find(ignored.fsid);
    if (places == mount_paths_.end()) return;
    std::vector<char> aligned = AlignedHandle(ignored.handle);
    for (const std::string& place : places->second) {
      TUniqueFd mount(open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!mount.Valid()) continue;
      // A mark takes a real descriptor, not a path one.
      TUniqueFd fd(open_by_handle_at(mount.Get(), reinterpret_cast<file_handle*>(aligned.data()),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!fd.Valid()) continue;
      fanotify_mark(group_.Get(), FAN_MARK_REMOVE | FAN_MARK_IGNORE_SURV, kIgnoredMask, fd.Get(),
                    nullptr);
      return;
    }
  }

  // With drain_mutex_ held: the kept directories, placed under each path
  // they have in the trees, into changes; nothing stays kept.
  void PlaceKept(TJournalChanges& changes) {
    std::vector<TKeptDirectory> kept;
    kept.swap(kept_);
    std::unordered_map<std::string, std::size_t> file_mount_directories;
    file_mount_directories.swap(kept_file_mounts_);
    ForgetKept();
    std::vector<std::string> file_mount_paths(kept.size());
    for (const auto& [path, at] : file_mount_directories) file_mount_paths[at] = path;
    for (std::size_t k = 0; k < kept.size(); ++k) {
      TKeptDirectory& directory = kept[k];
      if (directory.key.empty()) {
        changes.directories.push_back({file_mount_paths[k], std::move(directory.names)});
        continue;
      }
      std::uint64_t fsid = 0;
      std::memcpy(&fsid, directory.key.data(), sizeof fsid);
      const std::vector<std::string> paths =
          Resolve(fsid, std::string_view(directory.key).substr(sizeof fsid));
      for (std::size_t p = 0; p < paths.size(); ++p) {
        changes.directories.push_back(
            {paths[p], p + 1 == paths.size() ? std::move(directory.names) : directory.names});
      }
    }
    open_mounts_.clear();
  }

  // Whether the directory of a handle holds, under name, the mounted file.
  static bool NamesFile(int mount_fd, std::string_view handle, std::string_view name,
                        const TFileMount& mount) {
    std::vector<char> aligned = AlignedHandle(handle);
    TUniqueFd directory(open_by_handle_at(mount_fd, reinterpret_cast<file_handle*>(aligned.data()),
                                          O_PATH | O_CLOEXEC));
    if (!directory.Valid()) return false;
    struct stat info {};
    return fstatat(directory.Get(), std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           info.st_dev == mount.device && info.st_ino == mount.inode;
  }

  // The paths a directory has in the watched trees now (through every
  // place of its file system: a bind mount gives it a second path); none
  // outside.
  std::vector<std::string> Resolve(std::uint64_t fsid, std::string_view handle) {
    std::vector<std::string> resolved_paths;
    const auto* mounts = MountDescriptors(fsid);
    if (mounts == nullptr) return resolved_paths;
    const std::vector<std::string>& places = mount_paths_.find(fsid)->second;
    std::vector<char> aligned = AlignedHandle(handle);
    for (std::size_t m = 0; m < mounts->size(); ++m) {
      const TUniqueFd& mount = (*mounts)[m];
      if (!mount.Valid()) continue;
      TUniqueFd fd(open_by_handle_at(mount.Get(), reinterpret_cast<file_handle*>(aligned.data()),
                                     O_PATH | O_CLOEXEC));
      if (!fd.Valid()) return resolved_paths;  // gone: its parent's change covers it
      struct stat info {};
      if (fstat(fd.Get(), &info) != 0 || !S_ISDIR(info.st_mode) || !Watched(info.st_ino)) {
        return resolved_paths;
      }
      const std::string link = "/proc/self/fd/" + std::to_string(fd.Get());
      std::string resolved(4096, '\0');
      for (;;) {
        const ssize_t length = readlink(link.c_str(), resolved.data(), resolved.size());
        if (length < 0) {
          // A watched directory whose change cannot be placed: walk it all.
          overflowed_ = true;
          return resolved_paths;
        }
        if (static_cast<std::size_t>(length) < resolved.size()) {
          resolved.resize(static_cast<std::size_t>(length));
          break;
        }
        resolved.resize(resolved.size() * 2);
      }
      // Deleted meanwhile, or not under this place (reached through
      // another mount of the file system): not a path in the trees.
      const std::string& place = places[m];
      const bool under_place =
          resolved == place || resolved.starts_with(place == "/" ? place : place + "/");
      if (resolved.empty() || resolved[0] != '/' || resolved.ends_with(" (deleted)") ||
          !under_place ||
          std::find(resolved_paths.begin(), resolved_paths.end(), resolved) !=
              resolved_paths.end()) {
        continue;
      }
      resolved_paths.push_back(std::move(resolved));
    }
    return resolved_paths;
  }

  TUniqueFd group_;
  // By file-system id, the places (roots and mount points below them, links
  // resolved) on it: for opening handles and placing what they name.
  std::map<std::uint64_t, std::vector<std::string>> mount_paths_;
  std::vector<TRoot> roots_;
  std::vector<TFileMount> file_mounts_;
  std::string mount_table_;
  const std::size_t kept_names_limit_;

  // The reader thread, and what it shares with the cycles under
  // drain_mutex_ (taken first when both are): the watched directories,
  // the kept changes and what was learnt of handles.
  std::thread reader_;
  TUniqueFd stop_read_;
  TUniqueFd stop_write_;
  mutable std::mutex drain_mutex_;
  std::map<std::uint64_t, std::vector<TUniqueFd>> open_mounts_;  // while reading only
  std::vector<std::uint64_t> ids_;                               // sorted: the watched directories
  std::vector<TKeptDirectory> kept_;
  std::unordered_map<std::string, std::size_t> kept_index_;        // by key
  std::unordered_map<std::string, std::size_t> kept_file_mounts_;  // by path
  std::size_t kept_name_count_ = 0;
  std::unordered_map<std::string, THandleVerdict> handles_;
  std::vector<std::uint32_t> file_keys_;      // sorted: FileKey of the watched files
  std::unordered_set<std::string> files_;     // file handles looked at since the last cycle
  std::unordered_set<std::uint64_t> linked_;  // files with several names changed outside
  bool last_taken_watched_ = false;
  std::atomic<bool> link_counts_{false};
  std::string key_;  // reused for each event
  bool overflowed_ = false;
  bool ignore_unsupported_ = false;

  // Noted by the walk (the cycle's thread) while the reader reads.
  mutable std::mutex note_mutex_;
  std::vector<std::uint64_t> pending_;        // noted since the last merge
  std::vector<std::uint32_t> pending_files_;  // FileKey of files noted since (the cycle's thread)
  std::unordered_map<std::uint64_t, TIgnoredDirectory> ignored_;  // by inode
};

}  // namespace

std::unique_ptr<TChangeJournal> MakeSystemChangeJournal(std::size_t kept_names) {
  return std::make_unique<TFanotifyJournal>(kept_names);
}

}  // namespace warderon

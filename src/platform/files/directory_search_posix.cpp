// Directory search with openat, getdents64 and fstatat relative to the open
// directory (no path resolution per file), and fnmatch for patterns. Deep
// trees are reached by relative opens, so neither PATH_MAX nor the number
// of open descriptors limits the depth of a walk.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "platform/files/directory_search.h"
#include "platform/files/path_rules.h"
#include "platform/posix/unique_fd.h"

namespace warderon {

TPathRules NativePathRules() { return {'/', true, "/"}; }

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a day number
// Directory descriptors a walk keeps open at most; deeper levels are opened
// again, relative to the deepest level that holds one, when they are used.
constexpr int kDescriptorBudget = 128;
// The longest relative path handed to one openat call.
constexpr std::size_t kLongestOpen = PATH_MAX - 256;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

using TFd = TUniqueFd;

// Opens a path of any length below `base` (AT_FDCWD or a directory), a
// piece of at most kLongestOpen bytes at a time, cut at separators. Every
// piece but the first starts below a directory already open, so a path
// longer than PATH_MAX resolves as well as a short one.
TFd OpenLongPath(int base, const std::string& path, int last_flags) {
  if (path.size() <= kLongestOpen) return TFd(openat(base, path.c_str(), last_flags));
  TFd current;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.size();
    if (end - start > kLongestOpen) {
      end = path.rfind('/', start + kLongestOpen);
      if (end == std::string::npos || end <= start) {
        errno = ENAMETOOLONG;  // one name longer than the kernel takes
        return TFd();
      }
    }
    const std::string piece = path.substr(start, end - start);
    const bool last = end >= path.size();
    const int from = current.Valid() ? current.Get() : base;
    TFd next(openat(from, piece.empty() ? "/" : piece.c_str(),
                    last ? last_flags : kDirectoryFlags | O_NOFOLLOW));
    if (!next.Valid()) return TFd();
    current = std::move(next);
    start = end;
    while (start < path.size() && path[start] == '/') ++start;
  }
  return current;
}

// The fixed head of a getdents64 record; the name follows right after d_type.
struct TLinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
};
constexpr std::size_t kDirentNameOffset = offsetof(TLinuxDirent64, d_type) + 1;

// An open directory: its own descriptor while the budget allows, else the
// deepest open ancestor and the path from there.
class TPosixOpenDirectory final : public TOpenDirectory {
 public:
  TPosixOpenDirectory(TFd fd, int& open_count) : fd_(std::move(fd)), open_count_(open_count) {
    ++open_count_;
  }
  TPosixOpenDirectory(const TPosixOpenDirectory* anchor, std::string relative, int& open_count)
      : anchor_(anchor), relative_(std::move(relative)), open_count_(open_count) {}
  ~TPosixOpenDirectory() override {
    if (fd_.Valid()) --open_count_;
  }
  TPosixOpenDirectory(const TPosixOpenDirectory&) = delete;
  TPosixOpenDirectory& operator=(const TPosixOpenDirectory&) = delete;

  bool HasDescriptor() const { return fd_.Valid(); }
  int Descriptor() const { return fd_.Get(); }
  const TPosixOpenDirectory* Anchor() const { return anchor_; }
  const std::string& Relative() const { return relative_; }

  // A descriptor for work on this directory: its own, or one opened now.
  int Use(TFd& temporary) const {
    if (fd_.Valid()) return fd_.Get();
    temporary = OpenLongPath(anchor_->Descriptor(), relative_, kDirectoryFlags | O_NOFOLLOW);
    return temporary.Get();
  }

 private:
  TFd fd_;
  const TPosixOpenDirectory* anchor_ = nullptr;
  std::string relative_;
  int& open_count_;
};

class TPosixDirectorySearch final : public TDirectorySearch {
 public:
  TPosixDirectorySearch() : buffer_(32768) {}

  std::unique_ptr<TOpenDirectory> OpenDirectory(const std::string& path) override {
    TFd fd = OpenLongPath(AT_FDCWD, path.empty() ? "." : path, kDirectoryFlags | O_NOATIME);
    if (!fd.Valid() && errno == EPERM) fd = OpenLongPath(AT_FDCWD, path, kDirectoryFlags);
    if (!fd.Valid()) return nullptr;
    return std::make_unique<TPosixOpenDirectory>(std::move(fd), open_count_);
  }

  std::unique_ptr<TOpenDirectory> OpenSubdirectory(TOpenDirectory& parent_directory,
                                                   std::string_view name) override {
    auto& parent = static_cast<TPosixOpenDirectory&>(parent_directory);
    const std::string child(name);
    if (parent.HasDescriptor() && open_count_ < kDescriptorBudget) {
      TFd fd(openat(parent.Descriptor(), child.c_str(), kDirectoryFlags | O_NOFOLLOW | O_NOATIME));
      if (!fd.Valid() && errno == EPERM) {
        fd = TFd(openat(parent.Descriptor(), child.c_str(), kDirectoryFlags | O_NOFOLLOW));
      }
      if (!fd.Valid()) return nullptr;
      return std::make_unique<TPosixOpenDirectory>(std::move(fd), open_count_);
    }
    // Over the budget: remember the way from the deepest open ancestor.
    const TPosixOpenDirectory* anchor = parent.HasDescriptor() ? &parent : parent.Anchor();
    std::string relative = parent.HasDescriptor() ? child : parent.Relative() + "/" + child;
    auto directory =
        std::make_unique<TPosixOpenDirectory>(anchor, std::move(relative), open_count_);
    TFd probe;
    if (directory->Use(probe) < 0) return nullptr;
    return directory;
  }

  bool List(TOpenDirectory& open_directory,
            const std::function<void(const TFoundEntry&)>& on_entry) override {
    const auto& directory = static_cast<const TPosixOpenDirectory&>(open_directory);
    TFd temporary;
    const int fd = directory.Use(temporary);
    if (fd < 0) return false;
    ReadEntries(fd, [&](const char* name, unsigned char type, ino64_t inode) {
      if (type == DT_DIR) {
        TFoundEntry entry;
        entry.name = name;
        entry.is_directory = true;
        entry.id = inode;
        on_entry(entry);
        return;
      }
      struct stat info {};
      if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone meanwhile
      on_entry(Entry(name, info));
    });
    return true;
  }

  bool ListNames(TOpenDirectory& open_directory,
                 const std::function<void(std::string_view, bool)>& on_name) override {
    const auto& directory = static_cast<const TPosixOpenDirectory&>(open_directory);
    TFd temporary;
    const int fd = directory.Use(temporary);
    if (fd < 0) return false;
    ReadEntries(fd, [&](const char* name, unsigned char type, ino64_t) {
      bool is_directory = type == DT_DIR;
      if (type == DT_UNKNOWN) {
        struct stat info {};
        is_directory = fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
      }
      on_name(name, is_directory);
    });
    return true;
  }

  std::unique_ptr<TOpenDirectory> OpenBelow(TOpenDirectory& top_directory,
                                            std::string_view relative) override {
    const auto& top = static_cast<const TPosixOpenDirectory&>(top_directory);
    TFd temporary;
    const int base = top.Use(temporary);
    if (base < 0) return nullptr;
    const std::string path(relative);
    // One call that refuses any symbolic link and any way out of top.
    open_how how{};
    how.flags = kDirectoryFlags | O_NOFOLLOW;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    TFd fd(static_cast<int>(syscall(SYS_openat2, base, path.c_str(), &how, sizeof how)));
    if (!fd.Valid() && errno == ENOSYS) {
      // Before Linux 5.6: one name at a time, none of them a link.
      fd = TFd(dup(base));
      for (std::size_t start = 0; fd.Valid() && start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, end - start);
        fd = TFd(openat(fd.Get(), name.c_str(), kDirectoryFlags | O_NOFOLLOW));
        start = end + 1;
      }
    }
    if (!fd.Valid()) return nullptr;
    return std::make_unique<TPosixOpenDirectory>(std::move(fd), open_count_);
  }

  std::optional<TFoundEntry> Find(TOpenDirectory& open_directory, std::string_view name) override {
    const auto& directory = static_cast<const TPosixOpenDirectory&>(open_directory);
    TFd temporary;
    const int fd = directory.Use(temporary);
    if (fd < 0) return std::nullopt;
    const std::string terminated(name);
    struct stat info {};
    if (fstatat(fd, terminated.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    TFoundEntry entry = Entry(terminated.c_str(), info);
    entry.name = name;
    return entry;
  }

  bool Match(const std::string& pattern,
             const std::function<void(const TFoundEntry&)>& on_entry) override {
    const auto slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
    const std::string leaf = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    const TFd fd = OpenLongPath(AT_FDCWD, folder, kDirectoryFlags);
    if (!fd.Valid() || leaf.empty()) return false;
    bool found = false;
    // Every entry may match, hidden ones included: "/etc/*" covers "/etc/.secret".
    ReadEntries(fd.Get(), [&](const char* name, unsigned char /*type*/, ino64_t) {
      if (fnmatch(leaf.c_str(), name, 0) != 0 && leaf != name) return;
      struct stat info {};
      if (fstatat(fd.Get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
      found = true;
      on_entry(Entry(name, info));
    });
    return found;
  }

 private:
  template <class TVisit>
  void ReadEntries(int fd, TVisit visit) {
    for (;;) {
      const long got = syscall(SYS_getdents64, fd, buffer_.data(), buffer_.size());
      if (got <= 0) return;
      for (long offset = 0; offset < got;) {
        const auto* entry = reinterpret_cast<const TLinuxDirent64*>(buffer_.data() + offset);
        offset += entry->d_reclen;
        const char* name = reinterpret_cast<const char*>(entry) + kDirentNameOffset;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        visit(name, entry->d_type, entry->d_ino);
      }
    }
  }

  TFoundEntry Entry(const char* name, const struct stat& info) {
    TFoundEntry entry;
    entry.name = name;
    entry.is_directory = S_ISDIR(info.st_mode);
    entry.size = static_cast<std::uint64_t>(info.st_size);
    entry.time = DayNumber(info.st_mtim.tv_sec);
    entry.id = info.st_ino;
    entry.links = static_cast<std::uint32_t>(info.st_nlink);
    return entry;
  }

  // Local time, truncated to two seconds, as a day number. The offset from
  // UTC is looked up once per hour of file times: localtime_r for every file
  // would cost more than the rest of the walk.
  double DayNumber(time_t utc) {
    const time_t hour = utc >= 0 ? utc / 3600 : (utc - 3599) / 3600;
    auto it = offsets_.find(hour);
    if (it == offsets_.end()) {
      std::tm local{};
      const long offset = localtime_r(&utc, &local) != nullptr ? local.tm_gmtoff : 0;
      it = offsets_.emplace(hour, offset).first;
    }
    long long local_seconds = static_cast<long long>(utc) + it->second;
    local_seconds -= ((local_seconds % 2) + 2) % 2;
    return kUnixEpochDays + static_cast<double>(local_seconds) / 86400.0;
  }

  std::vector<char> buffer_;  // one listing at a time: the search is not re-entrant
  std::unordered_map<time_t, long> offsets_;
  int open_count_ = 0;
};

}  // namespace

std::unique_ptr<TDirectorySearch> MakeSystemDirectorySearch() {
  return std::make_unique<TPosixDirectorySearch>();
}

std::string FormatLocalDateTime(double days) {
  const double seconds = std::round((days - kUnixEpochDays) * 86400.0);
  // The day number already is local time: format it as if it were UTC.
  std::tm civil{};
  char text[128];
  // Beyond about ±292 billion years a time_t cannot hold it.
  if (std::isfinite(seconds) && std::fabs(seconds) < 9.0e18) {
    const auto value = static_cast<time_t>(seconds);
    if (gmtime_r(&value, &civil) != nullptr) {
      const bool midnight = civil.tm_hour == 0 && civil.tm_min == 0 && civil.tm_sec == 0;
      const std::size_t length =
          std::strftime(text, sizeof text, midnight ? "%x" : "%x %X", &civil);
      if (length > 0) return std::string(text, length);
    }
  }
  std::snprintf(text, sizeof text, "%.6f", days);
  return text;
}

std::string CatalogueTextToUtf8(std::string_view line) { return std::string(line); }

}  // namespace warderon

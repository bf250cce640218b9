// Directory search with openat, getdents64 and fstatat relative to the open
// directory (no path resolution per file), and fnmatch for patterns.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstddef>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "platform/directory_search.h"
#include "platform/path_rules.h"

namespace warderon {

TPathRules NativePathRules() { return {'/', true, "/"}; }

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a day number

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// The fixed head of a getdents64 record; the name follows right after d_type.
struct TLinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
};
constexpr std::size_t kDirentNameOffset = offsetof(TLinuxDirent64, d_type) + 1;

class TPosixDirectorySearch final : public TDirectorySearch {
 public:
  bool List(const std::string& directory,
            const std::function<void(const TFoundEntry&)>& on_entry) override {
    const TFd fd(open(directory.empty() ? "." : directory.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME));
    if (fd.Get() < 0) {
      const TFd plain(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (plain.Get() < 0) return false;
      return ListOpen(plain.Get(), on_entry);
    }
    return ListOpen(fd.Get(), on_entry);
  }

  bool Match(const std::string& pattern,
             const std::function<void(const TFoundEntry&)>& on_entry) override {
    const auto slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
    const std::string leaf = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    const TFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0 || leaf.empty()) return false;
    bool found = false;
    ReadEntries(fd.Get(), [&](const char* name, unsigned char /*type*/) {
      if (fnmatch(leaf.c_str(), name, FNM_PERIOD) != 0 && leaf != name) return;
      struct stat info {};
      if (fstatat(fd.Get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
      found = true;
      on_entry(Entry(name, info));
    });
    return found;
  }

 private:
  template <class TVisit>
  static void ReadEntries(int fd, TVisit visit) {
    alignas(8) char buffer[32768];
    for (;;) {
      const long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
      if (got <= 0) return;
      for (long offset = 0; offset < got;) {
        const auto* entry = reinterpret_cast<const TLinuxDirent64*>(buffer + offset);
        offset += entry->d_reclen;
        const char* name = reinterpret_cast<const char*>(entry) + kDirentNameOffset;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        visit(name, entry->d_type);
      }
    }
  }

  bool ListOpen(int fd, const std::function<void(const TFoundEntry&)>& on_entry) {
    ReadEntries(fd, [&](const char* name, unsigned char type) {
      if (type == DT_DIR) {
        TFoundEntry entry;
        entry.name = name;
        entry.is_directory = true;
        on_entry(entry);
        return;
      }
      struct stat info {};
      if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone meanwhile
      on_entry(Entry(name, info));
    });
    return true;
  }

  TFoundEntry Entry(const char* name, const struct stat& info) {
    TFoundEntry entry;
    entry.name = name;
    entry.is_directory = S_ISDIR(info.st_mode);
    entry.size = static_cast<std::uint64_t>(info.st_size);
    entry.time = DayNumber(info.st_mtim.tv_sec);
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
      localtime_r(&utc, &local);
      it = offsets_.emplace(hour, local.tm_gmtoff).first;
    }
    long long local_seconds = static_cast<long long>(utc) + it->second;
    local_seconds -= ((local_seconds % 2) + 2) % 2;
    return kUnixEpochDays + static_cast<double>(local_seconds) / 86400.0;
  }

  std::unordered_map<time_t, long> offsets_;
};

}  // namespace

std::unique_ptr<TDirectorySearch> MakeSystemDirectorySearch() {
  return std::make_unique<TPosixDirectorySearch>();
}

std::string FormatLocalDateTime(double days) {
  const double seconds = std::round((days - kUnixEpochDays) * 86400.0);
  // The day number already is local time: format it as if it were UTC.
  const auto value = static_cast<time_t>(seconds);
  std::tm civil{};
  gmtime_r(&value, &civil);
  char text[128];
  const bool midnight = civil.tm_hour == 0 && civil.tm_min == 0 && civil.tm_sec == 0;
  const std::size_t length = std::strftime(text, sizeof text, midnight ? "%x" : "%x %X", &civil);
  return std::string(text, length);
}

std::string CatalogueTextToUtf8(std::string_view line) { return std::string(line); }

}  // namespace warderon

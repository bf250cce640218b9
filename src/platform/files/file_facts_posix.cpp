#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/files/file_facts.h"
#include "platform/posix/unique_fd.h"

namespace warderon {
namespace {

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The extended attributes that decide who may do what: the POSIX ACLs and
// the security labels (SELinux, file capabilities, IMA).
bool IsSecurityAttribute(std::string_view name) {
  return name.starts_with("security.") || name == "system.posix_acl_access" ||
         name == "system.posix_acl_default";
}

// The first 8 bytes of a SHA-256 over the security attributes' names and
// values, in name order; 0 when the file has none.
std::uint64_t SecurityDigest(const std::string& path) {
  std::vector<char> names(4096);
  ssize_t length = 0;
  for (;;) {
    length = llistxattr(path.c_str(), names.data(), names.size());
    if (length >= 0) break;
    if (errno != ERANGE || names.size() >= (1U << 20)) return 0;
    names.resize(names.size() * 4);
  }
  std::vector<std::string> chosen;
  for (std::size_t at = 0; at < static_cast<std::size_t>(length);) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    if (IsSecurityAttribute(name)) chosen.push_back(name);
  }
  if (chosen.empty()) return 0;
  std::sort(chosen.begin(), chosen.end());
  TSha256 hash;
  std::vector<char> value(4096);
  for (const std::string& name : chosen) {
    ssize_t got = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (got < 0 && errno == ERANGE) {
      const ssize_t needed = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
      if (needed > 0 && needed <= (1 << 20)) {
        value.resize(static_cast<std::size_t>(needed));
        got = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
      }
    }
    hash.Add(name);
    hash.Add(std::string_view("\0", 1));
    if (got > 0) hash.Add(std::string_view(value.data(), static_cast<std::size_t>(got)));
    hash.Add(std::string_view("\0", 1));
  }
  const TSha256Digest digest = hash.Finish();
  std::uint64_t prefix = 0;
  std::memcpy(&prefix, digest.data(), sizeof prefix);
  return prefix == 0 ? 1 : prefix;
}

}  // namespace

std::optional<TFileFacts> ReadFileFacts(const std::string& path, std::string& error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  TFileFacts facts;
  facts.volume = info.st_dev;
  facts.file_id = info.st_ino;
  facts.status_changed = Nanoseconds(info.st_ctim);
  facts.last_write = Nanoseconds(info.st_mtim);
  facts.size = static_cast<std::uint64_t>(info.st_size);
  facts.owner = std::to_string(info.st_uid);
  facts.group = std::to_string(info.st_gid);
  facts.mode = info.st_mode;
  facts.links = static_cast<std::uint32_t>(info.st_nlink);
  facts.security = SecurityDigest(path);
  facts.regular = S_ISREG(info.st_mode);
  return facts;
}

std::string AccountText(const std::string& account, bool group) {
  char* end = nullptr;
  errno = 0;
  const unsigned long number = std::strtoul(account.c_str(), &end, 10);
  if (account.empty() || *end != '\0' || errno != 0) return account;
  std::vector<char> buffer(16384);
  if (group) {
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(static_cast<gid_t>(number), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
      return found->gr_name;
    }
  } else {
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(static_cast<uid_t>(number), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
      return found->pw_name;
    }
  }
  return account;
}

std::string ModeText(std::uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777U);
  return text;
}

struct TContentDigest::TState {
  TUniqueFd fd;
  TSha256 hash;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::int64_t last_write = 0;
  bool changed = false;
};

TContentDigest::TContentDigest() = default;
TContentDigest::~TContentDigest() = default;

bool TContentDigest::Open(const std::string& path, std::string& error) {
  state_.reset();
  // Non-blocking: a FIFO put in a file's place must not hold the cycle.
  TUniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!fd.Valid() || fstat(fd.Get(), &info) != 0) {
    error = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = "not a regular file";
    return false;
  }
  state_ = std::make_unique<TState>();
  state_->fd = std::move(fd);
  state_->size = static_cast<std::uint64_t>(info.st_size);
  state_->last_write = Nanoseconds(info.st_mtim);
  posix_fadvise(state_->fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

std::uint64_t TContentDigest::Read(std::uint64_t budget, std::string& error) {
  if (!state_) return 0;
  constexpr std::size_t kSlice = 1 << 20;
  // Sized to what is left: a small file costs no megabyte.
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::uint64_t read_now = 0;
  while (read_now < budget && state_->offset < state_->size) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>({kSlice, budget - read_now, state_->size - state_->offset}));
    if (want > capacity) {
      buffer.reset(new char[want]);
      capacity = want;
    }
    const ssize_t got =
        pread(state_->fd.Get(), buffer.get(), want, static_cast<off_t>(state_->offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      state_.reset();
      return read_now;
    }
    if (got == 0) {  // shorter than it was: changed while read
      state_->changed = true;
      state_->size = state_->offset;
      break;
    }
    // What was hashed need not stay in the page cache.
    posix_fadvise(state_->fd.Get(), static_cast<off_t>(state_->offset), got, POSIX_FADV_DONTNEED);
    state_->hash.Add(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    state_->offset += static_cast<std::uint64_t>(got);
    read_now += static_cast<std::uint64_t>(got);
  }
  return read_now;
}

bool TContentDigest::Done() const { return !state_ || state_->offset >= state_->size; }

std::uint64_t TContentDigest::Remaining() const {
  return state_ && state_->size > state_->offset ? state_->size - state_->offset : 0;
}

bool TContentDigest::ChangedWhileRead() const {
  if (!state_) return false;
  struct stat info {};
  return state_->changed || fstat(state_->fd.Get(), &info) != 0 ||
         static_cast<std::uint64_t>(info.st_size) != state_->size ||
         Nanoseconds(info.st_mtim) != state_->last_write;
}

TSha256Digest TContentDigest::Finish() {
  TSha256Digest digest{};
  if (state_) digest = state_->hash.Finish();
  state_.reset();
  return digest;
}

void TContentDigest::Close() { state_.reset(); }

}  // namespace warderon

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/files/atomic_file.h"
#include "platform/files/temporary_file.h"

namespace warderon {
namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::generic_category().message(error));
}

// Creates each missing folder of the path for its owner alone; an existing
// last folder that we own loses the write rights of group and others.
void PrepareFolder(const std::string& folder) {
  if (folder.empty()) return;
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string part = folder.substr(0, end);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      Fail("create folder '" + part + "'", errno);
    if (end == std::string::npos) break;
  }
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) Fail("folder '" + folder + "'", errno);
  if (!S_ISDIR(info.st_mode)) Fail("folder '" + folder + "'", ENOTDIR);
  if (info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    chmod(folder.c_str(), info.st_mode & 07755 & ~(S_IWGRP | S_IWOTH));
  }
}

class TPosixTemporaryFile final : public TTemporaryFile {
 public:
  TPosixTemporaryFile(std::string target, mode_t mode)
      : target_(std::move(target)), path_(target_ + ".new") {
    // Whatever stands at the name (a stale file, a planted link) goes first;
    // O_EXCL with O_NOFOLLOW then refuses anything put there meanwhile.
    unlink(path_.c_str());
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd_ < 0) Fail("create '" + path_ + "'", errno);
    fchmod(fd_, mode);  // whatever the umask took away
  }
  ~TPosixTemporaryFile() override {
    if (fd_ >= 0) close(fd_);
    if (!kept_) unlink(path_.c_str());
  }
  TPosixTemporaryFile(const TPosixTemporaryFile&) = delete;
  TPosixTemporaryFile& operator=(const TPosixTemporaryFile&) = delete;

  void Write(std::string_view text) override {
    while (!text.empty()) {
      const auto written = write(fd_, text.data(), text.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) Fail("write '" + path_ + "'", written < 0 ? errno : ENOSPC);
      text.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  void Finish() override {
    if (fsync(fd_) != 0) Fail("flush '" + path_ + "'", errno);
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) Fail("close '" + path_ + "'", errno);
    if (rename(path_.c_str(), target_.c_str()) != 0) Fail("replace '" + target_ + "'", errno);
    kept_ = true;
  }

 private:
  std::string target_;
  std::string path_;
  int fd_ = -1;
  bool kept_ = false;
};

}  // namespace

void PrepareServiceFolder(const std::string& folder) { PrepareFolder(folder); }

std::unique_ptr<TTemporaryFile> CreateTemporaryFileFor(const std::string& target,
                                                       TFileAccess access) {
  if (access == TFileAccess::ReadableByAll) {
    return std::make_unique<TPosixTemporaryFile>(target, 0644);
  }
  const auto slash = target.rfind('/');
  if (slash != std::string::npos && slash > 0) PrepareFolder(target.substr(0, slash));
  return std::make_unique<TPosixTemporaryFile>(target, 0600);
}

std::FILE* OpenFileForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

}  // namespace warderon

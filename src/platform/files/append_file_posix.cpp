#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/files/append_file.h"

namespace warderon {
namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::generic_category().message(error));
}

class TPosixAppendFile final : public TAppendFile {
 public:
  explicit TPosixAppendFile(std::string path) : path_(std::move(path)) {
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) Fail("open '" + path_ + "'", errno);
    fchmod(fd_, 0600);
  }
  ~TPosixAppendFile() override { close(fd_); }
  TPosixAppendFile(const TPosixAppendFile&) = delete;
  TPosixAppendFile& operator=(const TPosixAppendFile&) = delete;

  void Append(std::string_view bytes) override {
    while (!bytes.empty()) {
      const auto written = write(fd_, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) Fail("append to '" + path_ + "'", written < 0 ? errno : ENOSPC);
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (fdatasync(fd_) != 0) Fail("flush '" + path_ + "'", errno);
  }

  void Truncate(std::uint64_t size) override {
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0 || fdatasync(fd_) != 0) {
      Fail("cut '" + path_ + "'", errno);
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<TAppendFile> OpenAppendFile(const std::string& path) {
  return std::make_unique<TPosixAppendFile>(path);
}

}  // namespace warderon

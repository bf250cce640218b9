#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files/instance_lock.h"
#include "platform/posix/unique_fd.h"

namespace warderon {
namespace {

class TFlockInstanceLock final : public TInstanceLock {
 public:
  explicit TFlockInstanceLock(TUniqueFd file) : file_(std::move(file)) {}

 private:
  TUniqueFd file_;  // the lock goes with the descriptor
};

// The process id the holder wrote, as text ("" when there is none).
std::string HolderOf(int fd) {
  char text[32] = {};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  std::string holder(text, got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
  return holder.find_first_not_of("0123456789") == std::string::npos ? holder : "";
}

}  // namespace

std::unique_ptr<TInstanceLock> LockInstance(const std::string& path) {
  TUniqueFd file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.Valid()) {
    throw TInstanceLockError("cannot make the lock file " + path + ": " + std::strerror(errno));
  }
  if (flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      const std::string holder = HolderOf(file.Get());
      throw TInstanceLockError("another watchdog" +
                               (holder.empty() ? std::string() : " (process " + holder + ")") +
                               " runs on this store; its lock is " + path);
    }
    throw TInstanceLockError("cannot lock " + path + ": " + std::strerror(error));
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(file.Get(), 0) == 0) {
    [[maybe_unused]] const ssize_t written = pwrite(file.Get(), pid.data(), pid.size(), 0);
  }
  return std::make_unique<TFlockInstanceLock>(std::move(file));
}

}  // namespace warderon

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/atomic_file.h"

namespace warderon {

bool WriteFileAtomically(const std::string& path,
                         const std::function<void(const TWriteText&)>& produce) {
  std::error_code ignored;
  const std::filesystem::path target(path);
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ignored);
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string buffer;
  buffer.reserve(1 << 20);
  bool failed = false;
  auto flush = [&] {
    std::size_t done = 0;
    while (!failed && done < buffer.size()) {
      const auto written = write(fd, buffer.data() + done, buffer.size() - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0)
        failed = true;
      else
        done += static_cast<std::size_t>(written);
    }
    buffer.clear();
  };
  produce([&](std::string_view text) {
    buffer.append(text);
    if (buffer.size() >= (1 << 20)) flush();
  });
  flush();
  failed = failed || fsync(fd) != 0;
  failed = close(fd) != 0 || failed;
  if (failed) {
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string error = std::generic_category().message(errno);
    unlink(temporary.c_str());
    throw std::runtime_error("replace '" + path + "': " + error);
  }
  return true;
}

std::FILE* OpenFileForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

}  // namespace warderon

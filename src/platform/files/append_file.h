// A file that only grows, each append on the disk before it returns: a
// queue's log that a crash or a power cut can cut only after its last
// whole append. The file is the service's alone (0600; Windows: the rights
// of its folder, which the atomic file writer prepared).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace warderon {

class TAppendFile {
 public:
  virtual ~TAppendFile() = default;
  // Writes the bytes at the end and flushes them to the disk. Raises
  // std::runtime_error naming the file and the reason.
  virtual void Append(std::string_view bytes) = 0;
  // Cuts the file to its first size bytes (a torn last record).
  virtual void Truncate(std::uint64_t size) = 0;
};

// Opens (creating, never through a link) the file for appending. Raises
// std::runtime_error.
std::unique_ptr<TAppendFile> OpenAppendFile(const std::string& path);

}  // namespace warderon

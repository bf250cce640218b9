// The machine's fixed disks and their sizes. Windows: drive letters C to Z
// whose root is a fixed disk. Linux: the local file systems of the mount
// table (block devices that are not removable, and the root file system),
// each named by its mount point.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace warderon {

// Windows: the disk's size and its free bytes in all. Linux: as df counts,
// the space ordinary users can have (used plus available to them, so the
// blocks reserved for root count as neither) and what is available to them:
// a disk that only root can still write to is full.
struct TVolumeSpace {
  std::uint64_t total = 0;  // bytes
  std::uint64_t free = 0;   // bytes
};

class TVolumes {
 public:
  virtual ~TVolumes() = default;
  // The disks' names in order (drive letters, or mount points).
  virtual std::vector<std::string> FixedDisks() = 0;
  // Nothing when the size query fails (the disk went away, ...).
  virtual std::optional<TVolumeSpace> Space(const std::string& disk) = 0;
};

std::unique_ptr<TVolumes> MakeSystemVolumes();

}  // namespace warderon

// Local file systems from the mount table: block devices that are not
// removable, plus the root file system whatever backs it (a container's
// overlay root is still the machine's disk). Named by mount point.
#include <mntent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/files/volumes.h"

namespace warderon {
namespace {

struct TMountTableCloser {
  void operator()(FILE* table) const { endmntent(table); }
};

// True when the block device (or the disk it is a partition of) says it is
// removable.
bool Removable(const std::string& device) {
  std::error_code error;
  const auto name = std::filesystem::path(std::filesystem::canonical(device, error)).filename();
  if (error) return false;
  const auto sys = std::filesystem::canonical("/sys/class/block" / name, error);
  if (error) return false;
  for (const auto& folder : {sys, sys.parent_path()}) {
    std::ifstream flag(folder / "removable");
    int removable = 0;
    if (flag >> removable) return removable == 1;
  }
  return false;
}

bool IsDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

class TMountTableVolumes final : public TVolumes {
 public:
  std::vector<std::string> FixedDisks() override {
    std::vector<std::string> disks;
    const std::unique_ptr<FILE, TMountTableCloser> table(setmntent("/proc/self/mounts", "r"));
    if (!table) return disks;
    std::set<std::string> devices;
    mntent entry{};
    char buffer[4096];
    while (getmntent_r(table.get(), &entry, buffer, sizeof buffer) != nullptr) {
      const std::string source = entry.mnt_fsname;
      const std::string type = entry.mnt_type;
      const std::string point = entry.mnt_dir;
      const bool root = point == "/";
      const bool block = source.starts_with("/dev/") && type != "squashfs" && type != "iso9660" &&
                         type != "udf" && !Removable(source);
      if (!root && !block) continue;
      if (!IsDirectory(entry.mnt_dir)) continue;              // a file bind-mounted from the disk
      if (block && !devices.insert(source).second) continue;  // the same disk mounted again
      disks.push_back(point);
    }
    return disks;
  }

  std::optional<TVolumeSpace> Space(const std::string& disk) override {
    struct statvfs info {};
    if (statvfs(disk.c_str(), &info) != 0) return std::nullopt;
    const std::uint64_t used = static_cast<std::uint64_t>(info.f_blocks - info.f_bfree);
    const std::uint64_t available = info.f_bavail;
    return TVolumeSpace{(used + available) * info.f_frsize, available * info.f_frsize};
  }
};

}  // namespace

std::unique_ptr<TVolumes> MakeSystemVolumes() { return std::make_unique<TMountTableVolumes>(); }

}  // namespace warderon

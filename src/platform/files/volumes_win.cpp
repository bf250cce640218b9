#include "platform/files/volumes.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

std::wstring Root(const std::string& letter) { return win::Widen(letter) + L":\\"; }

class TDriveVolumes final : public TVolumes {
 public:
  std::vector<std::string> FixedDisks() override {
    std::vector<std::string> disks;
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
      const std::string name(1, letter);
      if (GetDriveTypeW(Root(name).c_str()) == DRIVE_FIXED) disks.push_back(name);
    }
    return disks;
  }

  std::optional<TVolumeSpace> Space(const std::string& disk) override {
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER free{};
    if (GetDiskFreeSpaceExW(Root(disk).c_str(), &available, &total, &free) == FALSE) {
      return std::nullopt;
    }
    return TVolumeSpace{total.QuadPart, free.QuadPart};
  }
};

}  // namespace

std::unique_ptr<TVolumes> MakeSystemVolumes() { return std::make_unique<TDriveVolumes>(); }

}  // namespace warderon

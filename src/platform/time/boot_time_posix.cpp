#include <ctime>
#include <fstream>

#include "platform/time/boot_time.h"

namespace warderon {

std::optional<TBootTime> ReadBootTime() {
  std::ifstream id_file("/proc/sys/kernel/random/boot_id");
  TBootTime boot;
  if (!std::getline(id_file, boot.boot_id) || boot.boot_id.empty()) return std::nullopt;
  timespec now{};
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) return std::nullopt;
  boot.seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  return boot;
}

}  // namespace warderon

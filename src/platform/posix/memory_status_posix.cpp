#include <malloc.h>

#include <fstream>
#include <string>

#include "platform/memory_status.h"

namespace warderon {
namespace {

class TProcMemoryStatus final : public TMemoryStatus {
 public:
  // Memory in use as `free` counts it: total less available.
  std::optional<std::int32_t> MemoryLoad() override {
    std::ifstream meminfo("/proc/meminfo");
    std::string name;
    std::uint64_t value = 0;
    std::string unit;
    std::uint64_t total = 0;
    std::uint64_t available = 0;
    bool has_available = false;
    while (meminfo >> name >> value) {
      std::getline(meminfo, unit);
      if (name == "MemTotal:") total = value;
      if (name == "MemAvailable:") {
        available = value;
        has_available = true;
      }
    }
    if (total == 0 || !has_available || available > total) return std::nullopt;
    return static_cast<std::int32_t>((total - available) * 100 / total);
  }

  // What malloc has handed out and not taken back: its arenas and the large
  // blocks it maps on its own.
  std::uint64_t OwnHeapBytes() override {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
  }
};

}  // namespace

std::unique_ptr<TMemoryStatus> MakeSystemMemoryStatus() {
  return std::make_unique<TProcMemoryStatus>();
}

}  // namespace warderon

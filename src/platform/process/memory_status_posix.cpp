#include <malloc.h>

#include <cstddef>

#ifdef __SANITIZE_ADDRESS__
// From the sanitizer runtime (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/process/memory_status.h"

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
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's allocator replaces malloc's and keeps its own count.
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
  }

  void ReturnFreeMemory() override { malloc_trim(0); }

  // The second field of statm: resident pages.
  std::optional<std::uint64_t> ResidentBytes() override {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (!(statm >> size >> resident)) return std::nullopt;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  }
};

}  // namespace

std::unique_ptr<TMemoryStatus> MakeSystemMemoryStatus() {
  return std::make_unique<TProcMemoryStatus>();
}

}  // namespace warderon

#include <malloc.h>

#include "platform/process/memory_status.h"
#include "platform/win/win_support.h"
// After windows.h, which it needs.
#include <psapi.h>

namespace warderon {
namespace {

class TWinMemoryStatus final : public TMemoryStatus {
 public:
  std::optional<std::int32_t> MemoryLoad() override {
    MEMORYSTATUS status{};
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return static_cast<std::int32_t>(status.dwMemoryLoad);
  }

  // The C runtime's heap holds what malloc and new handed out (mingw does
  // not allocate from GetProcessHeap): walk it and add up the used blocks.
  std::uint64_t OwnHeapBytes() override {
    _HEAPINFO info{};
    std::uint64_t used = 0;
    while (_heapwalk(&info) == _HEAPOK) {
      if (info._useflag == _USEDENTRY) used += info._size;
    }
    return used;
  }

  void ReturnFreeMemory() override { _heapmin(); }

  std::optional<std::uint64_t> ResidentBytes() override {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
      return std::nullopt;
    }
    return counters.WorkingSetSize;
  }
};

}  // namespace

std::unique_ptr<TMemoryStatus> MakeSystemMemoryStatus() {
  return std::make_unique<TWinMemoryStatus>();
}

}  // namespace warderon

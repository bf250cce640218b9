// The machine's memory load and the memory this process allocated itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace warderon {

class TMemoryStatus {
 public:
  virtual ~TMemoryStatus() = default;
  // Percent of physical memory in use (0 to 100); nothing on failure.
  virtual std::optional<std::int32_t> MemoryLoad() = 0;
  // Bytes currently allocated by this process's own heap allocator.
  virtual std::uint64_t OwnHeapBytes() = 0;
  // Bytes of this process resident in physical memory; nothing on failure.
  virtual std::optional<std::uint64_t> ResidentBytes() = 0;
  // Gives the heap's free pages back to the system: a cycle's passing
  // needs must not stay resident until the next one.
  virtual void ReturnFreeMemory() = 0;
};

std::unique_ptr<TMemoryStatus> MakeSystemMemoryStatus();

}  // namespace warderon

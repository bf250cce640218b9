// What the monitors ask about running processes. No operation raises: each
// reports failure with an empty result, and the caller substitutes its own
// default ("unknown", ...). A process that ends between listing and
// querying is an ordinary failure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace warderon {

struct TProcessEntry {
  std::uint32_t pid = 0;
  std::string name;  // executable file name, no directory
};

struct TProcessOwner {
  std::string domain;
  std::string name;
};

struct TProcessMemory {
  std::uint64_t working_set = 0;      // bytes in physical memory
  std::uint64_t page_file_usage = 0;  // private bytes committed
};

class TProcessInfo {
 public:
  virtual ~TProcessInfo() = default;
  // Every process of the machine (a process snapshot).
  virtual std::optional<std::vector<TProcessEntry>> ListProcesses() = 0;
  // Every process with its image name (terminal services' list on Windows).
  virtual std::optional<std::vector<TProcessEntry>> ListProcessesWithNames() = 0;
  virtual std::optional<std::string> ExecutablePath(std::uint32_t pid) = 0;
  virtual std::optional<std::vector<std::string>> ModuleFileNames(std::uint32_t pid) = 0;
  virtual std::optional<TProcessOwner> OwnerAccount(std::uint32_t pid) = 0;
  virtual std::optional<TProcessMemory> MemoryCounters(std::uint32_t pid) = 0;
};

std::unique_ptr<TProcessInfo> MakeSystemProcessInfo();

}  // namespace warderon

// Doubles for the resource monitors: disks, memory, processes and the
// command interpreter, each answering what the test set.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/files/volumes.h"
#include "platform/process/command_runner.h"
#include "platform/process/memory_status.h"
#include "platform/process/process_info.h"

namespace warderon::testing {

class TFakeVolumes final : public TVolumes {
 public:
  std::vector<std::string> FixedDisks() override { return disks; }
  std::optional<TVolumeSpace> Space(const std::string& disk) override {
    const auto it = space.find(disk);
    if (it == space.end()) return std::nullopt;
    return it->second;
  }
  // Sets a disk's fullness in percent on a 100,000-byte volume.
  void SetPercent(const std::string& disk, int percent) {
    space[disk] = {100000, static_cast<std::uint64_t>(100000 - percent * 1000)};
  }

  std::vector<std::string> disks;
  std::map<std::string, TVolumeSpace> space;  // a missing disk fails its query
};

class TFakeMemoryStatus final : public TMemoryStatus {
 public:
  std::optional<std::int32_t> MemoryLoad() override { return load; }
  std::uint64_t OwnHeapBytes() override { return heap_bytes; }
  std::optional<std::uint64_t> ResidentBytes() override { return heap_bytes * 2; }
  void ReturnFreeMemory() override {}
  std::optional<std::int32_t> load = 50;
  std::uint64_t heap_bytes = 2048 * 1024;
};

struct TFakeProcess {
  TProcessEntry entry;
  std::optional<std::string> path;
  std::optional<TProcessOwner> owner;
  std::optional<TProcessMemory> memory;
};

class TFakeProcessInfo final : public TProcessInfo {
 public:
  std::optional<std::vector<TProcessEntry>> ListProcesses() override {
    if (!listable) return std::nullopt;
    std::vector<TProcessEntry> entries;
    for (const auto& process : processes) entries.push_back(process.entry);
    return entries;
  }
  std::optional<std::vector<TProcessEntry>> ListProcessesWithNames() override {
    return ListProcesses();
  }
  std::optional<std::string> ExecutablePath(std::uint32_t pid) override {
    if (snapshot_refused.count(pid) != 0) return std::nullopt;
    return Find(pid).path;
  }
  std::optional<std::vector<std::string>> ModuleFileNames(std::uint32_t pid) override {
    if (modules.count(pid) != 0) return modules.at(pid);
    const auto path = Find(pid).path;
    if (!path) return std::nullopt;
    return std::vector<std::string>{*path};
  }
  std::optional<TProcessOwner> OwnerAccount(std::uint32_t pid) override { return Find(pid).owner; }
  std::optional<TProcessMemory> MemoryCounters(std::uint32_t pid) override {
    return Find(pid).memory;
  }

  std::vector<TFakeProcess> processes;
  bool listable = true;
  std::set<std::uint32_t> snapshot_refused;  // processes without an executable path
  std::map<std::uint32_t, std::vector<std::string>> modules;  // default: the path alone

 private:
  // A process that is not listed any more answers nothing, like one that ended.
  TFakeProcess Find(std::uint32_t pid) const {
    for (const auto& process : processes) {
      if (process.entry.pid == pid) return process;
    }
    return {};
  }
};

class TFakeCommandRunner final : public TCommandRunner {
 public:
  TCommandStart Start(const std::string& command) override {
    started.push_back(command);
    return result;
  }
  std::vector<std::string> started;
  TCommandStart result{true, {}};
};

}  // namespace warderon::testing

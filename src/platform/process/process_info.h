// What the monitors ask about running processes. No operation raises: each
// reports failure with an empty result, and the caller substitutes its own
// default ("unknown", ...). A process that ends between listing and
// querying is an ordinary failure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace warderon {

struct TProcessEntry {
  std::uint32_t pid = 0;
  std::string name;  // executable file name, no directory
};

struct TProcessOwner {
  std::string domain;
  std::string name;
  // Linux: the user id the process acts as.
  std::optional<std::uint32_t> uid = std::nullopt;
};

// Whether the owner is one of the machine's built-in service accounts
// (Windows: NT AUTHORITY's SYSTEM, LOCAL SERVICE, NETWORK SERVICE; Linux:
// root and the system users, below the first ordinary user id).
bool IsServiceAccount(const TProcessOwner& owner);

// Whether an image path names a file whose signature can be checked
// (Windows: a file on a drive; Linux: an absolute path). A path with the
// deleted mark is checkable: it fails the check without being opened.
bool IsCheckableImagePath(const std::string& path);

// Appended to an executable's path when the file the process runs from is
// gone from that path (deleted, or replaced by another file): whatever is
// at the path now is not what runs.
inline constexpr std::string_view kDeletedImageMark = " (deleted)";

inline bool HasDeletedImageMark(std::string_view path) { return path.ends_with(kDeletedImageMark); }

// The path without the mark, for keys that name a program by its place (a
// program upgraded under a running process is still that program).
inline std::string WithoutDeletedImageMark(std::string path) {
  if (HasDeletedImageMark(path)) path.resize(path.size() - kDeletedImageMark.size());
  return path;
}

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

// This process's identifier.
std::uint32_t CurrentProcessId();

}  // namespace warderon

// Process information from /proc.
#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/net/host_name.h"
#include "platform/process/process_info.h"

namespace warderon {
namespace {

std::string ProcPath(std::uint32_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

std::optional<std::string> ReadLink(const std::string& path) {
  std::string target(4096, '\0');
  const auto length = readlink(path.c_str(), target.data(), target.size());
  if (length <= 0) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// The value of a "Name:" line of /proc/PID/status, as its first word.
// The word at `place` (0 first) of a field of /proc/PID/status.
std::optional<std::string> StatusField(std::uint32_t pid, const std::string& field, int place = 0) {
  std::ifstream status(ProcPath(pid, "status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") != 0) continue;
    std::istringstream words(line.substr(field.size() + 1));
    std::string value;
    for (int i = 0; i <= place; ++i) {
      if (!(words >> value)) return std::nullopt;
    }
    return value;
  }
  return std::nullopt;
}

std::uint64_t KibField(std::uint32_t pid, const std::string& field) {
  const auto value = StatusField(pid, field);
  return value ? std::strtoull(value->c_str(), nullptr, 10) * 1024 : 0;
}

class TProcProcessInfo final : public TProcessInfo {
 public:
  std::optional<std::vector<TProcessEntry>> ListProcesses() override {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return std::nullopt;
    std::vector<TProcessEntry> processes;
    while (const dirent* entry = readdir(proc)) {
      char* end = nullptr;
      const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0') continue;
      const auto id = static_cast<std::uint32_t>(pid);
      std::string name;
      if (const auto path = ExecutablePath(id)) {
        name = path->substr(path->rfind('/') + 1);
      } else if (const auto command = StatusField(id, "Name")) {
        name = *command;  // kernel threads and processes we may not look into
      } else {
        continue;  // gone already
      }
      processes.push_back({id, name});
    }
    closedir(proc);
    return processes;
  }

  std::optional<std::vector<TProcessEntry>> ListProcessesWithNames() override {
    return ListProcesses();
  }

  std::optional<std::string> ExecutablePath(std::uint32_t pid) override {
    // The kernel's " (deleted)" stays: a file now at the path is not the one that runs.
    return ReadLink(ProcPath(pid, "exe"));
  }

  std::optional<std::vector<std::string>> ModuleFileNames(std::uint32_t pid) override {
    std::ifstream maps(ProcPath(pid, "maps"));
    if (!maps) return std::nullopt;
    std::vector<std::string> modules;
    std::set<std::string> seen;
    std::string line;
    while (std::getline(maps, line)) {
      const auto slash = line.find('/');
      if (slash == std::string::npos) continue;
      std::string path = line.substr(slash);
      if (seen.insert(path).second) modules.push_back(std::move(path));
    }
    return modules;
  }

  std::optional<TProcessOwner> OwnerAccount(std::uint32_t pid) override {
    // Real, effective, saved, file system: the effective user is who the
    // process acts as (a setuid program runs as its owner), as ps shows it.
    const auto uid_text = StatusField(pid, "Uid", 1);
    if (!uid_text) return std::nullopt;
    const auto uid = static_cast<uid_t>(std::strtoul(uid_text->c_str(), nullptr, 10));
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
      return std::nullopt;
    }
    return TProcessOwner{GetLocalHostName(), found->pw_name, uid};
  }

  std::optional<TProcessMemory> MemoryCounters(std::uint32_t pid) override {
    if (!StatusField(pid, "VmRSS")) return std::nullopt;  // gone, or a kernel thread
    return TProcessMemory{KibField(pid, "VmRSS"),
                          KibField(pid, "RssAnon") + KibField(pid, "VmSwap")};
  }
};

}  // namespace

// The first ordinary user id: UID_MIN of /etc/login.defs, else 1000.
std::uint32_t FirstOrdinaryUid() {
  std::ifstream definitions("/etc/login.defs");
  std::string line;
  while (std::getline(definitions, line)) {
    std::istringstream fields(line);
    std::string name;
    std::uint32_t value = 0;
    if (fields >> name && name == "UID_MIN" && fields >> value) return value;
  }
  return 1000;
}

bool IsServiceAccount(const TProcessOwner& owner) {
  static const std::uint32_t first_ordinary = FirstOrdinaryUid();
  return owner.uid && *owner.uid < first_ordinary;
}

bool IsCheckableImagePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::unique_ptr<TProcessInfo> MakeSystemProcessInfo() {
  return std::make_unique<TProcProcessInfo>();
}

}  // namespace warderon

// Linux's persistence points, each a row of "name=text" entries chosen so
// that a report line says what changed and where:
//   Environment     /etc/environment          VARIABLE=value
//   ld.so.preload   /etc/ld.so.preload        LIBRARY=/etc/ld.so.preload
//   rc.local        /etc/rc.local             COMMAND LINE=/etc/rc.local
//   systemd units   enabled unit links        UNIT=TARGET (, TARGET...)
//   crontabs        system and user crontabs  JOB LINE=CRONTAB FILE
//   profile.d       /etc/profile.d/*          SCRIPT=md5 DIGEST
//   root ssh keys   root's authorized keys    KEY LINE=FILE
// Entries whose names coincide are merged, their texts joined, so that every
// entry keeps a name of its own. A name may hold "=" (a crontab line
// "PATH=/a"): names and texts travel apart.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/autostart/linux_autostart.h"
#include "platform/crypto/md5.h"

namespace warderon {
namespace {

namespace fs = std::filesystem;

// Files larger than this are read only this far: the entries are lines of
// configuration, and no file may cost the watchdog unbounded memory.
constexpr std::streamsize kMaxFileBytes = 1 << 20;

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string content(static_cast<std::size_t>(kMaxFileBytes), '\0');
  file.read(content.data(), kMaxFileBytes);
  content.resize(static_cast<std::size_t>(file.gcount()));
  return content;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The lines that are neither empty nor comments.
std::vector<std::string> MeaningfulLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t end = std::min(content.find('\n', start), content.size());
    const std::string line = Trimmed(content.substr(start, end - start));
    if (!line.empty() && line.front() != '#') lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The regular files of a folder, sorted; none when it cannot be listed.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->is_regular_file(error)) files.push_back(entry->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Collects entries by name; texts of one name are joined.
class TEntries {
 public:
  void Add(const std::string& name, const std::string& text) { texts_[name].insert(text); }
  void AddEntry(const std::string& entry) {
    const auto equals = entry.find('=');
    if (equals == std::string::npos) {
      Add(entry, "");
    } else {
      Add(entry.substr(0, equals), entry.substr(equals + 1));
    }
  }
  std::vector<TAutostartEntry> Take() const {
    std::vector<TAutostartEntry> entries;
    for (const auto& [name, texts] : texts_) {
      std::string joined;
      for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
      entries.push_back({name, joined});
    }
    return entries;
  }

 private:
  std::map<std::string, std::set<std::string>> texts_;
};

class TLinuxAutostartSource final : public TAutostartSource {
 public:
  explicit TLinuxAutostartSource(std::string root) : root_(std::move(root)) {
    while (!root_.empty() && root_.back() == '/') root_.pop_back();
  }

  std::vector<TAutostartKey> WatchedKeys() override {
    return {{"Environment", "/etc/environment", std::nullopt},
            {"ld.so.preload", "/etc/ld.so.preload", std::nullopt},
            {"rc.local", "/etc/rc.local", std::nullopt},
            {"systemd units", "/etc/systemd/system", std::nullopt},
            {"crontabs", "/etc/crontab", std::nullopt},
            {"profile.d", "/etc/profile.d", std::nullopt},
            {"root ssh keys", "/root/.ssh", std::nullopt}};
  }

  std::vector<TAutostartEntry> ReadEntries(const TAutostartKey& key) override {
    TEntries entries;
    if (key.name == "Environment") {
      for (const std::string& line : Lines(key.key_path)) entries.AddEntry(line);
    } else if (key.name == "ld.so.preload") {
      for (const std::string& line : Lines(key.key_path)) {
        std::size_t start = 0;
        while ((start = line.find_first_not_of(" \t:", start)) != std::string::npos) {
          const std::size_t end = std::min(line.find_first_of(" \t:", start), line.size());
          entries.Add(line.substr(start, end - start), key.key_path);
          start = end;
        }
      }
    } else if (key.name == "rc.local") {
      AddLinesOf(key.key_path, entries);
    } else if (key.name == "systemd units") {
      AddEnabledUnits(key.key_path, entries);
    } else if (key.name == "crontabs") {
      AddLinesOf("/etc/crontab", entries);
      for (const char* folder : {"/etc/cron.d", "/var/spool/cron/crontabs"}) {
        for (const std::string& file : FilesIn(root_ + folder)) {
          AddLinesOf(file.substr(root_.size()), entries);
        }
      }
    } else if (key.name == "profile.d") {
      for (const std::string& file : FilesIn(root_ + key.key_path)) {
        if (const auto content = ReadFile(file)) {
          entries.Add(file.substr(root_.size()), "md5 " + Md5Hex(*content));
        }
      }
    } else if (key.name == "root ssh keys") {
      AddLinesOf("/root/.ssh/authorized_keys", entries);
      AddLinesOf("/root/.ssh/authorized_keys2", entries);
    }
    return entries.Take();
  }

 private:
  std::vector<std::string> Lines(const std::string& path) const {
    const auto content = ReadFile(root_ + path);
    return content ? MeaningfulLines(*content) : std::vector<std::string>{};
  }

  // Each line is an entry named by the line, with the file as its text.
  void AddLinesOf(const std::string& path, TEntries& entries) const {
    for (const std::string& line : Lines(path)) entries.Add(line, path);
  }

  // Enabled units are links in the .wants, .requires and .upholds folders
  // of their targets.
  void AddEnabledUnits(const std::string& folder, TEntries& entries) const {
    std::error_code error;
    for (fs::directory_iterator target(root_ + folder, error), end; !error && target != end;
         target.increment(error)) {
      const std::string name = target->path().filename().string();
      const auto dot = name.rfind('.');
      if (dot == std::string::npos || !target->is_directory(error)) continue;
      const std::string kind = name.substr(dot);
      if (kind != ".wants" && kind != ".requires" && kind != ".upholds") continue;
      std::error_code inner;
      for (fs::directory_iterator unit(target->path(), inner), unit_end; !inner && unit != unit_end;
           unit.increment(inner)) {
        entries.Add(unit->path().filename().string(), name.substr(0, dot));
      }
    }
  }

  std::string root_;
};

}  // namespace

std::unique_ptr<TAutostartSource> MakeLinuxAutostartSource(const std::string& root) {
  return std::make_unique<TLinuxAutostartSource>(root);
}

std::unique_ptr<TAutostartSource> MakeSystemAutostartSource() {
  return MakeLinuxAutostartSource("/");
}

}  // namespace warderon

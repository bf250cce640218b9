// Linux's persistence points, each a row of "name=text" entries chosen so
// that a report line says what changed and where:
//   Environment     /etc/environment          VARIABLE=value
//   ld.so.preload   /etc/ld.so.preload        LIBRARY=/etc/ld.so.preload
//   rc.local        /etc/rc.local             COMMAND LINE=/etc/rc.local
//   systemd units   enabled unit links        UNIT=TARGET (, TARGET...)
//   crontabs        system and user crontabs  JOB LINE=CRONTAB FILE
//   profile.d       /etc/profile.d/*          SCRIPT=md5 DIGEST
//   root ssh keys   root's authorized keys    KEY LINE=FILE
// With "HackingExtended" also (each line an entry named by the line, with its
// file as text, unless said):
//   unit commands   the Exec lines of every enabled unit and its drop-ins
//   pam.d, udev rules (RUN and PROGRAM lines), sudoers, kernel modules
//   (modules, modules-load.d, modprobe.d install lines), ld.so.conf
//   shell start files   FILE=sha256 DIGEST
//   xdg autostart   the Exec lines of /etc/xdg/autostart/*.desktop
//   at jobs         JOB FILE=sha256 DIGEST
//   ssh keys        every account's authorized keys
// Entries whose names coincide are merged, their texts joined, so that every
// entry keeps a name of its own. A name may hold "=" (a crontab line
// "PATH=/a"): names and texts travel apart.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/autostart/linux_autostart.h"
#include "platform/crypto/md5.h"
#include "platform/crypto/sha256.h"
#include "platform/posix/unique_fd.h"

namespace warderon {
namespace {

namespace fs = std::filesystem;

// Collects entries by name; texts of one name are joined. Keeps what kept
// the reading from being whole: the first bound met, the first failure.
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
  void CutShort(const std::string& what) {
    if (cut_short_.empty()) cut_short_ = what;
  }
  void Unreadable(const std::string& what) {
    if (failure_.empty()) failure_ = what;
  }
  TAutostartReading Take() const {
    TAutostartReading reading{{}, cut_short_, failure_};
    for (const auto& [name, texts] : texts_) {
      std::string joined;
      for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
      reading.entries.push_back({name, joined});
    }
    return reading;
  }

 private:
  std::map<std::string, std::set<std::string>> texts_;
  std::string cut_short_;
  std::string failure_;
};

// Files larger than this are read only this far: the entries are lines of
// configuration, and no file may cost the watchdog unbounded memory.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// The first megabyte of a regular file; nothing when there is none at the
// path. Opened without blocking: a FIFO put in a file's place must not hold
// the cycle. A file that is there but cannot be read is noted.
std::optional<std::string> ReadFile(const std::string& path, TEntries& notes) {
  const TUniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.Valid()) {
    if (errno != ENOENT && errno != ENOTDIR) notes.Unreadable(path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  struct stat status {};
  if (fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  std::string content(kMaxFileBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t got = read(file.Get(), content.data() + filled, content.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      notes.Unreadable(path + ": " + std::strerror(errno));
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > kMaxFileBytes) {
    notes.CutShort("only the first MB of " + path + " is read");
    filled = kMaxFileBytes;
  }
  content.resize(filled);
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

// At most this many files of one folder are read: a folder an intruder
// fills must not cost the cycle without bound.
constexpr std::size_t kMaxFiles = 10000;

// The regular files of a folder, sorted; none when there is no such
// folder. A folder that cannot be listed, or has more, is noted.
std::vector<std::string> FilesIn(const std::string& folder, TEntries& notes) {
  std::vector<std::string> files;
  std::error_code error;
  fs::directory_iterator entry(folder, error), end;
  for (; !error && entry != end; entry.increment(error)) {
    if (files.size() == kMaxFiles) {
      notes.CutShort("only 10,000 files of " + folder + " are read");
      break;
    }
    std::error_code kind;
    if (entry->is_regular_file(kind)) files.push_back(entry->path().string());
  }
  if (error && error != std::errc::no_such_file_or_directory &&
      error != std::errc::not_a_directory) {
    notes.Unreadable(folder + ": " + error.message());
  }
  std::sort(files.begin(), files.end());
  return files;
}

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

  std::vector<TAutostartKey> ExtendedKeys() override {
    std::vector<TAutostartKey> keys;
    for (const char* name :
         {"unit commands", "pam.d", "udev rules", "sudoers", "kernel modules", "ld.so.conf",
          "shell start files", "xdg autostart", "at jobs", "ssh keys"}) {
      TAutostartKey key{name, "/etc", std::nullopt};
      key.extended = true;
      keys.push_back(std::move(key));
    }
    return keys;
  }

  std::vector<TAutostartEntry> ReadEntries(const TAutostartKey& key) override {
    return Read(key).entries;
  }

  TAutostartReading Read(const TAutostartKey& key) override {
    TEntries entries;
    if (key.extended) {
      ReadExtended(key.name, entries);
      return entries.Take();
    }
    if (key.name == "Environment") {
      for (const std::string& line : Lines(key.key_path, entries)) entries.AddEntry(line);
    } else if (key.name == "ld.so.preload") {
      for (const std::string& line : Lines(key.key_path, entries)) {
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
        for (const std::string& file : FilesIn(root_ + folder, entries)) {
          AddLinesOf(file.substr(root_.size()), entries);
        }
      }
    } else if (key.name == "profile.d") {
      for (const std::string& file : FilesIn(root_ + key.key_path, entries)) {
        if (const auto content = ReadFile(file, entries)) {
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
  std::vector<std::string> Lines(const std::string& path, TEntries& entries) const {
    const auto content = ReadFile(root_ + path, entries);
    return content ? MeaningfulLines(*content) : std::vector<std::string>{};
  }

  // Each line is an entry named by the line, with the file as its text.
  void AddLinesOf(const std::string& path, TEntries& entries) const {
    for (const std::string& line : Lines(path, entries)) entries.Add(line, path);
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

  // The places "HackingExtended" adds.
  void ReadExtended(const std::string& place, TEntries& entries) const {
    const auto folder_lines = [&](const char* folder, const auto& keep) {
      for (const std::string& file : FilesIn(root_ + folder, entries)) {
        const std::string path = file.substr(root_.size());
        for (const std::string& line : Lines(path, entries)) {
          if (keep(line)) entries.Add(line, path);
        }
      }
    };
    const auto every_line = [](const std::string&) { return true; };
    const auto digest = [&](const std::string& path) {
      if (const auto content = ReadFile(root_ + path, entries)) {
        entries.Add(path, "sha256 " + HexDigest(Sha256(*content)));
      }
    };
    if (place == "unit commands") {
      AddUnitCommands(entries);
    } else if (place == "pam.d") {
      folder_lines("/etc/pam.d", every_line);
    } else if (place == "udev rules") {
      const auto runs = [](const std::string& line) {
        return line.find("RUN") != std::string::npos || line.find("PROGRAM") != std::string::npos;
      };
      folder_lines("/etc/udev/rules.d", runs);
      folder_lines("/lib/udev/rules.d", runs);
    } else if (place == "sudoers") {
      AddLinesOf("/etc/sudoers", entries);
      folder_lines("/etc/sudoers.d", every_line);
    } else if (place == "kernel modules") {
      AddLinesOf("/etc/modules", entries);
      folder_lines("/etc/modules-load.d", every_line);
      folder_lines("/etc/modprobe.d",
                   [](const std::string& line) { return line.rfind("install", 0) == 0; });
    } else if (place == "ld.so.conf") {
      AddLinesOf("/etc/ld.so.conf", entries);
      folder_lines("/etc/ld.so.conf.d", every_line);
    } else if (place == "shell start files") {
      for (const char* path : {"/etc/bash.bashrc", "/etc/profile", "/root/.bashrc",
                               "/root/.profile", "/root/.bash_profile"}) {
        digest(path);
      }
    } else if (place == "xdg autostart") {
      folder_lines("/etc/xdg/autostart",
                   [](const std::string& line) { return line.rfind("Exec", 0) == 0; });
    } else if (place == "at jobs") {
      for (const std::string& file : FilesIn(root_ + "/var/spool/cron/atjobs", entries)) {
        digest(file.substr(root_.size()));
      }
    } else if (place == "ssh keys") {
      // Every account's home, from the account file below the root.
      std::set<std::string> homes;
      for (const std::string& line : Lines("/etc/passwd", entries)) {
        // NAME:PASSWORD:UID:GID:GECOS:HOME:SHELL
        std::vector<std::string> fields;
        for (std::size_t start = 0;;) {
          const std::size_t colon = line.find(':', start);
          fields.push_back(line.substr(start, colon == std::string::npos ? colon : colon - start));
          if (colon == std::string::npos) break;
          start = colon + 1;
        }
        if (fields.size() < 6) continue;
        const std::string& home = fields[5];
        if (home.empty() || home.front() != '/') continue;
        if (homes.size() == kMaxFiles) {
          entries.CutShort("only 10,000 homes are read");
          break;
        }
        homes.insert(home);
      }
      for (const std::string& home : homes) {
        AddLinesOf(home + "/.ssh/authorized_keys", entries);
        AddLinesOf(home + "/.ssh/authorized_keys2", entries);
      }
    }
  }

  // The Exec lines of each enabled unit (the link's target below the root)
  // and of its drop-ins in /etc/systemd/system/UNIT.d.
  void AddUnitCommands(TEntries& entries) const {
    TEntries units;
    AddEnabledUnits("/etc/systemd/system", units);
    std::size_t read = 0;
    for (const TAutostartEntry& unit : units.Take().entries) {
      if (++read > kMaxFiles) {
        entries.CutShort("only 10,000 units are read");
        break;
      }
      std::vector<std::string> files;
      for (const char* folder :
           {"/etc/systemd/system/", "/lib/systemd/system/", "/usr/lib/systemd/system/"}) {
        std::error_code error;
        if (fs::is_regular_file(root_ + folder + unit.name, error)) {
          files.push_back(folder + unit.name);
          break;
        }
      }
      for (const std::string& file :
           FilesIn(root_ + "/etc/systemd/system/" + unit.name + ".d", entries)) {
        files.push_back(file.substr(root_.size()));
      }
      for (const std::string& file : files) {
        for (const std::string& line : Lines(file, entries)) {
          if (line.rfind("Exec", 0) == 0) entries.Add(unit.name + ": " + line, file);
        }
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

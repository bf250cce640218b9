// Service units of systemd, when systemd runs: the unit's description is the
// display name and "active" counts as running. Loaded units come from
// list-units; installed unit files that systemd has not loaded (or has
// unloaded after they stopped) come from list-unit-files, with their
// descriptions from show, so a service's presence never depends on what
// systemd happens to keep in memory. Any systemctl call that fails fails the
// whole listing.
#include <sys/stat.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "platform/accounts/service_list.h"
#include "platform/accounts/systemd_service_list.h"
#include "platform/posix/command_output.h"

namespace warderon {
namespace {

// The lines a command prints; a command that fails fails the listing.
std::vector<std::string> CommandLines(const std::string& command) {
  try {
    return CommandOutputLines(command);
  } catch (const TCommandOutputError& error) {
    throw TServiceListError(error.what());
  }
}

// The commands of an Exec property as show gives them ("{ path=... ;
// argv[]=... ; ... pid=... ; status=... }" each), without what changes as
// they run (times, pids, exit status).
std::string CommandLinesOf(const std::string& value) {
  std::string commands;
  for (std::size_t at = value.find("argv[]="); at != std::string::npos;
       at = value.find("argv[]=", at)) {
    at += 7;
    const std::size_t end = value.find(" ;", at);
    if (!commands.empty()) commands += " ; ";
    commands += value.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (end == std::string::npos) break;
  }
  return commands;
}

// What each property is called in a change line, in the order reported.
constexpr std::pair<const char*, const char*> kConfigProperties[] = {
    {"FragmentPath", "unit file"},
    {"DropInPaths", "drop-ins"},
    {"ExecStart", "ExecStart"},
    {"ExecStartPre", "ExecStartPre"},
    {"ExecStartPost", "ExecStartPost"},
    {"ExecStop", "ExecStop"},
    {"User", "User"},
    {"Group", "Group"},
    {"UnitFileState", "enabled"},
};

bool IsTemplate(const std::string& unit) {
  return unit.size() > 9 && unit.compare(unit.size() - 9, 9, "@.service") == 0;
}

class TSystemdServiceList final : public TServiceList {
 public:
  TSystemdServiceList(std::string systemctl, std::string manager_marker)
      : systemctl_(ShellQuoted(systemctl)), manager_marker_(std::move(manager_marker)) {}

  void Enumerate(const std::function<void(const std::vector<TServiceEntry>&)>& on_batch) override {
    struct stat info {};
    if (stat(manager_marker_.c_str(), &info) != 0) return;  // systemd is not the service manager
    std::vector<TServiceEntry> batch;
    std::set<std::string> loaded;
    for (const std::string& line : CommandLines(
             systemctl_ + " list-units --type=service --all --plain --no-legend --no-pager")) {
      // UNIT LOAD ACTIVE SUB DESCRIPTION...
      std::istringstream fields(line);
      std::string unit, load, active, sub;
      if (!(fields >> unit >> load >> active >> sub)) continue;
      std::string description;
      std::getline(fields >> std::ws, description);
      loaded.insert(unit);
      batch.push_back({description.empty() ? unit : description, active == "active"});
    }
    std::vector<std::string> unloaded;
    for (const std::string& line : CommandLines(
             systemctl_ + " list-unit-files --type=service --plain --no-legend --no-pager")) {
      // UNIT STATE [PRESET]
      std::istringstream fields(line);
      std::string unit;
      if (!(fields >> unit) || IsTemplate(unit) || loaded.count(unit) != 0) continue;
      unloaded.push_back(unit);
    }
    for (const TServiceEntry& entry : DescribeUnloaded(unloaded)) batch.push_back(entry);
    if (!batch.empty()) on_batch(batch);
  }

  std::vector<TServiceConfig> Configurations(std::size_t limit, bool& truncated) override {
    truncated = false;
    struct stat info {};
    if (stat(manager_marker_.c_str(), &info) != 0) return {};
    std::vector<std::string> units;
    std::set<std::string> seen;
    const auto add = [&](const std::string& unit) {
      if (IsTemplate(unit) || !seen.insert(unit).second) return;
      if (units.size() == limit) {
        truncated = true;
        return;
      }
      units.push_back(unit);
    };
    for (const std::string& line : CommandLines(
             systemctl_ + " list-units --type=service --all --plain --no-legend --no-pager")) {
      std::istringstream fields(line);
      std::string unit;
      if (fields >> unit) add(unit);
    }
    for (const std::string& line : CommandLines(
             systemctl_ + " list-unit-files --type=service --plain --no-legend --no-pager")) {
      std::istringstream fields(line);
      std::string unit;
      if (fields >> unit) add(unit);
    }
    return Show(units);
  }

  std::optional<TServiceConfig> Configuration(const std::string& name) override {
    struct stat info {};
    if (stat(manager_marker_.c_str(), &info) != 0) return std::nullopt;
    std::vector<TServiceConfig> configs = Show({name});
    if (configs.empty() || configs[0].fields.empty()) return std::nullopt;
    return std::move(configs[0]);
  }

 private:
  // The configurations of units, a few hundred a call; a unit systemd does
  // not know is left out.
  std::vector<TServiceConfig> Show(const std::vector<std::string>& units) {
    std::vector<TServiceConfig> configs;
    constexpr std::size_t kUnitsPerCall = 200;
    for (std::size_t first = 0; first < units.size(); first += kUnitsPerCall) {
      std::string command = systemctl_ + " show --no-pager -p Id -p Description -p LoadState";
      for (const auto& [property, field] : kConfigProperties)
        command += std::string(" -p ") + property;
      std::map<std::string, std::map<std::string, std::string>> shown;
      for (std::size_t i = first; i < units.size() && i < first + kUnitsPerCall; ++i) {
        command += " " + ShellQuoted(units[i]);
      }
      // Blocks of properties, one per unit, apart by empty lines.
      std::map<std::string, std::string> block;
      const auto end_block = [&] {
        if (const auto id = block.find("Id"); id != block.end()) shown[id->second] = block;
        block.clear();
      };
      for (const std::string& line : CommandLines(command)) {
        if (line.empty()) {
          end_block();
          continue;
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) block[line.substr(0, equals)] = line.substr(equals + 1);
      }
      end_block();
      for (std::size_t i = first; i < units.size() && i < first + kUnitsPerCall; ++i) {
        TServiceConfig config{units[i], units[i], {}};
        const auto found = shown.find(units[i]);
        if (found != shown.end() && found->second["LoadState"] == "not-found") continue;
        if (found != shown.end()) {
          auto& properties = found->second;
          if (const auto text = properties.find("Description");
              text != properties.end() && !text->second.empty()) {
            config.display_name = text->second;
          }
          for (const auto& [property, field] : kConfigProperties) {
            const auto value = properties.find(property);
            std::string text = value == properties.end() ? "" : value->second;
            if (std::string_view(property).starts_with("Exec")) text = CommandLinesOf(text);
            config.fields.emplace_back(field, text);
          }
        }
        configs.push_back(std::move(config));
      }
    }
    return configs;
  }

 private:
  // The descriptions of units systemd has not loaded: "Id=" and
  // "Description=" blocks from show, in a few calls.
  std::vector<TServiceEntry> DescribeUnloaded(const std::vector<std::string>& units) {
    std::vector<TServiceEntry> entries;
    constexpr std::size_t kUnitsPerCall = 200;
    for (std::size_t first = 0; first < units.size(); first += kUnitsPerCall) {
      std::string command = systemctl_ + " show --no-pager -p Id -p Description";
      std::map<std::string, std::string> described;
      for (std::size_t i = first; i < units.size() && i < first + kUnitsPerCall; ++i) {
        command += " " + ShellQuoted(units[i]);
        described[units[i]] = units[i];
      }
      std::string id;
      for (const std::string& line : CommandLines(command)) {
        if (line.rfind("Id=", 0) == 0) id = line.substr(3);
        if (line.rfind("Description=", 0) == 0 && described.count(id) != 0 && line.size() > 12) {
          described[id] = line.substr(12);
        }
      }
      for (std::size_t i = first; i < units.size() && i < first + kUnitsPerCall; ++i) {
        entries.push_back({described[units[i]], false});  // not loaded: not running
      }
    }
    return entries;
  }

  std::string systemctl_;
  std::string manager_marker_;
};

}  // namespace

std::unique_ptr<TServiceList> MakeSystemdServiceList(const std::string& systemctl,
                                                     const std::string& manager_marker) {
  return std::make_unique<TSystemdServiceList>(systemctl, manager_marker);
}

std::unique_ptr<TServiceList> MakeSystemServiceList() {
  return MakeSystemdServiceList("systemctl", "/run/systemd/system");
}

}  // namespace warderon

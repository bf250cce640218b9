#include "service/monitor_switches.h"

namespace warderon {

namespace {

// The switches, as the monitors read them; "AuthenticodeEnabled" is a level.
const std::vector<std::pair<const char*, const char*>> kMonitorSwitches = {
    {"FilesEnabled", "files"},         {"ServicesEnabled", "services"},
    {"SocketsEnabled", "sockets"},     {"ADEnabled", "directory groups"},
    {"DisksEnabled", "disks"},         {"MemGlobalEnabled", "machine memory"},
    {"MemLocalEnabled", "own memory"}, {"SharesEnabled", "shares"},
    {"HackingEnabled", "autostart"},   {"AuthenticodeEnabled", "signatures"}};

bool SwitchOn(TPolicyBackend& backend, const char* name) {
  const auto value = backend.ReadValue("general", name);
  return value && value->type == TPolicyValueType::Integer && value->integer > 0;
}

// The local group monitor has no switch: a named group turns it on.
std::size_t WatchedLocalGroups(TPolicyBackend& backend) {
  std::size_t groups = 0;
  for (const TPolicyNamedValue& value : backend.ReadSection("LocGroups")) {
    if (!value.name.empty()) ++groups;
  }
  return groups;
}

}  // namespace

TEnabledParts ReadEnabledParts(TPolicyBackend& backend) {
  static const std::vector<std::pair<const char*, const char*>> kDeliverySwitches = {
      {"EmailEnabled", "mail"}, {"SyslogEnabled", "syslog"}};
  TEnabledParts parts;
  for (const auto& [name, label] : kMonitorSwitches) {
    if (SwitchOn(backend, name)) parts.monitors.emplace_back(label);
  }
  const std::size_t groups = WatchedLocalGroups(backend);
  if (groups > 0) parts.monitors.push_back("local groups (" + std::to_string(groups) + ")");
  if (SwitchOn(backend, "LocalUsersEnabled")) parts.monitors.emplace_back("local accounts");
  for (const auto& [name, label] : kDeliverySwitches) {
    if (SwitchOn(backend, name)) parts.delivery.emplace_back(label);
  }
  return parts;
}

std::vector<std::pair<std::string, bool>> ReadMonitorSwitches(TPolicyBackend& backend) {
  std::vector<std::pair<std::string, bool>> monitors;
  for (const auto& [name, label] : kMonitorSwitches) {
    monitors.emplace_back(label, SwitchOn(backend, name));
  }
  monitors.emplace_back("local groups", WatchedLocalGroups(backend) > 0);
  return monitors;
}

}  // namespace warderon

#include "service/monitor_switches.h"

namespace warderon {

TEnabledParts ReadEnabledParts(TPolicyBackend& backend) {
  // The switches, as the monitors read them; "AuthenticodeEnabled" is a level.
  static const std::vector<std::pair<const char*, const char*>> kMonitorSwitches = {
      {"FilesEnabled", "files"},         {"ServicesEnabled", "services"},
      {"SocketsEnabled", "sockets"},     {"ADEnabled", "directory groups"},
      {"DisksEnabled", "disks"},         {"MemGlobalEnabled", "machine memory"},
      {"MemLocalEnabled", "own memory"}, {"SharesEnabled", "shares"},
      {"HackingEnabled", "autostart"},   {"AuthenticodeEnabled", "signatures"}};
  static const std::vector<std::pair<const char*, const char*>> kDeliverySwitches = {
      {"EmailEnabled", "mail"}, {"SyslogEnabled", "syslog"}};
  const auto on = [&backend](const char* name) {
    const auto value = backend.ReadValue("general", name);
    return value && value->type == TPolicyValueType::Integer && value->integer > 0;
  };
  TEnabledParts parts;
  for (const auto& [name, label] : kMonitorSwitches) {
    if (on(name)) parts.monitors.emplace_back(label);
  }
  // The local group monitor has no switch: a named group turns it on.
  std::size_t groups = 0;
  for (const TPolicyNamedValue& value : backend.ReadSection("LocGroups")) {
    if (!value.name.empty()) ++groups;
  }
  if (groups > 0) parts.monitors.push_back("local groups (" + std::to_string(groups) + ")");
  for (const auto& [name, label] : kDeliverySwitches) {
    if (on(name)) parts.delivery.emplace_back(label);
  }
  return parts;
}

}  // namespace warderon

// Which monitors and delivery channels the stored settings switch on, named
// for people ("files", "local groups (2)").
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/store/policy_backend.h"

namespace warderon {

struct TEnabledParts {
  std::vector<std::string> monitors;
  std::vector<std::string> delivery;  // "mail", "syslog"
};

// Reads the store directly: nothing is written back. Store failures raise.
TEnabledParts ReadEnabledParts(TPolicyBackend& backend);

// Every monitor by its name ("files", "local groups"), and whether it is on.
std::vector<std::pair<std::string, bool>> ReadMonitorSwitches(TPolicyBackend& backend);

}  // namespace warderon

// The process list that goes with a global memory alert: a header, then one
// line per process (user, memory, vm, program), sorted.
#pragma once

#include <string>
#include <vector>

#include "platform/process/process_info.h"

namespace warderon {

// Header "%-20s %9s %9s %-59s"; rows "%20s %9s %9s %-38s" of the owner
// (domain\name without blanks, or "unknown"), the working set and the page
// file usage in KiB (or "unknown"), and the executable's path (or its file
// name). Rows are sorted by their whole text, ignoring case. Texts longer
// than their column are not cut.
std::vector<std::string> BuildProcessDump(TProcessInfo& processes);

}  // namespace warderon

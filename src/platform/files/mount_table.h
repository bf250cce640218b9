// Reading /proc/self/mountinfo.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace warderon {

// The mount points of the table strictly below a directory (a path
// without trailing slash), their escapes undone; a folder name holding CR,
// FF or VT (which the kernel leaves raw) is read whole.
std::vector<std::string> MountPointsBelow(const std::string& table, const std::string& directory);

}  // namespace warderon

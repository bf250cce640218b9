// "warderon -run": start-up and cycles in the console until Ctrl+C, SIGTERM
// or the requested number of cycles; every alert is printed as well.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace warderon {

// Returns the process exit code.
int RunForeground(std::optional<int> cycles, const std::optional<std::string>& store_path,
                  std::ostream& out, std::ostream& err);

}  // namespace warderon

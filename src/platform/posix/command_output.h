// The output of a short command run through the shell, for the platform
// parts that ask system tools (systemctl, Samba's tools).
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace warderon {

class TCommandOutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a tool may cost one call: a tool that hangs, or prints without end,
// is stopped rather than allowed to hold the cycle or fill the memory.
struct TCommandBounds {
  std::chrono::seconds time{30};
  std::size_t bytes = 16 * 1024 * 1024;
};

// The lines the command prints on its standard output (its errors are
// dropped); raises TCommandOutputError when it cannot run, does not exit
// with status 0, or exceeds a bound (it is then killed with every process
// it started).
std::vector<std::string> CommandOutputLines(const std::string& command,
                                            const TCommandBounds& bounds = {});

// A word quoted for the shell.
std::string ShellQuoted(const std::string& word);

}  // namespace warderon

// The output of a short command run through the shell, for the platform
// parts that ask system tools (systemctl, Samba's tools).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace warderon {

class TCommandOutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The lines the command prints on its standard output (its errors are
// dropped); raises TCommandOutputError when it cannot run or does not exit
// with status 0.
std::vector<std::string> CommandOutputLines(const std::string& command);

// A word quoted for the shell.
std::string ShellQuoted(const std::string& word);

}  // namespace warderon

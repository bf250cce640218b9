// Starts a command line through the system's command interpreter
// (%SystemRoot%\system32\cmd.exe /c on Windows, /bin/sh -c on Linux) and
// leaves it to run on its own: no waiting, no exit code.
#pragma once

#include <memory>
#include <string>

namespace warderon {

struct TCommandStart {
  bool started = false;
  std::string message;  // why it did not start
};

class TCommandRunner {
 public:
  virtual ~TCommandRunner() = default;
  // The command is passed to the interpreter unchanged (quotes and
  // redirections included). Never raises.
  virtual TCommandStart Start(const std::string& command) = 0;
};

std::unique_ptr<TCommandRunner> MakeSystemCommandRunner();

}  // namespace warderon

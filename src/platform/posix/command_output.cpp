#include "platform/posix/command_output.h"

#include <sys/wait.h>

#include <cstdio>

namespace warderon {

std::vector<std::string> CommandOutputLines(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) throw TCommandOutputError("run '" + command + "'");
  std::vector<std::string> lines;
  std::string line;
  char chunk[4096];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) {
    line += chunk;
    if (line.back() != '\n') continue;
    line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) lines.push_back(line);
  const int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw TCommandOutputError("'" + command + "' failed (status " + std::to_string(status) + ")");
  }
  return lines;
}

std::string ShellQuoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace warderon

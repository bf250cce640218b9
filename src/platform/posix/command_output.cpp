// Tools are run as "/bin/sh -c COMMAND" in a process group of their own,
// read through a pipe with a deadline and a size bound: a tool that hangs
// or prints without end is killed with its whole group, and counts as a
// tool that failed.
#include "platform/posix/command_output.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/posix/unique_fd.h"

extern char** environ;

namespace warderon {
namespace {

constexpr char kShell[] = "/bin/sh";

// Ends the child's whole group at once and reaps the shell.
void KillAndReap(pid_t child) {
  kill(-child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

std::vector<std::string> SplitLines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::vector<std::string> CommandOutputLines(const std::string& command,
                                            const TCommandBounds& bounds) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw TCommandOutputError("run '" + command + "': no pipe");
  TUniqueFd reading(ends[0]);
  TUniqueFd writing(ends[1]);
  std::string shell = kShell;
  std::string dash_c = "-c";
  std::string text = command + " 2>/dev/null </dev/null";
  char* argv[] = {shell.data(), dash_c.data(), text.data(), nullptr};
  const pid_t child = fork();
  if (child < 0) throw TCommandOutputError("run '" + command + "': cannot fork");
  if (child == 0) {
    // Only calls that are safe after fork in a process with threads.
    setpgid(0, 0);
    dup2(writing.Get(), STDOUT_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execve(kShell, argv, environ);
    _exit(127);
  }
  setpgid(child, child);  // also here, so the group exists before any kill
  writing.Reset();
  const auto deadline = std::chrono::steady_clock::now() + bounds.time;
  std::string output;
  char chunk[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      KillAndReap(child);
      throw TCommandOutputError("'" + command + "' did not finish within " +
                                std::to_string(bounds.time.count()) + " s; stopped");
    }
    pollfd wait{reading.Get(), POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline is checked at the top
    const ssize_t got = read(reading.Get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (output.size() + static_cast<std::size_t>(got) > bounds.bytes) {
      KillAndReap(child);
      throw TCommandOutputError("'" + command + "' printed more than " +
                                std::to_string(bounds.bytes) + " bytes; stopped");
    }
    output.append(chunk, static_cast<std::size_t>(got));
  }
  // The output ended: the shell ends too, or is made to within the bound.
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      KillAndReap(child);
      throw TCommandOutputError("'" + command + "' did not finish within " +
                                std::to_string(bounds.time.count()) + " s; stopped");
    }
    usleep(10000);
  }
  kill(-child, SIGKILL);  // nothing of the group outlives the call
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw TCommandOutputError("'" + command + "' failed (status " + std::to_string(status) + ")");
  }
  return SplitLines(output);
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

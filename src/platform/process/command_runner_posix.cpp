// Commands run as "/bin/sh -c COMMAND", detached by a double fork: the
// intermediate child starts the command and ends at once, so the command is
// never our child and never a zombie. The command starts as a shell started
// by hand would: every signal at its default, none held (the watchdog holds
// its console signals and ignores SIGPIPE; a background "&" of a shell would
// ignore SIGINT and SIGQUIT), standard input from /dev/null, a session of
// its own.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

#include "platform/process/command_runner.h"

extern char** environ;

namespace warderon {
namespace {

constexpr char kShell[] = "/bin/sh";

// Runs in the forked child: only calls that are safe after fork in a
// process with threads.
[[noreturn]] void ExecDetached(char* const argv[]) {
  setsid();
  const pid_t grandchild = fork();
  if (grandchild != 0) _exit(grandchild < 0 ? 127 : 0);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int number = 1; number < NSIG; ++number) sigaction(number, &default_action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null = open("/dev/null", O_RDONLY);
  if (null >= 0 && null != STDIN_FILENO) {
    dup2(null, STDIN_FILENO);
    close(null);
  }
  execve(kShell, argv, environ);
  _exit(127);
}

class TShellCommandRunner final : public TCommandRunner {
 public:
  TCommandStart Start(const std::string& command) override {
    if (access(kShell, X_OK) != 0) return {false, std::string(kShell) + " not found!"};
    std::string shell = kShell;
    std::string dash_c = "-c";
    std::string text = command;
    char* argv[] = {shell.data(), dash_c.data(), text.data(), nullptr};
    const pid_t child = fork();
    if (child < 0) return {false, std::generic_category().message(errno)};
    if (child == 0) ExecDetached(argv);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return {false, "the command could not be started in the background"};
    }
    return {true, {}};
  }
};

}  // namespace

std::unique_ptr<TCommandRunner> MakeSystemCommandRunner() {
  return std::make_unique<TShellCommandRunner>();
}

}  // namespace warderon

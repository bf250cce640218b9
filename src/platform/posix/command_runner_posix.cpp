// Commands run as "/bin/sh -c COMMAND", detached: an intermediate shell
// starts it in the background and ends at once, so the command is never our
// child and never a zombie, and its text reaches the inner shell unchanged
// as an argument.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

#include "platform/command_runner.h"

extern char** environ;

namespace warderon {
namespace {

constexpr char kShell[] = "/bin/sh";

class TShellCommandRunner final : public TCommandRunner {
 public:
  TCommandStart Start(const std::string& command) override {
    if (access(kShell, X_OK) != 0) return {false, std::string(kShell) + " not found!"};
    std::string shell = kShell;
    std::string dash_c = "-c";
    std::string launcher = "\"$0\" -c \"$1\" </dev/null &";
    std::string text = command;
    char* argv[] = {shell.data(), dash_c.data(), launcher.data(),
                    shell.data(), text.data(),   nullptr};
    // The watchdog holds its console signals and ignores SIGPIPE; a command
    // starts with an empty mask and every signal at its default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, kShell, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return {false, std::generic_category().message(error)};
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {true, {}};
  }
};

}  // namespace

std::unique_ptr<TCommandRunner> MakeSystemCommandRunner() {
  return std::make_unique<TShellCommandRunner>();
}

}  // namespace warderon

// The console signals are held (blocked) in every thread from the start of
// main, and a watcher thread takes them from a signalfd: no signal handler
// runs at all, so no signal can arrive before one is installed or after one
// is removed, and the work a signal asks for never runs in a handler.
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "platform/console/console_signals.h"

namespace warderon {
namespace {

sigset_t ConsoleSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) {
    sigaddset(&set, signal_number);
  }
  return set;
}

class TPosixConsoleSignals final : public TConsoleSignals {
 public:
  explicit TPosixConsoleSignals(std::function<void(TConsoleSignal)> on_signal)
      : on_signal_(std::move(on_signal)) {
    HoldConsoleSignals();  // in case main did not
    const sigset_t set = ConsoleSignalSet();
    signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC);
    if (signal_fd_ < 0 || pipe2(quit_fds_, O_CLOEXEC) != 0) return;
    watcher_ = std::thread([this] { Watch(); });
  }

  ~TPosixConsoleSignals() override {
    if (watcher_.joinable()) {
      const char quit = 'q';
      [[maybe_unused]] const auto written = write(quit_fds_[1], &quit, 1);
      watcher_.join();
    }
    for (const int fd : {signal_fd_, quit_fds_[0], quit_fds_[1]}) {
      if (fd >= 0) close(fd);
    }
  }

  TPosixConsoleSignals(const TPosixConsoleSignals&) = delete;
  TPosixConsoleSignals& operator=(const TPosixConsoleSignals&) = delete;

 private:
  void Watch() {
    for (;;) {
      pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {quit_fds_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      signalfd_siginfo info{};
      if (read(signal_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      const auto number = static_cast<int>(info.ssi_signo);
      on_signal_(number == SIGUSR1   ? TConsoleSignal::Pause
                 : number == SIGUSR2 ? TConsoleSignal::Continue
                                     : TConsoleSignal::Stop);
    }
  }

  std::function<void(TConsoleSignal)> on_signal_;
  int signal_fd_ = -1;
  int quit_fds_[2] = {-1, -1};
  std::thread watcher_;
};

}  // namespace

void HoldConsoleSignals() {
  const sigset_t set = ConsoleSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A closed standard output (a pipe reader that went away) must not end
  // the watchdog: the write fails and the alert still goes everywhere else.
  std::signal(SIGPIPE, SIG_IGN);
}

void ReleaseConsoleSignals() {
  const sigset_t set = ConsoleSignalSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_DFL);
}

std::unique_ptr<TConsoleSignals> WatchConsoleSignals(
    std::function<void(TConsoleSignal)> on_signal) {
  return std::make_unique<TPosixConsoleSignals>(std::move(on_signal));
}

}  // namespace warderon

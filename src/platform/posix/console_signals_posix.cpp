// Signals reach a watcher thread through a self-pipe, so the work they ask
// for (an alert, store writes) never runs inside a signal handler.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#include "platform/console_signals.h"

namespace warderon {
namespace {

// The pipe's write end for the signal handler: the one piece of process-wide
// state a signal handler can reach.
std::atomic<int> g_signal_pipe{-1};

constexpr char kStopByte = 's';
constexpr char kPauseByte = 'p';
constexpr char kContinueByte = 'c';
constexpr char kQuitByte = 'q';

extern "C" void OnConsoleSignal(int signal_number) {
  const int fd = g_signal_pipe.load();
  if (fd < 0) return;
  const char byte = signal_number == SIGUSR1   ? kPauseByte
                    : signal_number == SIGUSR2 ? kContinueByte
                                               : kStopByte;
  [[maybe_unused]] const auto written = write(fd, &byte, 1);
}

class TPosixConsoleSignals final : public TConsoleSignals {
 public:
  explicit TPosixConsoleSignals(std::function<void(TConsoleSignal)> on_signal)
      : on_signal_(std::move(on_signal)) {
    if (pipe2(fds_, O_CLOEXEC) != 0) return;
    g_signal_pipe.store(fds_[1]);
    struct sigaction action {};
    action.sa_handler = OnConsoleSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &old_[i]);
    // A closed standard output (a pipe reader that went away) must not end
    // the watchdog: the write fails and the alert still goes everywhere else.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe_);
    watcher_ = std::thread([this] { Watch(); });
  }

  ~TPosixConsoleSignals() override {
    if (fds_[1] < 0) return;
    for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &old_[i], nullptr);
    sigaction(SIGPIPE, &old_pipe_, nullptr);
    g_signal_pipe.store(-1);
    [[maybe_unused]] const auto written = write(fds_[1], &kQuitByte, 1);
    watcher_.join();
    close(fds_[0]);
    close(fds_[1]);
  }

  TPosixConsoleSignals(const TPosixConsoleSignals&) = delete;
  TPosixConsoleSignals& operator=(const TPosixConsoleSignals&) = delete;

 private:
  static constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2};

  void Watch() {
    for (;;) {
      char byte = 0;
      const auto got = read(fds_[0], &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || byte == kQuitByte) return;
      on_signal_(byte == kPauseByte      ? TConsoleSignal::Pause
                 : byte == kContinueByte ? TConsoleSignal::Continue
                                         : TConsoleSignal::Stop);
    }
  }

  std::function<void(TConsoleSignal)> on_signal_;
  int fds_[2] = {-1, -1};
  std::array<struct sigaction, kSignals.size()> old_{};
  struct sigaction old_pipe_ {};
  std::thread watcher_;
};

}  // namespace

std::unique_ptr<TConsoleSignals> WatchConsoleSignals(
    std::function<void(TConsoleSignal)> on_signal) {
  return std::make_unique<TPosixConsoleSignals>(std::move(on_signal));
}

}  // namespace warderon

// SIGINT and SIGTERM reach a watcher thread through a self-pipe, so the stop
// work (an alert, store writes) never runs inside a signal handler.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#include "platform/console_stop.h"

namespace warderon {
namespace {

// The pipe's write end for the signal handler: the one piece of process-wide
// state a signal handler can reach.
std::atomic<int> g_signal_pipe{-1};

extern "C" void OnStopSignal(int /*signal*/) {
  const int fd = g_signal_pipe.load();
  if (fd >= 0) {
    const char byte = 's';
    [[maybe_unused]] const auto written = write(fd, &byte, 1);
  }
}

class TPosixConsoleStop final : public TConsoleStop {
 public:
  explicit TPosixConsoleStop(std::function<void()> on_stop) : on_stop_(std::move(on_stop)) {
    if (pipe2(fds_, O_CLOEXEC) != 0) return;
    g_signal_pipe.store(fds_[1]);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
    watcher_ = std::thread([this] { Watch(); });
  }

  ~TPosixConsoleStop() override {
    if (fds_[1] < 0) return;
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_signal_pipe.store(-1);
    const char quit = 'q';
    [[maybe_unused]] const auto written = write(fds_[1], &quit, 1);
    watcher_.join();
    close(fds_[0]);
    close(fds_[1]);
  }

  TPosixConsoleStop(const TPosixConsoleStop&) = delete;
  TPosixConsoleStop& operator=(const TPosixConsoleStop&) = delete;

 private:
  void Watch() {
    bool stopped = false;
    for (;;) {
      char byte = 0;
      const auto got = read(fds_[0], &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || byte == 'q') return;
      if (!stopped) {
        stopped = true;
        on_stop_();
      }
    }
  }

  std::function<void()> on_stop_;
  int fds_[2] = {-1, -1};
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
  std::thread watcher_;
};

}  // namespace

std::unique_ptr<TConsoleStop> WatchConsoleStop(std::function<void()> on_stop) {
  return std::make_unique<TPosixConsoleStop>(std::move(on_stop));
}

}  // namespace warderon

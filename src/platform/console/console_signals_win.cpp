// Windows runs console control handlers on a thread of their own, so the
// request can be handed on right there. When the console window is closed
// (or the user logs off) Windows ends the process as soon as the handler
// returns, so that handler waits, bounded, until the stop is done.
#include <chrono>
#include <mutex>

#include "platform/console/console_signals.h"
#include "platform/sync/stop_rendezvous.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

// Windows gives a close handler about 5 s before it ends the process.
constexpr std::chrono::milliseconds kCloseGrace{4500};

class TWindowsConsoleSignals;

// The handler routine has no context argument: this is the one place it can
// find its owner, read and cleared under the lock.
std::mutex g_console_signals_mutex;
TWindowsConsoleSignals* g_console_signals = nullptr;

class TWindowsConsoleSignals final : public TConsoleSignals {
 public:
  explicit TWindowsConsoleSignals(std::function<void(TConsoleSignal)> on_signal)
      : on_signal_(std::move(on_signal)) {
    {
      const std::lock_guard lock(g_console_signals_mutex);
      g_console_signals = this;
    }
    SetConsoleCtrlHandler(&TWindowsConsoleSignals::Handler, TRUE);
  }
  // The owner is destroyed once the stop is done: a close handler waiting
  // for that goes on, and this object outlives every handler inside it.
  ~TWindowsConsoleSignals() override {
    {
      const std::lock_guard lock(g_console_signals_mutex);
      g_console_signals = nullptr;
    }
    rendezvous_.MarkDone();
    rendezvous_.Close();
    SetConsoleCtrlHandler(&TWindowsConsoleSignals::Handler, FALSE);
  }
  TWindowsConsoleSignals(const TWindowsConsoleSignals&) = delete;
  TWindowsConsoleSignals& operator=(const TWindowsConsoleSignals&) = delete;

 private:
  static BOOL WINAPI Handler(DWORD event) {
    TWindowsConsoleSignals* self = nullptr;
    {
      const std::lock_guard lock(g_console_signals_mutex);
      self = g_console_signals;
      if (self == nullptr || !self->rendezvous_.Enter()) return FALSE;
    }
    BOOL handled = FALSE;
    const bool ending =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || ending) {
      self->on_signal_(TConsoleSignal::Stop);
      if (ending) self->rendezvous_.WaitDone(kCloseGrace);
      handled = TRUE;
    }
    self->rendezvous_.Leave();
    return handled;
  }

  std::function<void(TConsoleSignal)> on_signal_;
  TStopRendezvous rendezvous_;
};

}  // namespace

// Console control events never end the process before a handler is set.
void HoldConsoleSignals() {}
void ReleaseConsoleSignals() {}

std::unique_ptr<TConsoleSignals> WatchConsoleSignals(
    std::function<void(TConsoleSignal)> on_signal) {
  return std::make_unique<TWindowsConsoleSignals>(std::move(on_signal));
}

}  // namespace warderon

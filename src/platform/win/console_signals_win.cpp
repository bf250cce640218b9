// Windows runs console control handlers on a thread of their own, so the
// request can be handed on right there.
#include <atomic>

#include "platform/console_signals.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

class TWindowsConsoleSignals;

// The handler routine has no context argument: this is the one place it can
// find its owner.
std::atomic<TWindowsConsoleSignals*> g_console_signals{nullptr};

class TWindowsConsoleSignals final : public TConsoleSignals {
 public:
  explicit TWindowsConsoleSignals(std::function<void(TConsoleSignal)> on_signal)
      : on_signal_(std::move(on_signal)) {
    g_console_signals.store(this);
    SetConsoleCtrlHandler(&TWindowsConsoleSignals::Handler, TRUE);
  }
  ~TWindowsConsoleSignals() override {
    SetConsoleCtrlHandler(&TWindowsConsoleSignals::Handler, FALSE);
    g_console_signals.store(nullptr);
  }
  TWindowsConsoleSignals(const TWindowsConsoleSignals&) = delete;
  TWindowsConsoleSignals& operator=(const TWindowsConsoleSignals&) = delete;

 private:
  static BOOL WINAPI Handler(DWORD event) {
    TWindowsConsoleSignals* self = g_console_signals.load();
    if (self == nullptr) return FALSE;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
      self->on_signal_(TConsoleSignal::Stop);
      return TRUE;
    }
    return FALSE;
  }

  std::function<void(TConsoleSignal)> on_signal_;
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

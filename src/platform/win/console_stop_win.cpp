// Windows runs console control handlers on a thread of their own, so the
// stop work can run right there.
#include <atomic>

#include "platform/console_stop.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

class TWindowsConsoleStop;

// The handler routine has no context argument: this is the one place it can
// find its owner.
std::atomic<TWindowsConsoleStop*> g_console_stop{nullptr};

class TWindowsConsoleStop final : public TConsoleStop {
 public:
  explicit TWindowsConsoleStop(std::function<void()> on_stop) : on_stop_(std::move(on_stop)) {
    g_console_stop.store(this);
    SetConsoleCtrlHandler(&TWindowsConsoleStop::Handler, TRUE);
  }
  ~TWindowsConsoleStop() override {
    SetConsoleCtrlHandler(&TWindowsConsoleStop::Handler, FALSE);
    g_console_stop.store(nullptr);
  }
  TWindowsConsoleStop(const TWindowsConsoleStop&) = delete;
  TWindowsConsoleStop& operator=(const TWindowsConsoleStop&) = delete;

 private:
  static BOOL WINAPI Handler(DWORD event) {
    TWindowsConsoleStop* self = g_console_stop.load();
    if (self == nullptr) return FALSE;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
      if (!self->stopped_.exchange(true)) self->on_stop_();
      return TRUE;
    }
    return FALSE;
  }

  std::function<void()> on_stop_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

std::unique_ptr<TConsoleStop> WatchConsoleStop(std::function<void()> on_stop) {
  return std::make_unique<TWindowsConsoleStop>(std::move(on_stop));
}

}  // namespace warderon

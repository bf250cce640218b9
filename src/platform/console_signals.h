// What a user asks of a console program: stop (Ctrl+C, SIGINT, SIGTERM, the
// console closing), pause (SIGUSR1) and continue (SIGUSR2). Windows consoles
// only know stop.
#pragma once

#include <functional>
#include <memory>

namespace warderon {

enum class TConsoleSignal { Stop, Pause, Continue };

class TConsoleSignals {
 public:
  virtual ~TConsoleSignals() = default;
};

// Calls on_signal for every request, on a thread of its own (never inside a
// signal handler). Destroying the returned object uninstalls the handlers.
std::unique_ptr<TConsoleSignals> WatchConsoleSignals(std::function<void(TConsoleSignal)> on_signal);

}  // namespace warderon

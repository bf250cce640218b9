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

// Called first in main: from here on the console signals wait until a
// watcher takes them, so one that arrives early (or late, while the process
// ends) never ends it abnormally. Commands other than the watchdog's own
// run call ReleaseConsoleSignals to get the usual behaviour back. Nothing on
// Windows.
void HoldConsoleSignals();
void ReleaseConsoleSignals();

// Calls on_signal for every request, on a thread of its own (never inside a
// signal handler). Destroying the returned object stops the watcher; held
// signals stay held until the process ends.
std::unique_ptr<TConsoleSignals> WatchConsoleSignals(std::function<void(TConsoleSignal)> on_signal);

}  // namespace warderon

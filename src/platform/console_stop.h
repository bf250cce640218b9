// Ctrl+C, SIGINT and SIGTERM (console close on Windows) as a stop request
// for the foreground runner.
#pragma once

#include <functional>
#include <memory>

namespace warderon {

class TConsoleStop {
 public:
  virtual ~TConsoleStop() = default;
};

// Calls on_stop once, on a thread of its own (never inside a signal
// handler), when the user asks the console program to stop. Destroying the
// returned object uninstalls the handler.
std::unique_ptr<TConsoleStop> WatchConsoleStop(std::function<void()> on_stop);

}  // namespace warderon

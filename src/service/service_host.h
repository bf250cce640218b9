// The events of a service mapped onto the worker: start runs it on a thread
// of its own; pause and continue hold and release it at safe points; stop
// raises "Warderon stopping" and sets the termination flag without waiting.
// The Windows service and the Linux foreground daemon both drive this.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "service/warderon_process.h"

namespace warderon {

enum class TServiceControl { Pause, Continue, Stop };
enum class TServiceState { Running, Paused, StopPending, Stopped };

class TServiceHost {
 public:
  explicit TServiceHost(TWarderonProcess& process) : process_(process) {}
  // A worker still running (paused, or inside a module) is left to end with
  // the process.
  ~TServiceHost();
  TServiceHost(const TServiceHost&) = delete;
  TServiceHost& operator=(const TServiceHost&) = delete;

  // Starts the worker: start-up, then cycles (at most cycle_limit of them).
  void Start(std::optional<int> cycle_limit = std::nullopt);

  // Queues a control and returns at once. Any thread.
  void Post(TServiceControl control);

  // Serves the queued controls on the calling thread until a stop, or until
  // the worker ends by itself (its cycle limit, which counts as a stop).
  // Reports every state change.
  void Serve(const std::function<void(TServiceState)>& report);

  // Waits for the worker to end; true (and joined) when it did in time.
  bool JoinWorker(std::chrono::milliseconds timeout);

 private:
  TWarderonProcess& process_;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TServiceControl> controls_;
  bool worker_done_ = false;
};

}  // namespace warderon

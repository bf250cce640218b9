// A one-way signal that wakes a waiting thread: the worker's termination flag.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace warderon {

class TStopEvent {
 public:
  void Set();
  bool IsSet() const;
  // Waits until the event is set or the time has passed; true when set.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace warderon

// Where a handler that the system gives only a few seconds (a console being
// closed) meets the owner of the stop: the handler hands the stop on and
// waits, bounded, until the owner says the stop is done (its alert is on
// record); the owner, when it goes away, waits until no handler is inside,
// so a handler never touches an object that is gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace warderon {

class TStopRendezvous {
 public:
  // Handler side. Enter is false once the owner has closed.
  bool Enter() {
    const std::lock_guard lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
  }
  // True when the stop was done in time.
  bool WaitDone(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return done_; });
  }
  void Leave() {
    const std::lock_guard lock(mutex_);
    --inside_;
    changed_.notify_all();
  }

  // Owner side: the stop is done; then no new handler, and every handler
  // inside has left when Close returns.
  void MarkDone() {
    const std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }
  void Close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    changed_.wait(lock, [this] { return inside_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int inside_ = 0;
  bool done_ = false;
  bool closed_ = false;
};

}  // namespace warderon

#include "platform/sync/pause_gate.h"

namespace warderon {

void TPauseGate::Pause() {
  const std::lock_guard lock(mutex_);
  paused_ = true;
}

void TPauseGate::Resume() {
  {
    const std::lock_guard lock(mutex_);
    paused_ = false;
  }
  opened_.notify_all();
}

void TPauseGate::PassWhenOpen() {
  std::unique_lock lock(mutex_);
  ++waiting_;
  opened_.wait(lock, [this] { return !paused_; });
  --waiting_;
}

bool TPauseGate::Holding() const {
  const std::lock_guard lock(mutex_);
  return waiting_ > 0 && paused_;
}

}  // namespace warderon

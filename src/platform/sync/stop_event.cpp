#include "platform/sync/stop_event.h"

namespace warderon {

void TStopEvent::Set() {
  {
    const std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

bool TStopEvent::IsSet() const {
  const std::lock_guard lock(mutex_);
  return set_;
}

bool TStopEvent::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return set_; });
}

}  // namespace warderon

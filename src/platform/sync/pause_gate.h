// Where the worker stops while the service is paused. The worker passes the
// gate only at safe points (between modules, between cycles), so a paused
// worker never holds a lock that the control thread needs.
#pragma once

#include <condition_variable>
#include <mutex>

namespace warderon {

class TPauseGate {
 public:
  void Pause();
  void Resume();
  // Returns at once unless paused; then waits for Resume.
  void PassWhenOpen();
  // True while a thread waits at the closed gate.
  bool Holding() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  bool paused_ = false;
  int waiting_ = 0;
};

}  // namespace warderon

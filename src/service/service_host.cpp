#include "service/service_host.h"

namespace warderon {

TServiceHost::~TServiceHost() {
  if (worker_.joinable()) worker_.detach();
}

void TServiceHost::Start(std::optional<int> cycle_limit) {
  worker_ = std::thread([this, cycle_limit] {
    process_.Worker().Execute(cycle_limit);
    {
      const std::lock_guard lock(mutex_);
      worker_done_ = true;
    }
    changed_.notify_all();
  });
}

void TServiceHost::Post(TServiceControl control) {
  {
    const std::lock_guard lock(mutex_);
    controls_.push_back(control);
  }
  changed_.notify_all();
}

void TServiceHost::Serve(const std::function<void(TServiceState)>& report) {
  for (;;) {
    std::optional<TServiceControl> control;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !controls_.empty() || worker_done_; });
      if (!controls_.empty()) {
        control = controls_.front();
        controls_.pop_front();
      }
    }
    if (!control || *control == TServiceControl::Stop) {
      report(TServiceState::StopPending);
      process_.Stop();
      report(TServiceState::Stopped);
      return;
    }
    if (*control == TServiceControl::Pause) {
      process_.Worker().Pause();
      report(TServiceState::Paused);
    } else {
      process_.Worker().Continue();
      report(TServiceState::Running);
    }
  }
}

bool TServiceHost::JoinWorker(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return worker_done_; })) return false;
  lock.unlock();
  if (worker_.joinable()) worker_.join();
  return true;
}

}  // namespace warderon

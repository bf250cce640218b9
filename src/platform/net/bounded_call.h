// Runs a blocking call that has no time-out of its own (name resolution) on
// a helper thread, and waits for it only until a deadline. A call that
// overruns is left to finish on its own; its result is then discarded by the
// helper. The calls it serves end by themselves (a resolver gives up after
// its own time-outs), and the caller waits out each deadline in turn, so
// such helpers never pile up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace warderon {

// Calls work() on a helper thread; waits until the deadline. discard(result)
// is called on the helper thread for a result that came too late. An
// exception from work() reaches the caller when it came in time.
// Returns nothing when the deadline passed first.
template <class TResult>
std::optional<TResult> CallWithin(std::function<TResult()> work,
                                  std::function<void(TResult&)> discard,
                                  std::chrono::steady_clock::time_point deadline) {
  struct TShared {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    bool abandoned = false;
    std::optional<TResult> value;
    std::exception_ptr error;
  };
  const auto shared = std::make_shared<TShared>();
  std::thread([shared, work = std::move(work), discard = std::move(discard)] {
    std::optional<TResult> value;
    std::exception_ptr error;
    try {
      value = work();
    } catch (...) {
      error = std::current_exception();
    }
    const std::lock_guard lock(shared->mutex);
    if (shared->abandoned) {
      if (value) discard(*value);
      return;
    }
    shared->value = std::move(value);
    shared->error = error;
    shared->done = true;
    shared->done_signal.notify_one();
  }).detach();
  std::unique_lock lock(shared->mutex);
  if (!shared->done_signal.wait_until(lock, deadline, [&] { return shared->done; })) {
    shared->abandoned = true;
    return std::nullopt;
  }
  if (shared->error) std::rethrow_exception(shared->error);
  return std::move(shared->value);
}

}  // namespace warderon

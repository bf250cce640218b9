// A clock that never waits: time moves only when the test or a sleep moves it.
#pragma once

#include <chrono>
#include <vector>

#include "platform/console/beeper.h"
#include "platform/time/clock.h"

namespace warderon::testing {

class TFakeClock final : public TClock {
 public:
  explicit TFakeClock(TDateTime start = ToDateTime({2026, 12, 8, 9, 30, 0, 0})) : now_(start) {}
  TDateTime LocalNow() override { return now_; }
  // Records the sleep and moves the time on by it.
  void Sleep(std::chrono::milliseconds duration, const TStopEvent& wake) override;

  void Advance(std::chrono::milliseconds duration);
  const std::vector<std::chrono::milliseconds>& Sleeps() const { return sleeps_; }

 private:
  TDateTime now_;
  std::vector<std::chrono::milliseconds> sleeps_;
};

class TCountingBeeper final : public TBeeper {
 public:
  void Beep() override { ++beeps; }
  int beeps = 0;
};

}  // namespace warderon::testing

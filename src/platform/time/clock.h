// Local time and pacing for the cycle, injectable so timing rules are tested
// without waiting.
#pragma once

#include <chrono>
#include <memory>

#include "platform/sync/stop_event.h"
#include "platform/time/date_time.h"

namespace warderon {

class TClock {
 public:
  virtual ~TClock() = default;
  virtual TDateTime LocalNow() = 0;
  // Sleeps for the given time, returning early when wake is set.
  virtual void Sleep(std::chrono::milliseconds duration, const TStopEvent& wake) = 0;
};

std::unique_ptr<TClock> MakeSystemClock();

}  // namespace warderon

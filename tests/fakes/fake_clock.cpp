#include "fakes/fake_clock.h"

namespace warderon::testing {

void TFakeClock::Sleep(std::chrono::milliseconds duration, const TStopEvent& /*wake*/) {
  sleeps_.push_back(duration);
  Advance(duration);
}

void TFakeClock::Advance(std::chrono::milliseconds duration) {
  now_.days += static_cast<double>(duration.count()) / 86400000.0;
}

}  // namespace warderon::testing

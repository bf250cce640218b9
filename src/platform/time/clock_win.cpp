#include "platform/time/clock.h"
#include "platform/win/win_support.h"

namespace warderon {
namespace {

class TWindowsClock final : public TClock {
 public:
  TDateTime LocalNow() override {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return ToDateTime(
        {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds});
  }

  void Sleep(std::chrono::milliseconds duration, const TStopEvent& wake) override {
    wake.WaitFor(duration);
  }
};

}  // namespace

std::unique_ptr<TClock> MakeSystemClock() { return std::make_unique<TWindowsClock>(); }

}  // namespace warderon

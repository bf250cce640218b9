#include <sys/time.h>

#include <ctime>

#include "platform/time/clock.h"

namespace warderon {
namespace {

class TPosixClock final : public TClock {
 public:
  TDateTime LocalNow() override {
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    return ToDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000)});
  }

  void Sleep(std::chrono::milliseconds duration, const TStopEvent& wake) override {
    wake.WaitFor(duration);
  }
};

}  // namespace

std::unique_ptr<TClock> MakeSystemClock() { return std::make_unique<TPosixClock>(); }

}  // namespace warderon

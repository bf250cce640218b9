#include "platform/time/date_time.h"

#include <cmath>

namespace warderon {
namespace {

constexpr double kMillisecondsPerDay = 86400000.0;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

const long long kEpochOffset = DaysFromCivil(1899, 12, 30);

}  // namespace

TDateTime ToDateTime(const TCivilTime& civil) {
  const long long days = DaysFromCivil(civil.year, static_cast<unsigned>(civil.month),
                                       static_cast<unsigned>(civil.day)) -
                         kEpochOffset;
  const double ms_of_day =
      ((civil.hour * 60.0 + civil.minute) * 60.0 + civil.second) * 1000.0 + civil.millisecond;
  return TDateTime{static_cast<double>(days) + ms_of_day / kMillisecondsPerDay};
}

TCivilTime ToCivilTime(TDateTime time) {
  // Round to the millisecond first so that 0.5 reads as 12:00:00.000, not 11:59:59.999.
  const auto total_ms = static_cast<long long>(std::llround(time.days * kMillisecondsPerDay));
  long long days = total_ms / 86400000;
  long long ms = total_ms % 86400000;
  if (ms < 0) {
    ms += 86400000;
    days -= 1;
  }
  TCivilTime civil;
  CivilFromDays(days + kEpochOffset, civil.year, civil.month, civil.day);
  civil.hour = static_cast<int>(ms / 3600000);
  civil.minute = static_cast<int>(ms / 60000 % 60);
  civil.second = static_cast<int>(ms / 1000 % 60);
  civil.millisecond = static_cast<int>(ms % 1000);
  return civil;
}

}  // namespace warderon

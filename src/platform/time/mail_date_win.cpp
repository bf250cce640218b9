#include <cstdio>

#include "platform/time/mail_date.h"
#include "platform/win/win_support.h"

namespace warderon {

std::string MailDateNow() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SYSTEMTIME local{};
  GetLocalTime(&local);
  TIME_ZONE_INFORMATION zone{};
  const DWORD kind = GetTimeZoneInformation(&zone);
  long bias = zone.Bias;  // minutes to add to local time to get UTC
  if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  const long offset_minutes = -bias;
  const long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02u %s %04u %02u:%02u:%02u %c%02ld%02ld",
                kDays[local.wDayOfWeek % 7], local.wDay, kMonths[(local.wMonth + 11) % 12],
                local.wYear, local.wHour, local.wMinute, local.wSecond,
                offset_minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

}  // namespace warderon

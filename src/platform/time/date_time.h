// The system's date-time: days since 1899-12-30 00:00 local time, with the
// time of day as the fraction (0.5 is noon).
#pragma once

namespace warderon {

struct TCivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

struct TDateTime {
  double days = 0.0;
};

TDateTime ToDateTime(const TCivilTime& civil);
TCivilTime ToCivilTime(TDateTime time);

}  // namespace warderon

#include "platform/time/date_time.h"

#include <gtest/gtest.h>

namespace warderon {
namespace {

TEST(DateTime, CountsDaysFromTheEndOf1899WithTheTimeAsFraction) {
  EXPECT_DOUBLE_EQ(ToDateTime({1899, 12, 30, 0, 0, 0, 0}).days, 0.0);
  EXPECT_DOUBLE_EQ(ToDateTime({1899, 12, 31, 12, 0, 0, 0}).days, 1.5);
  EXPECT_DOUBLE_EQ(ToDateTime({1900, 3, 1, 0, 0, 0, 0}).days, 61.0);
  EXPECT_DOUBLE_EQ(ToDateTime({2000, 1, 1, 6, 0, 0, 0}).days, 36526.25);
  EXPECT_DOUBLE_EQ(ToDateTime({1899, 12, 29, 0, 0, 0, 0}).days, -1.0);
}

TEST(DateTime, RoundTripsToTheMillisecond) {
  const TCivilTime times[] = {
      {2026, 12, 8, 23, 59, 59, 999}, {2024, 2, 29, 12, 0, 0, 0}, {1970, 1, 1, 0, 0, 0, 1}};
  for (const TCivilTime& civil : times) {
    const TCivilTime back = ToCivilTime(ToDateTime(civil));
    EXPECT_EQ(back.year, civil.year);
    EXPECT_EQ(back.month, civil.month);
    EXPECT_EQ(back.day, civil.day);
    EXPECT_EQ(back.hour, civil.hour);
    EXPECT_EQ(back.minute, civil.minute);
    EXPECT_EQ(back.second, civil.second);
    EXPECT_EQ(back.millisecond, civil.millisecond);
  }
}

}  // namespace
}  // namespace warderon

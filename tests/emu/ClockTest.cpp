// The emulated clock and the kernel's calendar conversion.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "emu/Clock.h"

namespace {

TIME_FIELDS Fields(emu::SystemTime t) {
  LARGE_INTEGER li;
  li.QuadPart = t;
  TIME_FIELDS f;
  RtlTimeToTimeFields(&li, &f);
  return f;
}

TEST(Clock, CalendarFieldsRoundTripAcrossLeapRules) {
  struct Case {
    int y, mo, d, h, mi, s, ms, weekday;
  } cases[] = {
      {1601, 1, 1, 0, 0, 0, 0, 1},       {2003, 1, 5, 14, 3, 7, 123, 0},
      {2004, 2, 29, 8, 5, 9, 7, 0},      {2000, 2, 29, 23, 59, 59, 999, 2},
      {1900, 3, 1, 0, 0, 0, 0, 4},       {2000, 12, 31, 12, 0, 0, 0, 0},
      {2100, 12, 31, 1, 2, 3, 4, 5},     {1999, 12, 31, 23, 59, 59, 999, 5},
  };
  for (const Case& c : cases) {
    TIME_FIELDS f = Fields(emu::MakeSystemTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms));
    EXPECT_EQ(f.Year, c.y);
    EXPECT_EQ(f.Month, c.mo);
    EXPECT_EQ(f.Day, c.d);
    EXPECT_EQ(f.Hour, c.h);
    EXPECT_EQ(f.Minute, c.mi);
    EXPECT_EQ(f.Second, c.s);
    EXPECT_EQ(f.Milliseconds, c.ms);
    EXPECT_EQ(f.Weekday, c.weekday) << c.y << "-" << c.mo << "-" << c.d;
  }
}

TEST(Clock, EveryDayOfFourCenturiesIsContiguous) {
  // Walking day by day must never skip or repeat a date.
  TIME_FIELDS prev = Fields(emu::MakeSystemTime(1601, 1, 1, 0, 0, 0, 0));
  for (int64_t day = 1; day < 146097 + 400; ++day) {
    TIME_FIELDS f = Fields(day * 864000000000LL);
    bool nextDay = f.Day == prev.Day + 1 && f.Month == prev.Month && f.Year == prev.Year;
    bool nextMonth = f.Day == 1 && ((f.Month == prev.Month + 1 && f.Year == prev.Year) ||
                                    (f.Month == 1 && prev.Month == 12 && f.Year == prev.Year + 1));
    ASSERT_TRUE(nextDay || nextMonth) << "day " << day;
    ASSERT_EQ(f.Weekday, (prev.Weekday + 1) % 7);
    prev = f;
  }
}

TEST(Clock, FixedClockIsReturnedAndAdvancedByHand) {
  emu::Clock::Fix(1000);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, 1000);
  emu::Clock::Advance(500);
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, 1500);
  emu::Clock::Release();
  KeQuerySystemTime(&now);
  EXPECT_GT(now.QuadPart, emu::MakeSystemTime(2020, 1, 1, 0, 0, 0, 0));
}

}  // namespace

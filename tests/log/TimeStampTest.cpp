// The standard headers come first: <ntddk.h> of the emulated kernel maps
// the run-time's sprintf and wcslen onto its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "emu/Clock.h"
#include "log/TimeStamp.h"

namespace {

std::string Text(const TimeStamp& stamp, ULONG format) {
  char buffer[TimeStamp::kTextSize];
  std::memset(buffer, 'x', sizeof(buffer));
  ULONG length = stamp.Format(buffer, format);
  EXPECT_EQ(length, std::strlen(buffer));
  return buffer;
}

const TimeStamp kSunday(emu::MakeSystemTime(2003, 1, 5, 14, 3, 7, 123));

TEST(TimeStamp, FormatWords) {
  EXPECT_EQ(Text(kSunday, kTraceStampFormat), "14:03:07.123 Sun, Jan 05 2003");
  EXPECT_EQ(Text(kSunday, 0x0FF), "14:03:07.123 Sun, 05.01.2003");
  EXPECT_EQ(Text(kSunday, 0x0F7), "14:03:07 Sun, 05.01.2003");
  EXPECT_EQ(Text(kSunday, 0x477), "05.01.2003 14:03:07");
  EXPECT_EQ(Text(kSunday, 0x003), "14:03");
  EXPECT_EQ(Text(kSunday, 0x160), "Jan 2003");
  EXPECT_EQ(Text(kSunday, 0x080), "Sun");
  EXPECT_EQ(Text(kSunday, kTraceStampFormat).size(), 29u);
}

TEST(TimeStamp, EveryTimeAndDateValue) {
  const char* times[] = {"", "14", " 3", "14:03", " 7", "", "03:07", "14:03:07"};
  const char* datesNumeric[] = {"", " 5", " 1", "05.01.", "2003", "", "01/2003", "05.01.2003"};
  const char* datesNamed[] = {"", " 5", "Jan", "Jan 05", "2003", "", "Jan 2003", "Jan 05 2003"};
  for (ULONG t = 0; t < 8; ++t) EXPECT_EQ(Text(kSunday, t), times[t]) << t;
  for (ULONG d = 0; d < 8; ++d) {
    EXPECT_EQ(Text(kSunday, d << 4), datesNumeric[d]) << d;
    EXPECT_EQ(Text(kSunday, 0x100 | d << 4), datesNamed[d]) << d;
  }
}

TEST(TimeStamp, EdgeCases) {
  TimeStamp leap(emu::MakeSystemTime(2004, 2, 29, 8, 5, 9, 7));
  EXPECT_EQ(Text(leap, kTraceStampFormat), "08:05:09.007 Sun, Feb 29 2004");
  // Time value 5 prints nothing but still asks for the blank.
  EXPECT_EQ(Text(kSunday, 0x075), " 05.01.2003");
  EXPECT_EQ(Text(kSunday, 0x475), "05.01.2003 ");
  // No milliseconds without a printed second.
  EXPECT_EQ(Text(kSunday, 0x00B), "14:03");
  EXPECT_EQ(Text(kSunday, 0x00C), " 7.123");
  EXPECT_EQ(Text(kSunday, 0x00E), "03:07.123");
  // The weekday alone has no comma; with a date, it has.
  EXPECT_EQ(Text(kSunday, 0x080), "Sun");
  EXPECT_EQ(Text(kSunday, 0x0D0), "Sun");  // date value 0x50 selects no date
  EXPECT_EQ(Text(kSunday, 0x0C0), "Sun, 2003");
  EXPECT_EQ(Text(kSunday, 0x000), "");
}

TEST(TimeStamp, PartsAndNames) {
  TIME_FIELDS fields{};
  kSunday.GetFields(&fields);
  EXPECT_EQ(fields.Year, 2003);
  EXPECT_EQ(fields.Weekday, 0);
  char buffer[TimeStamp::kTextSize];
  EXPECT_EQ(TimeStamp::FormatTime(buffer, fields, 0x00F), 12u);
  EXPECT_STREQ(buffer, "14:03:07.123");
  EXPECT_EQ(TimeStamp::FormatDate(buffer, fields, 0x1F0), 16u);
  EXPECT_STREQ(buffer, "Sun, Jan 05 2003");
  // Out-of-range fields: empty names, numbers as they are.
  fields.Weekday = 7;
  fields.Month = 13;
  EXPECT_EQ(TimeStamp::FormatDate(buffer, fields, 0x1F0), 10u);
  EXPECT_STREQ(buffer, ",  05 2003");
  EXPECT_STREQ(TimeStamp::DayName(-1), "");
  EXPECT_STREQ(TimeStamp::MonthName(0), "");
  EXPECT_STREQ(TimeStamp::MonthName(12), "Dec");
}

TEST(TimeStamp, WildFieldsStayInsideTheBuffer) {
  TIME_FIELDS fields{-32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768};
  char buffer[TimeStamp::kTextSize + 4];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(TimeStamp::FormatTime(buffer, fields, 0x00F), 27u);
  EXPECT_STREQ(buffer, "-32768:-32768:-32768.-32768");
  EXPECT_EQ(TimeStamp::FormatDate(buffer, fields, 0x0F0), 22u);
  EXPECT_STREQ(buffer, ", -32768.-32768.-32768");
  EXPECT_EQ(buffer[TimeStamp::kTextSize], 'x');
  // A year beyond 9999 (the largest system times) is cut, not overrun.
  TimeStamp far(0x7FFFFFFFFFFFFFFFLL);
  std::string text = Text(far, kTraceStampFormat);
  EXPECT_EQ(text.size(), TimeStamp::kTextSize - 1);
}

TEST(TimeStamp, CapturesTheClockWhenBuilt) {
  emu::Clock::Fix(emu::MakeSystemTime(2003, 1, 5, 14, 3, 7, 123));
  TimeStamp first;
  emu::Clock::Advance(10000000);  // one second
  TimeStamp second;
  emu::Clock::Release();
  // Formatted later and in the other order, each prints its own moment.
  EXPECT_EQ(Text(second, kTraceStampFormat), "14:03:08.123 Sun, Jan 05 2003");
  EXPECT_EQ(Text(first, kTraceStampFormat), "14:03:07.123 Sun, Jan 05 2003");
}

}  // namespace

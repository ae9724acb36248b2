// The moment a trace record was captured, and its text. System time is
// printed as it is, UTC: there is no conversion to local time.
#pragma once

#include <ntddk.h>

// Bits of a format word.
inline constexpr ULONG kStampTimeMask = 0x007;      // 1 hour, 2 minute, 4 second (3, 6, 7 combine)
inline constexpr ULONG kStampMilliseconds = 0x008;  // after a printed second only
inline constexpr ULONG kStampDateMask = 0x070;      // 0x10 day, 0x20 month, 0x40 year
inline constexpr ULONG kStampWeekday = 0x080;
inline constexpr ULONG kStampMonthName = 0x100;
inline constexpr ULONG kStampDateFirst = 0x400;

// Hour, minute, second and milliseconds, the weekday, the full date with the
// month's name, time first: "14:03:07.123 Sun, Jan 05 2003".
inline constexpr ULONG kTraceStampFormat = 0x1FF;

class TimeStamp {
 public:
  // The buffer size that Format, FormatTime and FormatDate write at most,
  // NUL included. Every format word of valid calendar fields fits it; text
  // that would not (a year past 9999) is cut.
  static constexpr ULONG kTextSize = 30;

  // The current system time.
  TimeStamp();
  // A given system time (100 ns units since 1 January 1601, UTC).
  explicit TimeStamp(LONGLONG systemTime);

  LONGLONG Time() const { return time_.QuadPart; }

  void GetFields(TIME_FIELDS* fields) const;

  // The date and time text by the format word, NUL-terminated in buffer,
  // which holds kTextSize bytes. Returns the number of characters written.
  ULONG Format(char* buffer, ULONG format) const;

  // The time part and the date part alone, NUL-terminated at the buffer's
  // start (kTextSize bytes); each returns its length.
  static ULONG FormatTime(char* buffer, const TIME_FIELDS& fields, ULONG format);
  static ULONG FormatDate(char* buffer, const TIME_FIELDS& fields, ULONG format);

  // "Sun" to "Sat" for 0 to 6, "Jan" to "Dec" for 1 to 12; "" otherwise.
  static const char* DayName(int weekday);
  static const char* MonthName(int month);

 private:
  static ULONG FormatTime(char* buffer, ULONG size, const TIME_FIELDS& fields, ULONG format);
  static ULONG FormatDate(char* buffer, ULONG size, const TIME_FIELDS& fields, ULONG format);

  LARGE_INTEGER time_;
};

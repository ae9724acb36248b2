// Formatting goes through the bounded formatter, so no text can run past
// the caller's buffer whatever the fields hold.
#include "log/TimeStamp.h"

#include "capi/TextFormat.h"

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static_assert(sizeof(kDayNames) / sizeof(kDayNames[0]) == 7, "seven days");
static_assert(sizeof(kMonthNames) / sizeof(kMonthNames[0]) == 12, "twelve months");

ULONG Length(const FormatResult& result) {
  return ULONG(result.length);
}

}  // namespace

TimeStamp::TimeStamp() {
  KeQuerySystemTime(&time_);
}

TimeStamp::TimeStamp(LONGLONG systemTime) {
  time_.QuadPart = systemTime;
}

void TimeStamp::GetFields(TIME_FIELDS* fields) const {
  LARGE_INTEGER time = time_;
  RtlTimeToTimeFields(&time, fields);
}

const char* TimeStamp::DayName(int weekday) {
  return weekday >= 0 && weekday < 7 ? kDayNames[weekday] : "";
}

const char* TimeStamp::MonthName(int month) {
  return month >= 1 && month <= 12 ? kMonthNames[month - 1] : "";
}

ULONG TimeStamp::FormatTime(char* buffer, const TIME_FIELDS& fields, ULONG format) {
  return FormatTime(buffer, kTextSize, fields, format);
}

ULONG TimeStamp::FormatDate(char* buffer, const TIME_FIELDS& fields, ULONG format) {
  return FormatDate(buffer, kTextSize, fields, format);
}

ULONG TimeStamp::FormatTime(char* buffer, ULONG size, const TIME_FIELDS& fields, ULONG format) {
  ULONG length = 0;
  if (size != 0)
    buffer[0] = '\0';
  ULONG time = format & kStampTimeMask;
  switch (time) {
    case 1:
      length = Length(FormatText(buffer, size, "%2d", fields.Hour));
      break;
    case 2:
      length = Length(FormatText(buffer, size, "%2d", fields.Minute));
      break;
    case 3:
      length = Length(FormatText(buffer, size, "%02d:%02d", fields.Hour, fields.Minute));
      break;
    case 4:
      length = Length(FormatText(buffer, size, "%2d", fields.Second));
      break;
    case 6:
      length = Length(FormatText(buffer, size, "%02d:%02d", fields.Minute, fields.Second));
      break;
    case 7:
      length = Length(
          FormatText(buffer, size, "%02d:%02d:%02d", fields.Hour, fields.Minute, fields.Second));
      break;
    default:
      break;
  }
  if ((format & kStampMilliseconds) != 0 && (time == 4 || time == 6 || time == 7)) {
    length += Length(FormatText(buffer + length, size - length, ".%03d", fields.Milliseconds));
  }
  return length;
}

ULONG TimeStamp::FormatDate(char* buffer, ULONG size, const TIME_FIELDS& fields, ULONG format) {
  ULONG length = 0;
  if (size != 0)
    buffer[0] = '\0';
  ULONG date = format & kStampDateMask;
  bool hasDate = date != 0 && date != 0x50;
  if ((format & kStampWeekday) != 0) {
    length = Length(FormatText(buffer, size, hasDate ? "%s, " : "%s", DayName(fields.Weekday)));
  }
  char* out = buffer + length;
  ULONG room = size - length;
  bool named = (format & kStampMonthName) != 0;
  const char* month = MonthName(fields.Month);
  switch (date) {
    case 0x10:
      length += Length(FormatText(out, room, "%2d", fields.Day));
      break;
    case 0x20:
      length += Length(named ? FormatText(out, room, "%s", month)
                             : FormatText(out, room, "%2d", fields.Month));
      break;
    case 0x30:
      length += Length(named ? FormatText(out, room, "%s %02d", month, fields.Day)
                             : FormatText(out, room, "%02d.%02d.", fields.Day, fields.Month));
      break;
    case 0x40:
      length += Length(FormatText(out, room, "%4d", fields.Year));
      break;
    case 0x60:
      length += Length(named ? FormatText(out, room, "%s %04d", month, fields.Year)
                             : FormatText(out, room, "%02d/%04d", fields.Month, fields.Year));
      break;
    case 0x70:
      length += Length(
          named ? FormatText(out, room, "%s %02d %04d", month, fields.Day, fields.Year)
                : FormatText(out, room, "%02d.%02d.%04d", fields.Day, fields.Month, fields.Year));
      break;
    default:
      break;
  }
  return length;
}

ULONG TimeStamp::Format(char* buffer, ULONG format) const {
  TIME_FIELDS fields;
  GetFields(&fields);
  // The blank depends on the bits alone: time value 5 prints nothing, but
  // still asks for it.
  bool blank = (format & kStampTimeMask) != 0 && (format & (kStampDateMask | kStampWeekday)) != 0;
  ULONG length;
  if ((format & kStampDateFirst) != 0) {
    length = FormatDate(buffer, kTextSize, fields, format);
    if (blank)
      length += Length(FormatText(buffer + length, kTextSize - length, " "));
    length += FormatTime(buffer + length, kTextSize - length, fields, format);
  } else {
    length = FormatTime(buffer, kTextSize, fields, format);
    if (blank)
      length += Length(FormatText(buffer + length, kTextSize - length, " "));
    length += FormatDate(buffer + length, kTextSize - length, fields, format);
  }
  return length;
}

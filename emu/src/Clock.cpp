// KeQuerySystemTime, RtlTimeToTimeFields and the settable clock.
#include "emu/Clock.h"

#include <atomic>
#include <chrono>

#include <ntddk.h>

namespace emu {
namespace {

std::atomic<bool> fixed{false};
std::atomic<SystemTime> fixedTime{0};

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochSeconds = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000LL;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

}  // namespace

SystemTime MakeSystemTime(int year, int month, int day, int hour, int minute, int second,
                          int milliseconds) {
  int64_t days = 0;
  for (int y = 1601; y < year; ++y) days += IsLeap(y) ? 366 : 365;
  days += kDaysBeforeMonth[IsLeap(year) ? 1 : 0][month - 1] + (day - 1);
  int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return seconds * kTicksPerSecond + int64_t(milliseconds) * 10000;
}

void Clock::Fix(SystemTime t) {
  fixedTime.store(t);
  fixed.store(true);
}

void Clock::Advance(SystemTime delta) { fixedTime.fetch_add(delta); }

void Clock::Release() { fixed.store(false); }

SystemTime Clock::Now() {
  if (fixed.load()) return fixedTime.load();
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
  return ticks + kUnixEpochSeconds * kTicksPerSecond;
}

}  // namespace emu

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = emu::Clock::Now();
}

// The kernel's conversion: whole days since 1 January 1601 (a Monday) and the
// time of day. Negative times are not valid system times; they convert as 0.
extern "C" VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
  int64_t t = Time->QuadPart < 0 ? 0 : Time->QuadPart;
  int64_t days = t / emu::kTicksPerDay;
  int64_t rest = t % emu::kTicksPerDay;

  TimeFields->Milliseconds = CSHORT((rest % emu::kTicksPerSecond) / 10000);
  int64_t secondsOfDay = rest / emu::kTicksPerSecond;
  TimeFields->Hour = CSHORT(secondsOfDay / 3600);
  TimeFields->Minute = CSHORT((secondsOfDay / 60) % 60);
  TimeFields->Second = CSHORT(secondsOfDay % 60);
  TimeFields->Weekday = CSHORT((days + 1) % 7);  // 1601-01-01 was a Monday

  // 400-year cycles of 146097 days, then centuries, 4-year cycles and years.
  int64_t year = 1601;
  year += (days / 146097) * 400;
  days %= 146097;
  int64_t centuries = days / 36524;
  if (centuries == 4) centuries = 3;
  year += centuries * 100;
  days -= centuries * 36524;
  year += (days / 1461) * 4;
  days %= 1461;
  int64_t years = days / 365;
  if (years == 4) years = 3;
  year += years;
  days -= years * 365;

  const int* before = emu::kDaysBeforeMonth[emu::IsLeap(year) ? 1 : 0];
  int month = 1;
  while (month < 12 && days >= before[month]) ++month;
  TimeFields->Year = CSHORT(year);
  TimeFields->Month = CSHORT(month);
  TimeFields->Day = CSHORT(days - before[month - 1] + 1);
}

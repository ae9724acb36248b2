// The emulated machine's system clock. By default it follows the host's
// real time; tests and the scenario runner fix it, or advance it by hand, so
// that logs can be compared whole.
#pragma once

#include <cstdint>

namespace emu {

// 100 ns units since 1 January 1601 UTC, as KeQuerySystemTime delivers them.
using SystemTime = int64_t;

// Builds a system time from a UTC calendar date (month 1-12).
SystemTime MakeSystemTime(int year, int month, int day, int hour, int minute, int second,
                          int milliseconds);

class Clock {
 public:
  // Fix the clock at t: every KeQuerySystemTime returns t until changed.
  static void Fix(SystemTime t);
  // Move a fixed clock on by delta (100 ns units).
  static void Advance(SystemTime delta);
  // Follow the host's real time again (the default).
  static void Release();
  static SystemTime Now();
};

}  // namespace emu

#include "framework/Timer.h"

Timer::Timer(PKDEFERRED_ROUTINE routine, PVOID context) {
  KeInitializeDpc(&dpc, routine, context);
  KeInitializeTimer(&timer);
}

Timer::~Timer() {
  KeCancelTimer(&timer);
}

bool Timer::Arm(ULONG milliseconds) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime(milliseconds);
  return KeSetTimer(&timer, due, &dpc) != FALSE;
}

bool Timer::Cancel() {
  return KeCancelTimer(&timer) != FALSE;
}

// A one-shot kernel timer with the DPC its expiry queues.
#pragma once

#include <ntddk.h>

class Timer {
 public:
  Timer(PKDEFERRED_ROUTINE routine, PVOID context);
  // Cancels a pending expiry.
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Up to DISPATCH_LEVEL. Arming a pending timer replaces its due time.
  // Returns whether it was pending.
  bool Arm(ULONG milliseconds);
  // Up to DISPATCH_LEVEL. True exactly when the timer was still pending, so
  // that its DPC will not run.
  bool Cancel();
  PKTIMER Kernel() { return &timer; }

  // Relative due time of `milliseconds` in 100 ns units, computed in 64 bits.
  static LONGLONG DueTime(ULONG milliseconds) { return LONGLONG(milliseconds) * -10000; }

 private:
  KTIMER timer;
  KDPC dpc;
};

// Host-side control of the emulated kernel timers.
//
// By default timers run on real time: a pending timer expires when its
// relative due time has passed on the host's steady clock, whatever the
// system clock (emu::Clock) says, and its DPC is queued to the DPC thread.
// Tests and the scenario runner that must not sleep switch to manual timer
// time: then timer time stands still and moves only by Advance, which
// expires the timers that become due, in due-time order, and queues their
// DPCs. (Absolute due times are converted to relative ones against the
// system clock when the timer is set.)
#pragma once

#include <cstddef>
#include <cstdint>

#include <ntddk.h>

namespace emu {

class Timers {
 public:
  // Switching keeps every pending timer's remaining time.
  static void SetManual(bool manual);
  static bool Manual();
  // Manual mode: moves timer time on by `ticks` (100 ns units) and expires
  // what became due. Returns the number of timers expired.
  static size_t Advance(int64_t ticks);
  // Expires every pending timer now, whatever its due time. Returns how many.
  static size_t FireAll();
  static size_t Pending();
  static bool IsPending(const KTIMER* timer);
  // The DueTime argument of the last KeSetTimer of this timer (0 if none
  // since KeInitializeTimer).
  static int64_t RequestedDueTime(const KTIMER* timer);
};

}  // namespace emu

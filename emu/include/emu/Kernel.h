// Host-side control of the emulated kernel's own threads: the DPC thread and
// the system worker threads (started on first use).
#pragma once

#include <cstddef>

namespace emu {

class Kernel {
 public:
  // Waits until no DPC and no work item is queued or running (a DPC that
  // queues a work item, or a work item that queues a DPC, is waited for
  // too). Pending timers and held work queues are not waited for. Call it
  // from a host thread, not from a DPC or work item.
  static void Quiesce();
  // Quiesce, cancel every pending timer and stop the DPC and worker threads;
  // they start again when next needed. For tests that want a clean machine.
  // A request still in the hands of drivers at that point (left pending, or
  // held by a completion routine that returned
  // STATUS_MORE_PROCESSING_REQUIRED) would never complete: it bug-checks
  // with the owners of its stack locations.
  static void Shutdown();
  // While held, queued work items stay queued (a test can then look at what
  // was queued before anything ran); releasing lets the workers go on.
  static void HoldWorkQueues(bool hold);
  // While held, a driver's work item routine that has returned is kept
  // "running", as if its thread were still on the routine's last
  // instructions, until that driver's unload has looked at it (or the hold
  // is released): a test unloads the driver in that window on purpose.
  static void HoldWorkItemReturns(bool hold);
  // The same for a driver's DPC (its unload or a KeFlushQueuedDpcs looks).
  static void HoldDpcReturns(bool hold);
  // The same for a driver's completion routine (its unload looks).
  static void HoldCompletionReturns(bool hold);
  // System threads created by PsCreateSystemThread that have not ended.
  static size_t RunningSystemThreads();
};

}  // namespace emu

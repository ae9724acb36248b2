// A kernel event: notification (stays signalled) or synchronisation
// (released waiter resets it).
#pragma once

#include <ntddk.h>

class Event {
 public:
  Event(EVENT_TYPE type, bool signalled) { KeInitializeEvent(&event, type, signalled); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Up to DISPATCH_LEVEL. Returns whether the event was signalled before.
  bool Set(KPRIORITY increment = 0) { return KeSetEvent(&event, increment, FALSE) != 0; }
  // PASSIVE_LEVEL only; never times out.
  void Wait() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL); }
  PKEVENT Kernel() { return &event; }

 private:
  KEVENT event;
};

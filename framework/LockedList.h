// A doubly linked list guarded by its own spin lock; first in, first out.
//
// The list is changed under the driver's own spin lock rather than by the
// executive's interlocked list routines: those also hold off interrupts,
// which no caller here needs (none runs above DISPATCH_LEVEL), and not every
// implementation of the NT kernel interface provides them, while every one
// provides the spin lock.
#pragma once

#include <ntddk.h>

#include "framework/SpinLock.h"

class LockedList {
 public:
  LockedList() { InitializeListHead(&head); }
  LockedList(const LockedList&) = delete;
  LockedList& operator=(const LockedList&) = delete;

  // Both up to DISPATCH_LEVEL.
  void InsertTail(PLIST_ENTRY entry) {
    lock.Lock();
    InsertTailList(&head, entry);
    lock.Unlock();
  }
  // Null when the list is empty.
  PLIST_ENTRY RemoveHead() {
    lock.Lock();
    PLIST_ENTRY entry = IsListEmpty(&head) ? NULL : RemoveHeadList(&head);
    lock.Unlock();
    return entry;
  }

 private:
  LIST_ENTRY head;
  SpinLock lock;
};

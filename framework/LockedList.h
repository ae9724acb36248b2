// A doubly linked list guarded by its own spin lock; first in, first out.
#pragma once

#include <ntddk.h>

class LockedList {
 public:
  LockedList() {
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
  }
  LockedList(const LockedList&) = delete;
  LockedList& operator=(const LockedList&) = delete;

  // Both up to DISPATCH_LEVEL.
  void InsertTail(PLIST_ENTRY entry) { ExfInterlockedInsertTailList(&head, entry, &lock); }
  // Null when the list is empty.
  PLIST_ENTRY RemoveHead() { return ExfInterlockedRemoveHeadList(&head, &lock); }

 private:
  LIST_ENTRY head;
  KSPIN_LOCK lock;
};

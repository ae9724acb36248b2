// A small set of 32-bit keys (in the driver, file objects) guarded by a spin
// lock; the same key may be present more than once. Up to DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#include "framework/SpinLock.h"

class KeySet {
 public:
  KeySet() : head(NULL) {}
  // Frees nothing: the set is empty by then.
  ~KeySet() {}
  KeySet(const KeySet&) = delete;
  KeySet& operator=(const KeySet&) = delete;

  // STATUS_INSUFFICIENT_RESOURCES when no node can be allocated.
  NTSTATUS Add(ULONG_PTR key);
  // Removes one occurrence; false when the key is not present.
  bool RemoveFirst(ULONG_PTR key);

 private:
  struct Node {
    Node* next;
    ULONG_PTR key;
  };
  Node* head;
  SpinLock lock;
};

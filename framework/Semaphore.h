// A kernel semaphore.
#pragma once

#include <ntddk.h>

class Semaphore {
 public:
  Semaphore(LONG count, LONG limit) { KeInitializeSemaphore(&semaphore, count, limit); }
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Up to DISPATCH_LEVEL; returns the previous count. Exceeding the limit
  // stops the system, as the kernel's exception does.
  LONG Release(LONG adjustment = 1, KPRIORITY increment = 0) {
    return KeReleaseSemaphore(&semaphore, increment, adjustment, FALSE);
  }
  // PASSIVE_LEVEL only; never times out.
  void Wait() { KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, NULL); }
  PKSEMAPHORE Kernel() { return &semaphore; }

 private:
  KSEMAPHORE semaphore;
};

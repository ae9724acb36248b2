// A kernel spin lock that remembers the IRQL to return to. Callable up to
// DISPATCH_LEVEL; not re-entrant; never held across a call into another
// object.
#pragma once

#include <ntddk.h>

class SpinLock {
 public:
  SpinLock() : savedIrql(PASSIVE_LEVEL) { KeInitializeSpinLock(&lock); }
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void Lock() {
    // The IRQL is kept only once the lock is held: another holder may not
    // have released it yet.
    KIRQL irql = KfAcquireSpinLock(&lock);
    savedIrql = irql;
  }
  void Unlock() { KfReleaseSpinLock(&lock, savedIrql); }

 private:
  KSPIN_LOCK lock;
  KIRQL savedIrql;
};

// IRQL per thread and spin locks with real mutual exclusion between host
// threads.
#include <sched.h>
#include <atomic>

#include "KernelInternal.h"
#include "LockOrder.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/Chaos.h"

namespace emu {
namespace internal {

KIRQL& CurrentIrql() {
  thread_local KIRQL irql = PASSIVE_LEVEL;
  return irql;
}

void RequireIrqlAtMost(KIRQL maximum, const char* service) {
  KIRQL irql = CurrentIrql();
  if (irql > maximum) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s called at IRQL %u; it may be called at IRQL %u at most",
             service, irql, maximum);
  }
}

}  // namespace internal

namespace {

// A spin lock holds 0 when free and the owner's token when held: the address
// of a per-thread variable, with bit 0 set so it is never 0.
KSPIN_LOCK OwnerToken() {
  thread_local char marker;
  return reinterpret_cast<KSPIN_LOCK>(&marker) | 1;
}

// The spin locks this thread holds: how many, and the last one taken.
thread_local int heldSpinLocks = 0;
thread_local PKSPIN_LOCK lastSpinLock = nullptr;

void Acquire(PKSPIN_LOCK lock, const char* service) {
  KSPIN_LOCK me = OwnerToken();
  KSPIN_LOCK expected = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (expected == me) {
    BugCheck(SPIN_LOCK_ALREADY_OWNED,
             "%s: spin lock %p is already held by this thread (spin locks are not re-entrant; "
             "this would deadlock)",
             service, static_cast<void*>(lock));
  }
  internal::LockOrderAcquiring(lock, service);
  // Chaos mode: another processor may get there first.
  Chaos::At(Chaos::kSpinLockAcquire);
  for (unsigned spins = 0;; ++spins) {
    expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      ++heldSpinLocks;
      lastSpinLock = lock;
      return;
    }
    if (spins > 64)
      sched_yield();
  }
}

void Release(PKSPIN_LOCK lock, const char* service) {
  KSPIN_LOCK me = OwnerToken();
  KSPIN_LOCK held = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (held != me) {
    BugCheck(SPIN_LOCK_NOT_OWNED, "%s: spin lock %p is %s", service, static_cast<void*>(lock),
             held == 0 ? "not held" : "held by another thread");
  }
  internal::LockOrderReleased(lock);
  --heldSpinLocks;
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  // Chaos mode: a waiter on another processor takes the lock before this
  // thread goes on.
  Chaos::At(Chaos::kSpinLockRelease);
}

}  // namespace

namespace internal {
int HeldSpinLocks() { return heldSpinLocks; }
PKSPIN_LOCK LastSpinLock() { return lastSpinLock; }

void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* service) {
  Acquire(lock, service);
}
void ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* service) {
  Release(lock, service);
}
}  // namespace internal
}  // namespace emu

using emu::internal::CurrentIrql;

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
  return CurrentIrql();
}

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql < old) {
    emu::BugCheck(emu::IRQL_NOT_GREATER_OR_EQUAL, "KeRaiseIrql to %u from the higher IRQL %u",
                  NewIrql, old);
  }
  if (NewIrql >= DISPATCH_LEVEL && old < DISPATCH_LEVEL)
    emu::internal::PageOutPageable();
  CurrentIrql() = NewIrql;
  return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql > old) {
    emu::BugCheck(emu::IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to %u from the lower IRQL %u", NewIrql,
                  old);
  }
  CurrentIrql() = NewIrql;
}

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  // A lock initialised anew has no order yet (its memory may have held
  // another lock before, e.g. on a stack).
  emu::internal::LockOrderForget(SpinLock, sizeof *SpinLock);
  *SpinLock = 0;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
  KIRQL old = CurrentIrql();
  if (old < DISPATCH_LEVEL)
    emu::internal::PageOutPageable();
  CurrentIrql() = DISPATCH_LEVEL;
  emu::Acquire(SpinLock, "KeAcquireSpinLock");
  return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    emu::BugCheck(emu::IRQL_NOT_GREATER_OR_EQUAL,
                  "KeReleaseSpinLock of %p at IRQL %u; a held spin lock runs at DISPATCH_LEVEL",
                  static_cast<void*>(SpinLock), CurrentIrql());
  }
  if (NewIrql > DISPATCH_LEVEL) {
    emu::BugCheck(emu::IRQL_NOT_LESS_OR_EQUAL, "KeReleaseSpinLock of %p to IRQL %u",
                  static_cast<void*>(SpinLock), NewIrql);
  }
  emu::Release(SpinLock, "KeReleaseSpinLock");
  CurrentIrql() = NewIrql;
}

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    emu::BugCheck(emu::IRQL_NOT_GREATER_OR_EQUAL, "KeAcquireSpinLockAtDpcLevel of %p at IRQL %u",
                  static_cast<void*>(SpinLock), CurrentIrql());
  }
  emu::Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    emu::BugCheck(emu::IRQL_NOT_GREATER_OR_EQUAL, "KeReleaseSpinLockFromDpcLevel of %p at IRQL %u",
                  static_cast<void*>(SpinLock), CurrentIrql());
  }
  emu::Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// Spin lock order: locks taken in opposite orders are reported the first
// time the orders disagree. The threads of each case run one after the
// other, so no test can hang even where the order is wrong.
#include <gtest/gtest.h>

#include <thread>

#include <ntddk.h>

#include "emu/Kernel.h"
#include "emu/Pool.h"

namespace {

class LockOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

// Takes `first`, then `second` (at DISPATCH_LEVEL already), gives both back.
void Nested(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL old;
  KeAcquireSpinLock(first, &old);
  KeAcquireSpinLockAtDpcLevel(second);
  KeReleaseSpinLockFromDpcLevel(second);
  KeReleaseSpinLock(first, old);
}

void OnThread(void (*body)(PKSPIN_LOCK, PKSPIN_LOCK), PKSPIN_LOCK a, PKSPIN_LOCK b) {
  std::thread thread(body, a, b);
  thread.join();
}

struct Locks {
  KSPIN_LOCK a, b, c;
  Locks() {
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
  }
};

TEST_F(LockOrder, OppositeOrdersOnTwoThreadsAreADeadlock) {
  EXPECT_DEATH(
      {
        Locks locks;
        OnThread(Nested, &locks.a, &locks.b);
        OnThread(Nested, &locks.b, &locks.a);
      },
      "BUG CHECK 0x000000C4: DRIVER_VERIFIER_DETECTED_VIOLATION: deadlock: thread [0-9]+ holds "
      "spin lock 0x[0-9a-f]+ and takes spin lock 0x[0-9a-f]+ \\(KeAcquireSpinLockAtDpcLevel\\), "
      "but they were taken in the opposite order before: 0x[0-9a-f]+ then 0x[0-9a-f]+ \\(thread "
      "[0-9]+, KeAcquireSpinLockAtDpcLevel\\)");
  // Through three locks and three threads: a then b, b then c, c then a.
  EXPECT_DEATH(
      {
        Locks locks;
        OnThread(Nested, &locks.a, &locks.b);
        OnThread(Nested, &locks.b, &locks.c);
        OnThread(Nested, &locks.c, &locks.a);
      },
      "deadlock: .* before: 0x[0-9a-f]+ then 0x[0-9a-f]+ \\(thread [0-9]+, "
      "KeAcquireSpinLockAtDpcLevel\\), 0x[0-9a-f]+ then 0x[0-9a-f]+ \\(thread [0-9]+, "
      "KeAcquireSpinLockAtDpcLevel\\)");
  // One thread alone taking them in both orders is just as wrong: another
  // thread running the other path would meet it.
  EXPECT_DEATH(
      {
        Locks locks;
        Nested(&locks.a, &locks.b);
        Nested(&locks.b, &locks.a);
      },
      "BUG CHECK 0x000000C4.*deadlock");
}

TEST_F(LockOrder, InterlockedListLocksTakePart) {
  EXPECT_DEATH(
      {
        Locks locks;
        LIST_ENTRY list;
        LIST_ENTRY entry;
        InitializeListHead(&list);
        // The list's lock is also taken by hand, before a.
        OnThread(Nested, &locks.c, &locks.a);
        KIRQL old;
        KeAcquireSpinLock(&locks.a, &old);
        ExInterlockedInsertTailList(&list, &entry, &locks.c);
      },
      "deadlock: thread [0-9]+ holds spin lock 0x[0-9a-f]+ and takes spin lock 0x[0-9a-f]+ "
      "\\(ExInterlockedInsertTailList\\)");
}

TEST_F(LockOrder, ConsistentOrdersPass) {
  Locks locks;
  OnThread(Nested, &locks.a, &locks.b);
  OnThread(Nested, &locks.a, &locks.b);
  OnThread(Nested, &locks.b, &locks.c);
  OnThread(Nested, &locks.a, &locks.c);
  // Taking them one at a time sets no order.
  KIRQL old;
  KeAcquireSpinLock(&locks.c, &old);
  KeReleaseSpinLock(&locks.c, old);
  KeAcquireSpinLock(&locks.a, &old);
  KeReleaseSpinLock(&locks.a, old);
  // Released out of order: still no lock held afterwards.
  KeAcquireSpinLock(&locks.a, &old);
  KeAcquireSpinLockAtDpcLevel(&locks.b);
  KeReleaseSpinLockFromDpcLevel(&locks.a);
  KeReleaseSpinLock(&locks.b, old);
  OnThread(Nested, &locks.a, &locks.b);
}

TEST_F(LockOrder, ALockInitialisedOrFreedAnewHasNoOrder) {
  Locks locks;
  OnThread(Nested, &locks.a, &locks.b);
  KeInitializeSpinLock(&locks.a);  // another lock at the same place
  OnThread(Nested, &locks.b, &locks.a);

  auto* block = static_cast<PKSPIN_LOCK>(
      ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK), emu::MakePoolTag("Lock")));
  block[0] = block[1] = 0;  // as a driver whose structure holds two locks, zeroed
  OnThread(Nested, &block[0], &block[1]);
  ExFreePool(block);
  auto* again = static_cast<PKSPIN_LOCK>(
      ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK), emu::MakePoolTag("Lock")));
  again[0] = again[1] = 0;
  OnThread(Nested, &again[1], &again[0]);
  ExFreePool(again);
}

}  // namespace

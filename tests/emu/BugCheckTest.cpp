// Every bug check of the emulated executive fires where a real system would
// stop, with its code and a clear message.
#include <gtest/gtest.h>

#include <algorithm>

#include <ntddk.h>

#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Timers.h"

namespace {

constexpr ULONG kTag = emu::MakePoolTag("Test");

// Death tests fork: under qemu-i386 the "threadsafe" style cannot re-execute
// the binary, so the "fast" style is used, with the emulator's own threads
// stopped first (the child starts its own when it needs them).
class BugCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

VOID NTAPI NoDpc(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI NoWork(PVOID) {}
VOID NTAPI DpcThatLowers(PKDPC, PVOID, PVOID, PVOID) {
  KeLowerIrql(PASSIVE_LEVEL);
}
VOID NTAPI WorkThatRaises(PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}
// Occupy the DPC thread or a worker for good, so that what is queued behind
// stays queued (the death test's child ends at the bug check).
VOID NTAPI DpcThatNeverEnds(PKDPC, PVOID, PVOID, PVOID) {
  for (volatile bool forever = true; forever;) {
  }
}
VOID NTAPI WorkThatNeverEnds(PVOID) {
  for (volatile bool forever = true; forever;) {
  }
}

TEST_F(BugCheck, PoolMisuse) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        ExFreePool(p);
        ExFreePool(p);
      },
      "BUG CHECK 0x000000C2: BAD_POOL_CALLER: ExFreePool of .* not an allocated pool block");
  EXPECT_DEATH(
      {
        static char notPool[16];
        ExFreePool(notPool);
      },
      "BUG CHECK 0x000000C2");
  EXPECT_DEATH(ExFreePool(nullptr), "BUG CHECK 0x000000C2: BAD_POOL_CALLER: ExFreePool of a null");
  EXPECT_DEATH(
      ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), emu::MakePoolTag("Othr")),
      "BUG CHECK 0x000000C2.*tag 'Othr'; the block has the tag 'Test'");
}

TEST_F(BugCheck, PoolIrqlAndTags) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 8, kTag);
      },
      "BUG CHECK 0x0000000A: IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag called at IRQL 2");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 8, kTag);
      },
      "BUG CHECK 0x0000000A");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
      },
      "BUG CHECK 0x0000000A");
  EXPECT_DEATH(ExAllocatePool(NonPagedPool, 8), "BUG CHECK 0x000000C4.*without a pool tag");
  EXPECT_DEATH(
      {
        emu::Pool::RegisterDriverTag(kTag);
        ExAllocatePoolWithTag(NonPagedPool, 8, emu::MakePoolTag("Othr"));
      },
      "BUG CHECK 0x000000C4.*tag 'Othr', which no loaded driver owns");
  EXPECT_DEATH(
      {
        emu::Pool::RegisterDriverTag(emu::MakePoolTag("Leak"));
        ExAllocatePoolWithTag(NonPagedPool, 24, emu::MakePoolTag("Leak"));
        emu::Pool::UnregisterDriverTag(emu::MakePoolTag("Leak"));
      },
      "BUG CHECK 0x000000C4.*driver of tag 'Leak' unloading without freeing its pool: 1 blocks, 24 "
      "bytes are still allocated, among them .* \\(tag 'Leak', 24 bytes, non-paged, allocation "
      "#[0-9]+\\)");
}

TEST_F(BugCheck, PoolOverrun) {
  // Seen at free by the emulator, or at once by AddressSanitizer.
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
        p[10] = 1;
        ExFreePool(p);
      },
      "BUG CHECK 0x00000019: BAD_POOL_HEADER.*written past its end|AddressSanitizer");
}

TEST_F(BugCheck, WaitsAboveApcLevel) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "BUG CHECK 0x0000000A: IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject called at IRQL 2");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "BUG CHECK 0x0000000A");
  EXPECT_DEATH(
      {
        KEVENT event;
        memset(&event, 0, sizeof event);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "BUG CHECK 0x000000C4.*not an initialised dispatcher object");
}

TEST_F(BugCheck, SpinLockMisuse) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLock(&lock, old);
      },
      "BUG CHECK 0x00000010: SPIN_LOCK_NOT_OWNED: KeReleaseSpinLock: spin lock .* is not held");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeLowerIrql(PASSIVE_LEVEL);
        KeReleaseSpinLock(&lock, old);
      },
      "BUG CHECK 0x00000009: IRQL_NOT_GREATER_OR_EQUAL: KeReleaseSpinLock of .* at IRQL 0");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLock(&lock, &old);
      },
      "BUG CHECK 0x0000000F: SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(PASSIVE_LEVEL, &old);
      },
      "BUG CHECK 0x00000009");
}

TEST_F(BugCheck, SemaphoreLimit) {
  EXPECT_DEATH(
      {
        KSEMAPHORE s;
        KeInitializeSemaphore(&s, 1, 2);
        KeReleaseSemaphore(&s, 0, 1, FALSE);
        KeReleaseSemaphore(&s, 0, 1, FALSE);
      },
      "BUG CHECK 0x0000001E: KMODE_EXCEPTION_NOT_HANDLED: exception 0xC0000047 "
      "\\(STATUS_SEMAPHORE_LIMIT_EXCEEDED\\)");
}

TEST_F(BugCheck, QueuesAndHandles) {
  EXPECT_DEATH(
      {
        WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, NoWork, nullptr);
        item.List.Flink = &item.List;  // as if still queued
        ExQueueWorkItem(&item, DelayedWorkQueue);
      },
      "BUG CHECK 0x000000E4: WORKER_INVALID: ExQueueWorkItem of .* already queued");
  EXPECT_DEATH(
      {
        emu::Timers::SetManual(true);
        auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
        auto* timer = reinterpret_cast<PKTIMER>(block + 8);
        auto* dpc = reinterpret_cast<PKDPC>(block + 48);
        KeInitializeTimer(timer);
        KeInitializeDpc(dpc, NoDpc, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -10000000;
        KeSetTimer(timer, due, dpc);
        ExFreePool(block);
      },
      "BUG CHECK 0x000000C7: TIMER_OR_DPC_INVALID: pool block .* holds the pending timer");
  EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0x1234)),
               "BUG CHECK 0x00000093: INVALID_KERNEL_HANDLE: ZwClose of");
  EXPECT_DEATH(
      {
        static char notObject[16];
        ObfDereferenceObject(notObject);
      },
      "BUG CHECK 0x00000018: REFERENCE_BY_POINTER");
  EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS),
               "BUG CHECK 0x000000C4.*PsTerminateSystemThread called outside a system thread");
}

// A freed block is checked for what it holds, whatever else is armed
// elsewhere: a pending timer inside it while others are pending below and
// above it, a queued DPC, a queued work item.
TEST_F(BugCheck, FreedPoolHoldingATimerDpcOrWorkItem) {
  EXPECT_DEATH(
      {
        emu::Timers::SetManual(true);
        char* blocks[3];
        for (char*& block : blocks) {
          block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
          auto* timer = reinterpret_cast<PKTIMER>(block + 16);
          KeInitializeTimer(timer);
          LARGE_INTEGER due;
          due.QuadPart = -10000000;
          KeSetTimer(timer, due, nullptr);
        }
        std::sort(blocks, blocks + 3);
        ExFreePool(blocks[1]);
      },
      "BUG CHECK 0x000000C7: TIMER_OR_DPC_INVALID: pool block .* holds the pending timer");
  EXPECT_DEATH(
      {
        static KDPC busy;
        KeInitializeDpc(&busy, DpcThatNeverEnds, nullptr);
        KeInsertQueueDpc(&busy, nullptr, nullptr);
        auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
        auto* dpc = reinterpret_cast<PKDPC>(block + 24);
        KeInitializeDpc(dpc, NoDpc, nullptr);
        KeInsertQueueDpc(dpc, nullptr, nullptr);
        ExFreePool(block);
      },
      "BUG CHECK 0x000000C7: TIMER_OR_DPC_INVALID: pool block .* holds the queued DPC");
  EXPECT_DEATH(
      {
        static WORK_QUEUE_ITEM busy;
        ExInitializeWorkItem(&busy, WorkThatNeverEnds, nullptr);
        ExQueueWorkItem(&busy, HyperCriticalWorkQueue);
        auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
        auto* item = reinterpret_cast<PWORK_QUEUE_ITEM>(block + 20);
        ExInitializeWorkItem(item, NoWork, nullptr);
        ExQueueWorkItem(item, HyperCriticalWorkQueue);
        ExFreePool(block);
      },
      "BUG CHECK 0x000000E4: WORKER_INVALID: pool block .* holds the queued work item");
}

TEST_F(BugCheck, DpcAndWorkerMustKeepTheirIrql) {
  EXPECT_DEATH(
      {
        static KDPC dpc;
        KeInitializeDpc(&dpc, DpcThatLowers, nullptr);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        emu::Kernel::Quiesce();
      },
      "BUG CHECK 0x0000000A: IRQL_NOT_LESS_OR_EQUAL: DPC routine .* returned at IRQL 0");
  EXPECT_DEATH(
      {
        static WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, WorkThatRaises, nullptr);
        ExQueueWorkItem(&item, CriticalWorkQueue);
        emu::Kernel::Quiesce();
      },
      "BUG CHECK 0x000000E1: WORKER_THREAD_RETURNED_AT_BAD_IRQL");
}

}  // namespace

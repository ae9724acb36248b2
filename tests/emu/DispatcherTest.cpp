// Events, semaphores and waits across host threads; interlocked lists.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <ntddk.h>

namespace {

LARGE_INTEGER Relative(LONGLONG ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

TEST(Dispatcher, NotificationEventWakesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++woken;
    });
  }
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);  // returns the previous state
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST(Dispatcher, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++woken;
    });
  }
  KeSetEvent(&event, 0, FALSE);
  while (woken < 1) std::this_thread::yield();
  LARGE_INTEGER poll = Relative(0);
  // The released waiter consumed the signal: nobody else gets through.
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Dispatcher, SemaphoreCountsReleasesAcrossThreads) {
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 0, 100);
  std::atomic<int> taken{0};
  std::thread consumer([&] {
    for (int i = 0; i < 50; ++i) {
      KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr);
      ++taken;
    }
  });
  for (int i = 0; i < 50; ++i) KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
  consumer.join();
  EXPECT_EQ(taken, 50);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 3, FALSE), 0);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 3);
}

TEST(Dispatcher, WaitTimesOutOnlyWhenAskedTo) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER shortWait = Relative(10000);  // 1 ms
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait),
            STATUS_TIMEOUT);
  // A zero time-out only polls, and so is allowed at DISPATCH_LEVEL.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER poll = Relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  KeLowerIrql(old);
}

TEST(Dispatcher, SpinLockExcludesOtherThreadsAndRaisesIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      long v = counter;
      std::this_thread::yield();
      counter = v + 1;
      KeReleaseSpinLock(&lock, old);
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 4000);
}

TEST(Dispatcher, InterlockedListIsFifoAndReportsEmpty) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY a, b;
  EXPECT_EQ(ExfInterlockedInsertTailList(&head, &a, &lock), nullptr);
  EXPECT_EQ(ExfInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExfInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExfInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExfInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(lock, 0u);
  LONG v = 5;
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 5);
  EXPECT_EQ(InterlockedIncrement(&v), 9);
  EXPECT_EQ(InterlockedExchange(&v, 1), 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 7, 1), 1);
  EXPECT_EQ(v, 7);
}

}  // namespace

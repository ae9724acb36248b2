// Edge cases of the kernel service wrappers that their users rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <ntddk.h>

#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Timers.h"
#include "framework/Event.h"
#include "framework/Interlocked.h"
#include "framework/KeySet.h"
#include "framework/LockedList.h"
#include "framework/Pool.h"
#include "framework/PoolObject.h"
#include "framework/RemoveGuard.h"
#include "framework/Semaphore.h"
#include "framework/SystemThread.h"
#include "framework/Timer.h"
#include "framework/WorkItem.h"

namespace {

TEST(PoolAlloc, TinyBlockIsFourZeroedBytesTaggedNRXc) {
  EXPECT_EQ(POOL_TAG, emu::MakePoolTag("NRXc"));
  emu::PoolTagReport before = emu::Pool::Report(POOL_TAG);
  auto* p = static_cast<unsigned char*>(PoolAlloc(1, NonPagedPool));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], 0);
  emu::PoolTagReport during = emu::Pool::Report(POOL_TAG);
  EXPECT_EQ(during.blocks, before.blocks + 1);
  EXPECT_EQ(during.bytes, before.bytes + 4);
  PoolFree(p);
  PoolFree(nullptr);
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, before.blocks);
}

TEST(PoolAlloc, FailureIsNull) {
  emu::PoolFault fault;
  fault.tag = POOL_TAG;
  emu::Pool::InjectFault(fault);
  EXPECT_EQ(PoolAlloc(8, NonPagedPool), nullptr);
  emu::Pool::ClearFaults();
}

struct Pooled : PoolObject {
  virtual ~Pooled() {}
  int value[5] = {1, 2, 3, 4, 5};
};

TEST(PoolObject, NewAndDeleteGoThroughThePool) {
  size_t before = emu::Pool::Report(POOL_TAG).blocks;
  Pooled* p = new Pooled;
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, before + 1);
  EXPECT_EQ(p->value[4], 5);
  delete p;
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, before);
  emu::PoolFault fault;
  fault.tag = POOL_TAG;
  emu::Pool::InjectFault(fault);
  EXPECT_EQ(new Pooled, nullptr);  // no construction on a failed allocation
  emu::Pool::ClearFaults();
}

TEST(RemoveGuard, WithoutReferencesRemovalIsImmediateAndFinal) {
  RemoveGuard guard;
  guard.ReleaseAndWait();
  EXPECT_EQ(guard.Acquire(), STATUS_DELETE_PENDING);
  guard.ReleaseAndWait();  // returns at once
}

TEST(RemoveGuard, RemovalWaitsForHeldReferencesAndRefusesNewOnes) {
  RemoveGuard guard;
  ASSERT_EQ(guard.Acquire(), STATUS_SUCCESS);
  ASSERT_EQ(guard.Acquire(), STATUS_SUCCESS);
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    guard.ReleaseAndWait();
    removed = true;
  });
  // A refused Acquire neither blocks nor delays the removal.
  NTSTATUS refused;
  while ((refused = guard.Acquire()) == STATUS_SUCCESS) guard.Release();
  EXPECT_EQ(refused, STATUS_DELETE_PENDING);
  EXPECT_FALSE(removed);
  guard.Release();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(removed);
  guard.Release();
  remover.join();
  EXPECT_TRUE(removed);
}

std::atomic<int> runs{0};
ULONG_PTR lastArguments[3];
std::atomic<int> runIrql{-1};

VOID Callback(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) {
  lastArguments[0] = a;
  lastArguments[1] = b;
  lastArguments[2] = c;
  runIrql = KeGetCurrentIrql();
  ++runs;
}

TEST(WorkItem, AtPassiveLevelRunsInPlace) {
  runs = 0;
  WorkItem item(Callback, DelayedWorkQueue, false);
  EXPECT_EQ(item.Schedule(1, 2, 3), 0);
  EXPECT_EQ(runs, 1);  // before Schedule returned
  EXPECT_EQ(lastArguments[2], 3u);
  EXPECT_EQ(item.Schedule(4, 5, 6), 0);  // free again after its run
  EXPECT_EQ(runs, 2);
}

TEST(WorkItem, AtDispatchLevelQueuesAndDropsASecondSchedule) {
  runs = 0;
  WorkItem item(Callback, DelayedWorkQueue, false);
  emu::Kernel::HoldWorkQueues(true);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(item.Schedule(1, 2, 3), 0);
  KeLowerIrql(old);
  EXPECT_EQ(runs, 0);                    // queued, not run in place
  EXPECT_EQ(item.Schedule(7, 8, 9), 1);  // before the first run began: dropped
  emu::Kernel::HoldWorkQueues(false);
  emu::Kernel::Quiesce();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(lastArguments[0], 1u);
  EXPECT_EQ(lastArguments[1], 2u);
  EXPECT_EQ(lastArguments[2], 3u);
  EXPECT_EQ(runIrql, PASSIVE_LEVEL);
}

TEST(WorkItem, AlwaysQueueQueuesAtPassiveLevel) {
  runs = 0;
  WorkItem item(Callback, CriticalWorkQueue, true);
  item.Schedule(1, 2, 3);
  emu::Kernel::Quiesce();
  EXPECT_EQ(runs, 1);
}

TEST(KeySet, DuplicatesAreRemovedOneAtATime) {
  KeySet set;
  ASSERT_EQ(set.Add(5), STATUS_SUCCESS);
  ASSERT_EQ(set.Add(6), STATUS_SUCCESS);
  ASSERT_EQ(set.Add(5), STATUS_SUCCESS);
  EXPECT_TRUE(set.RemoveFirst(5));
  EXPECT_TRUE(set.RemoveFirst(5));
  EXPECT_FALSE(set.RemoveFirst(5));
  EXPECT_TRUE(set.RemoveFirst(6));
  EXPECT_FALSE(set.RemoveFirst(6));
}

TEST(LockedList, FirstInFirstOut) {
  LockedList list;
  LIST_ENTRY a, b;
  list.InsertTail(&a);
  list.InsertTail(&b);
  EXPECT_EQ(list.RemoveHead(), &a);
  EXPECT_EQ(list.RemoveHead(), &b);
  EXPECT_EQ(list.RemoveHead(), nullptr);
}

std::atomic<int> timerRuns{0};
VOID NTAPI TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
  EXPECT_EQ(context, &timerRuns);
  ++timerRuns;
}

TEST(Timer, ArmUsesRelative64BitDueTimes) {
  emu::Timers::SetManual(true);
  Timer timer(TimerDpc, &timerRuns);
  EXPECT_FALSE(timer.Arm(5000));
  EXPECT_EQ(emu::Timers::RequestedDueTime(timer.Kernel()), -50000000);
  EXPECT_TRUE(timer.Arm(500000));  // re-arming a pending timer
  EXPECT_EQ(emu::Timers::RequestedDueTime(timer.Kernel()), -5000000000LL);  // beyond 32 bits
  EXPECT_TRUE(timer.Cancel());
  EXPECT_FALSE(timer.Cancel());
  timer.Arm(5000);
  emu::Timers::Advance(50000000);
  emu::Kernel::Quiesce();
  EXPECT_EQ(timerRuns, 1);
  EXPECT_FALSE(timer.Cancel());
  emu::Timers::SetManual(false);
}

TEST(EventAndSemaphore, SetReportsThePreviousStateAndWakesAWaiter) {
  Event event(SynchronizationEvent, false);
  Semaphore semaphore(0, 10);
  std::thread waiter([&] {
    event.Wait();
    semaphore.Release(2, 0);
  });
  EXPECT_FALSE(event.Set());
  semaphore.Wait();
  semaphore.Wait();
  waiter.join();
  EXPECT_FALSE(event.Set());  // the waiter took the first signal
  EXPECT_TRUE(event.Set());
  EXPECT_EQ(semaphore.Release(1, 0), 0);
}

TEST(Interlocked, ExchangeAddReturnsThePreviousValue) {
  LONG counter = 10;
  EXPECT_EQ(Interlocked::ExchangeAdd(&counter, -3), 10);
  EXPECT_EQ(counter, 7);
  int x = 0, y = 0;
  int* volatile slot = &x;
  EXPECT_EQ(Interlocked::ExchangePointer(&slot, &y), &x);
  EXPECT_EQ(slot, &y);
}

struct ThreadContext {
  SystemThread* self = nullptr;
  Event* go = nullptr;
  std::atomic<int> steps{0};
};

VOID NTAPI ThreadMain(PVOID parameter) {
  auto* context = static_cast<ThreadContext*>(parameter);
  context->go->Wait();
  ++context->steps;
  context->self->Exit();
}

TEST(SystemThread, DestructionWaitsForTheThreadsExit) {
  Event go(NotificationEvent, false);
  ThreadContext context;
  context.go = &go;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  {
    SystemThread thread(ThreadMain, &context, &status);
    context.self = &thread;
    ASSERT_EQ(status, STATUS_SUCCESS);
    go.Set();
  }
  EXPECT_EQ(context.steps, 1);
}

}  // namespace

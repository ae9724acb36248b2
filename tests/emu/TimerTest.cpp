// Timers on manual and real timer time, DPCs on the DPC thread.
#include <gtest/gtest.h>

#include <atomic>

#include <ntddk.h>

#include "emu/Kernel.h"
#include "emu/Timers.h"

namespace {

std::atomic<int> fired{0};
std::atomic<int> irqlSeen{-1};
std::atomic<PVOID> contextSeen{nullptr};

VOID NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  irqlSeen = KeGetCurrentIrql();
  contextSeen = context;
  ++fired;
}

class Timers : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Timers::SetManual(true);
    fired = 0;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, CountDpc, &timer);
  }
  void TearDown() override {
    KeCancelTimer(&timer);
    emu::Kernel::Quiesce();
    emu::Timers::SetManual(false);
  }
  BOOLEAN Set(LONGLONG due) {
    LARGE_INTEGER t;
    t.QuadPart = due;
    return KeSetTimer(&timer, t, &dpc);
  }
  KTIMER timer;
  KDPC dpc;
};

TEST_F(Timers, ExpiresWhenItsTimeHasComeAndRunsItsDpcAtDispatchLevel) {
  EXPECT_FALSE(Set(-50000000));
  EXPECT_EQ(emu::Timers::RequestedDueTime(&timer), -50000000);
  EXPECT_EQ(emu::Timers::Advance(49999999), 0u);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 0);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_EQ(emu::Timers::Advance(1), 1u);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(irqlSeen, DISPATCH_LEVEL);
  EXPECT_EQ(contextSeen, &timer);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));  // no longer pending
}

TEST_F(Timers, CancelIsTrueExactlyWhenPendingAndStopsTheDpc) {
  EXPECT_FALSE(KeCancelTimer(&timer));
  Set(-1000);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  emu::Timers::Advance(10000);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 0);
}

TEST_F(Timers, RearmingReplacesTheDueTime) {
  Set(-1000);
  EXPECT_TRUE(Set(-5000));
  emu::Timers::Advance(1000);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 0);
  emu::Timers::Advance(4000);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(emu::Timers::Pending(), 0u);
}

TEST_F(Timers, FireAllExpiresWithoutWaiting) {
  Set(-36000000000LL);  // an hour
  EXPECT_EQ(emu::Timers::FireAll(), 1u);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 1);
}

TEST_F(Timers, RealTimeTimersExpireOnTheirOwn) {
  emu::Timers::SetManual(false);
  Set(-20000);  // 2 ms
  KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
  emu::Kernel::Quiesce();
  EXPECT_EQ(fired, 1);
}

TEST_F(Timers, QueuedDpcRunsOnceHowOftenItIsQueued) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // the DPC thread may not run it yet anyway
  bool first = KeInsertQueueDpc(&dpc, nullptr, nullptr);
  bool second = KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeLowerIrql(old);
  emu::Kernel::Quiesce();
  EXPECT_TRUE(first);
  // Either still queued (refused) or already run: never two runs for one.
  EXPECT_EQ(fired, second ? 2 : 1);
}

}  // namespace

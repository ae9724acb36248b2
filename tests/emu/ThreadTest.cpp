// Work queues, system threads, objects and handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <ntddk.h>

#include "emu/Kernel.h"
#include "emu/Object.h"

namespace {

std::atomic<int> workIrql{-1};
std::atomic<bool> workOnOtherThread{false};
std::thread::id mainThread;

VOID NTAPI Work(PVOID parameter) {
  workIrql = KeGetCurrentIrql();
  workOnOtherThread = std::this_thread::get_id() != mainThread;
  KeSetEvent(static_cast<PKEVENT>(parameter), 0, FALSE);
}

TEST(WorkQueues, ItemRunsOnAWorkerAtPassiveLevel) {
  mainThread = std::this_thread::get_id();
  for (WORK_QUEUE_TYPE type : {CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue}) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, Work, &done);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is allowed at DISPATCH_LEVEL
    ExQueueWorkItem(&item, type);
    KeLowerIrql(old);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    emu::Kernel::Quiesce();
    EXPECT_EQ(workIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(workOnOtherThread);
    EXPECT_EQ(item.List.Flink, nullptr);  // may be queued again
  }
  emu::Kernel::Shutdown();
}

std::atomic<int> threadSteps{0};

VOID NTAPI ThreadBody(PVOID parameter) {
  ++threadSteps;
  KeWaitForSingleObject(static_cast<PKEVENT>(parameter), Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
  ++threadSteps;  // never reached
}

TEST(SystemThreads, ThreadObjectIsSignalledWhenTheThreadTerminates) {
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  size_t handlesBefore = emu::OpenHandleCount();
  HANDLE handle;
  ASSERT_EQ(
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadBody, &go),
      STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread,
                                      nullptr),
            STATUS_SUCCESS);
  PVOID wrongType = nullptr;
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(emu::OpenHandleCount(), handlesBefore);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &wrongType, nullptr),
            STATUS_INVALID_HANDLE);

  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeSetEvent(&go, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(threadSteps, 1);
  // Ours is the last reference: the thread's own went when it ended.
  while (emu::Kernel::RunningSystemThreads() != 0) std::this_thread::yield();
  EXPECT_EQ(emu::ObjectReferenceCount(thread), 1);
  EXPECT_EQ(ObfDereferenceObject(thread), 0);
  EXPECT_FALSE(emu::IsObject(thread));
}

TEST(Objects, DeleteProcedureRunsAtTheLastReference) {
  static int deleted = 0;
  POBJECT_TYPE type = emu::CreateObjectType("Thing", [](PVOID) { ++deleted; });
  PVOID body = emu::CreateObject(type, 12);
  HANDLE handle = emu::CreateHandle(body);
  EXPECT_EQ(emu::ObjectReferenceCount(body), 2);
  ObfReferenceObject(body);
  EXPECT_EQ(ObfDereferenceObject(body), 2);
  EXPECT_EQ(ObfDereferenceObject(body), 1);
  EXPECT_EQ(deleted, 0);
  ZwClose(handle);
  EXPECT_EQ(deleted, 1);
}

}  // namespace

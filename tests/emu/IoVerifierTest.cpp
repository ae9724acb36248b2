// The emulated kernel against misbehaving drivers: what outlives its owner,
// what is used after it was handed on, what runs in the wrong context and
// what breaks the ownership of stack locations is stopped with the bug
// check a real system (or Driver Verifier) raises, naming the driver. Legal
// code in the same places passes.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "IoTestDriver.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/SystemVersion.h"
#include "emu/Timers.h"
#include "emu/UserMemory.h"

namespace {

using iotest::Complete;
using iotest::TestDriver;

// Runs `body` on behalf of `driver`, as its own code would run (the
// AddDevice routine is the emulator's plain way into a driver's context).
std::function<void()> inDriver;
NTSTATUS NTAPI RunBody(PDRIVER_OBJECT, PDEVICE_OBJECT) {
  inDriver();
  return STATUS_SUCCESS;
}
void RunAs(PDRIVER_OBJECT driver, std::function<void()> body) {
  inDriver = std::move(body);
  driver->DriverExtension->AddDevice = RunBody;
  emu::CallAddDevice(driver, nullptr);
}

VOID NTAPI NoDpc(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI NoWork(PVOID) {}

KEVENT never;
VOID NTAPI WaitForever(PVOID) {
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
}

std::atomic<bool> release{false};
VOID NTAPI HoldDpcThread(PKDPC, PVOID, PVOID, PVOID) {
  while (!release) std::this_thread::yield();
}

class Verifier : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
  void TearDown() override { emu::Timers::SetManual(false); }
};

// A filter (upper) above a lower device of another driver; the lower one
// answers everything but create, cleanup and close with `lowerHandler`.
struct Stack {
  TestDriver lowerDriver{"VfLower"};
  TestDriver upperDriver{"VfUpper"};
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
  HANDLE handle = nullptr;

  Stack(iotest::Handler lowerHandler, iotest::Handler upperHandler,
        KPROCESSOR_MODE mode = UserMode) {
    lower = lowerDriver.CreateDevice(
        u"VfLowerDevice", DO_BUFFERED_IO, [lowerHandler](PDEVICE_OBJECT d, PIRP irp) {
          UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
          if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
            return Complete(irp, STATUS_SUCCESS);
          return lowerHandler(d, irp);
        });
    upper = upperDriver.CreateDevice(
        u"", DO_BUFFERED_IO, [this, upperHandler](PDEVICE_OBJECT d, PIRP irp) {
          UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
          if (major == IRP_MJ_WRITE || major == IRP_MJ_POWER)
            return upperHandler(d, irp);
          IoSkipCurrentIrpStackLocation(irp);
          return IoCallDriver(lower, irp);
        });
    upperDriver.Attach(upper, lower);
    if (!NT_SUCCESS(emu::Open(u"\\Device\\VfLowerDevice", mode, &handle)))
      abort();
  }
  ~Stack() {
    upperDriver.SetHandler(upper, iotest::PassDown(&lower));
    emu::Close(handle);
    // A request completed from a DPC wakes its waiter while the completion
    // routines may still be returning on the DPC thread: the test's drivers
    // unload only once that is over, as a real driver must wait.
    emu::Kernel::Quiesce();
  }
  emu::IoResult WriteSome() {
    char data[4] = {1, 2, 3, 4};
    return emu::Write(handle, data, sizeof data);
  }
};

NTSTATUS NTAPI KeepGoing(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Halt(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

iotest::Handler WatchWith(PDEVICE_OBJECT* lower, PIO_COMPLETION_ROUTINE routine,
                          PVOID context = nullptr) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    return IoCallDriver(*lower, irp);
  };
}

// ---------------------------------------------------------------------------
// Lifetimes: nothing of a driver may run after it went.

TEST_F(Verifier, FilterDeletedWhileItsRequestIsPendingBelow) {
  EXPECT_DEATH(
      {
        std::atomic<PIRP> held{nullptr};
        Stack stack(
            [&](PDEVICE_OBJECT, PIRP irp) {
              IoMarkIrpPending(irp);
              held = irp;
              return STATUS_PENDING;
            },
            nullptr);
        stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, KeepGoing));
        std::thread writer([&] { stack.WriteSome(); });
        while (held == nullptr) std::this_thread::yield();
        stack.upperDriver.DeleteDevice(stack.upper);
      },
      "BUG CHECK 0x000000CE: DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS: "
      "IoDeleteDevice: device .* of driver \\\\Driver\\\\VfUpper is deleted while IRP .* still "
      "has its completion routine");
}

TEST_F(Verifier, UnloadWithActivityLeftBehindNamesTheDriver) {
  // A system thread that never ends.
  EXPECT_DEATH(
      {
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        auto* driver = new TestDriver("VfThread");
        RunAs(driver->object(), [] {
          HANDLE thread;
          PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, WaitForever, nullptr);
          ZwClose(thread);
        });
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfThread unloaded while its system thread .* is running");
  // A timer still set.
  EXPECT_DEATH(
      {
        emu::Timers::SetManual(true);
        static KTIMER timer;
        static KDPC dpc;
        auto* driver = new TestDriver("VfTimer");
        RunAs(driver->object(), [] {
          KeInitializeTimer(&timer);
          KeInitializeDpc(&dpc, NoDpc, nullptr);
          LARGE_INTEGER due;
          due.QuadPart = -10000000;
          KeSetTimer(&timer, due, &dpc);
        });
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfTimer unloaded with its timer .* still set");
  // A DPC still queued (behind a DPC of the kernel's that holds the DPC
  // thread).
  EXPECT_DEATH(
      {
        static KDPC blocker;
        static KDPC dpc;
        KeInitializeDpc(&blocker, HoldDpcThread, nullptr);
        KeInsertQueueDpc(&blocker, nullptr, nullptr);
        auto* driver = new TestDriver("VfDpc");
        RunAs(driver->object(), [] {
          KeInitializeDpc(&dpc, NoDpc, nullptr);
          KeInsertQueueDpc(&dpc, nullptr, nullptr);
        });
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfDpc unloaded with its DPC .* still queued");
  // A work item still queued.
  EXPECT_DEATH(
      {
        emu::Kernel::HoldWorkQueues(true);
        static WORK_QUEUE_ITEM item;
        auto* driver = new TestDriver("VfWork");
        RunAs(driver->object(), [] {
          ExInitializeWorkItem(&item, NoWork, nullptr);
          ExQueueWorkItem(&item, DelayedWorkQueue);
        });
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfWork unloaded with its work item .* still queued");
  // An I/O work item never freed.
  EXPECT_DEATH(
      {
        auto* driver = new TestDriver("VfIoLeak");
        PDEVICE_OBJECT device = driver->CreateDevice(u"", 0, iotest::CompleteWith(STATUS_SUCCESS));
        RunAs(driver->object(), [device] { IoAllocateWorkItem(device); });
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfIoLeak unloaded without freeing its I/O work item");
  // An IRP it allocated and never freed.
  EXPECT_DEATH(
      {
        auto* driver = new TestDriver("VfIrp");
        RunAs(driver->object(), [] { IoAllocateIrp(2, FALSE); });
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfIrp unloaded without freeing IRP");
}

// The legal way out: the unload stops its thread and waits for the thread
// object, and cancels its timer.
KEVENT stopThread;
KEVENT workDone;
VOID NTAPI RunUntilStopped(PVOID) {
  KeWaitForSingleObject(&stopThread, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
VOID NTAPI SignalWork(PVOID) {
  KeSetEvent(&workDone, IO_NO_INCREMENT, FALSE);
}

TEST_F(Verifier, UnloadThatStopsEverythingFirstPasses) {
  emu::Timers::SetManual(true);
  static KTIMER timer;
  static KDPC dpc;
  static PVOID thread;
  KeInitializeEvent(&stopThread, NotificationEvent, FALSE);
  auto* driver = new TestDriver("VfClean");
  RunAs(driver->object(), [] {
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, RunUntilStopped,
                                   nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, NoDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000000;
    KeSetTimer(&timer, due, &dpc);
  });
  RunAs(driver->object(), [] {
    KeSetEvent(&stopThread, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    KeCancelTimer(&timer);
  });
  delete driver;  // unloads: nothing of it is left to run
  SUCCEED();
}

// A work item routine that has signalled the unload on its way out but not
// yet returned: the unload that waited for the signal unmaps the code the
// routine still runs. Queued with ExQueueWorkItem nothing keeps the driver;
// an I/O work item holds its device object until the routine has returned,
// and the unload waits for it. (HoldWorkItemReturns keeps each routine in
// that window until the unload has looked.)
PIO_WORKITEM ioItem;
VOID NTAPI SignalAndFreeIoWork(PDEVICE_OBJECT, PVOID) {
  IoFreeWorkItem(ioItem);
  KeSetEvent(&workDone, IO_NO_INCREMENT, FALSE);
}

void QueueAndWaitForSignal(TestDriver* driver, bool io) {
  KeInitializeEvent(&workDone, NotificationEvent, FALSE);
  static WORK_QUEUE_ITEM item;
  if (io) {
    PDEVICE_OBJECT device = driver->CreateDevice(u"", 0, iotest::CompleteWith(STATUS_SUCCESS));
    RunAs(driver->object(), [device] {
      ioItem = IoAllocateWorkItem(device);
      ASSERT_NE(ioItem, nullptr);
      IoQueueWorkItem(ioItem, SignalAndFreeIoWork, DelayedWorkQueue, nullptr);
    });
  } else {
    RunAs(driver->object(), [] {
      ExInitializeWorkItem(&item, SignalWork, nullptr);
      ExQueueWorkItem(&item, DelayedWorkQueue);
    });
  }
  KeWaitForSingleObject(&workDone, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(Verifier, UnloadUnderAWorkItemRoutineNotReturned) {
  EXPECT_DEATH(
      {
        emu::Kernel::HoldWorkItemReturns(true);
        auto* driver = new TestDriver("VfReturn");
        QueueAndWaitForSignal(driver, false);
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfReturn unloaded while its work item .* queued with "
      "ExQueueWorkItem.* still running");
  emu::Kernel::HoldWorkItemReturns(true);
  auto* driver = new TestDriver("VfIoWork");
  QueueAndWaitForSignal(driver, true);
  delete driver;  // waits until the routine has returned
  // Windows 98/Me have no I/O work items: the routine is given its grace.
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  driver = new TestDriver("VfOldWork");
  QueueAndWaitForSignal(driver, false);
  delete driver;
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  emu::Kernel::HoldWorkItemReturns(false);
}

// The same window for a DPC: closed by KeFlushQueuedDpcs (Windows XP on).
KDPC signalDpc;
VOID NTAPI SignalFromDpc(PKDPC, PVOID, PVOID, PVOID) {
  KeSetEvent(&workDone, IO_NO_INCREMENT, FALSE);
}
void QueueDpcAndWaitForSignal(TestDriver* driver, bool flush) {
  KeInitializeEvent(&workDone, NotificationEvent, FALSE);
  RunAs(driver->object(), [] {
    KeInitializeDpc(&signalDpc, SignalFromDpc, nullptr);
    KeInsertQueueDpc(&signalDpc, nullptr, nullptr);
  });
  KeWaitForSingleObject(&workDone, Executive, KernelMode, FALSE, nullptr);
  if (flush)
    RunAs(driver->object(), [] { KeFlushQueuedDpcs(); });
}

TEST_F(Verifier, UnloadUnderADpcNotReturned) {
  EXPECT_DEATH(
      {
        emu::Kernel::HoldDpcReturns(true);
        auto* driver = new TestDriver("VfDpcRet");
        QueueDpcAndWaitForSignal(driver, false);
        delete driver;
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfDpcRet unloaded while its DPC .* still running");
  emu::Kernel::HoldDpcReturns(true);
  auto* driver = new TestDriver("VfFlushed");
  QueueDpcAndWaitForSignal(driver, true);
  delete driver;
  // Windows 2000 has no KeFlushQueuedDpcs: the DPC is given its grace.
  emu::SetSystemVersion(emu::SystemVersion::Windows2000);
  driver = new TestDriver("VfOldDpc");
  QueueDpcAndWaitForSignal(driver, false);
  delete driver;
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  emu::Kernel::HoldDpcReturns(false);
}

// The same window for a completion routine: closed by
// IoSetCompletionRoutineEx (Windows XP on), whose reference on the driver's
// device object holds the unload until the routine has returned.
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  KeSetEvent(&workDone, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

// A filter driver `name` watches a write with SignalCompletion; the test
// unloads it as soon as the routine has signalled.
void UnloadBehindACompletion(const char* name, bool unloadSafe) {
  TestDriver lowerDriver("VfCrLower");
  PDEVICE_OBJECT lower = lowerDriver.CreateDevice(u"VfCrLowerDevice", DO_BUFFERED_IO,
                                                  iotest::CompleteWith(STATUS_SUCCESS));
  auto* filter = new TestDriver(name);
  PDEVICE_OBJECT upper = filter->CreateDevice(u"", DO_BUFFERED_IO, [&lower, unloadSafe](
                                                                       PDEVICE_OBJECT device,
                                                                       PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_WRITE) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (!unloadSafe) {
      IoSetCompletionRoutine(irp, SignalCompletion, nullptr, TRUE, TRUE, TRUE);
    } else if (!NT_SUCCESS(IoSetCompletionRoutineEx(device, irp, SignalCompletion, nullptr, TRUE,
                                                    TRUE, TRUE))) {
      abort();
    }
    return IoCallDriver(lower, irp);
  });
  filter->Attach(upper, lower);
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(emu::Open(u"\\Device\\VfCrLowerDevice", UserMode, &handle)))
    abort();
  KeInitializeEvent(&workDone, NotificationEvent, FALSE);
  emu::Kernel::HoldCompletionReturns(true);
  std::thread writer([handle] {
    char data[4] = {1, 2, 3, 4};
    emu::Write(handle, data, sizeof data);
  });
  KeWaitForSingleObject(&workDone, Executive, KernelMode, FALSE, nullptr);
  filter->Detach(upper);
  delete filter;
  writer.join();
  emu::Kernel::HoldCompletionReturns(false);
  emu::Close(handle);
}

TEST_F(Verifier, UnloadUnderACompletionRoutineNotReturned) {
  EXPECT_DEATH(UnloadBehindACompletion("VfCrPlain", false),
               "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\VfCrPlain unloaded while its "
               "completion routine .* set with IoSetCompletionRoutine\\) is still running");
  UnloadBehindACompletion("VfCrSafe", true);  // waits until the routine has returned
  // Windows 2000 has no IoSetCompletionRoutineEx: the routine is given its
  // grace.
  emu::SetSystemVersion(emu::SystemVersion::Windows2000);
  UnloadBehindACompletion("VfCrOld", false);
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
}

// The unload-safe routine protects only the driver that owns the device
// object it was given, and needs a small allocation that can fail.
TEST_F(Verifier, UnloadSafeCompletionNeedsTheCallersDeviceAndCanFail) {
  TestDriver other("VfCrOther");
  PDEVICE_OBJECT foreign = other.CreateDevice(u"", 0, iotest::CompleteWith(STATUS_SUCCESS));
  TestDriver driver("VfCrOwn");
  PDEVICE_OBJECT own = driver.CreateDevice(u"", 0, iotest::CompleteWith(STATUS_SUCCESS));
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_DEATH(RunAs(driver.object(),
                     [&] {
                       IoSetCompletionRoutineEx(foreign, irp, Halt, nullptr, TRUE, TRUE, TRUE);
                     }),
               "BUG CHECK 0x000000C9.*IoSetCompletionRoutineEx: driver \\\\Driver\\\\VfCrOwn "
               "gave device .* of driver \\\\Driver\\\\VfCrOther");
  emu::PoolFault fault;
  fault.tag = emu::MakePoolTag("IoUs");
  emu::Pool::InjectFault(fault);
  RunAs(driver.object(), [&] {
    EXPECT_EQ(IoSetCompletionRoutineEx(own, irp, Halt, nullptr, TRUE, TRUE, TRUE),
              STATUS_INSUFFICIENT_RESOURCES);
  });
  emu::Pool::ClearFaults();
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
  IoFreeIrp(irp);
}

TEST_F(Verifier, TimerInsideADeletedDeviceExtension) {
  EXPECT_DEATH(
      {
        emu::Timers::SetManual(true);
        TestDriver driver("VfExt");
        PDEVICE_OBJECT device = nullptr;
        RunAs(driver.object(), [&] {
          IoCreateDevice(driver.object(), sizeof(KTIMER) + sizeof(KDPC), nullptr,
                         FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
          auto* timer = static_cast<PKTIMER>(device->DeviceExtension);
          auto* dpc = reinterpret_cast<PKDPC>(timer + 1);
          KeInitializeTimer(timer);
          KeInitializeDpc(dpc, NoDpc, nullptr);
          LARGE_INTEGER due;
          due.QuadPart = -10000000;
          KeSetTimer(timer, due, dpc);
          IoDeleteDevice(device);
        });
      },
      "BUG CHECK 0x000000C7: TIMER_OR_DPC_INVALID: device object .* of driver \\\\Driver\\\\VfExt "
      ".* freed while it holds the pending timer .* set by driver \\\\Driver\\\\VfExt");
}

TEST_F(Verifier, StuckRequestsAreReportedWithTheirOwners) {
  // A completion routine that keeps the request and never finishes it: the
  // requester's wait ends in a report instead of a hang.
  EXPECT_DEATH(
      {
        emu::SetRequestWaitLimit(200);
        Stack stack([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                    nullptr);
        PDEVICE_OBJECT* lower = &stack.lower;
        stack.upperDriver.SetHandler(stack.upper, [lower](PDEVICE_OBJECT, PIRP irp) {
          IoMarkIrpPending(irp);
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoSetCompletionRoutine(irp, Halt, nullptr, TRUE, TRUE, TRUE);
          IoCallDriver(*lower, irp);
          return STATUS_PENDING;
        });
        stack.WriteSome();
      },
      "BUG CHECK 0x000000C9.*not completed after 200 ms; its stack: .*driver \\\\Driver\\\\VfUpper"
      ".*returned STATUS_MORE_PROCESSING_REQUIRED and driver \\\\Driver\\\\VfUpper never "
      "completed or freed it");
  // A request left pending when the machine shuts down.
  EXPECT_DEATH(
      {
        std::atomic<bool> pending{false};
        Stack stack(
            [&](PDEVICE_OBJECT, PIRP irp) {
              IoMarkIrpPending(irp);
              pending = true;
              return STATUS_PENDING;
            },
            iotest::PassDown(nullptr));
        stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, KeepGoing));
        std::thread writer([&] { stack.WriteSome(); });
        while (!pending) std::this_thread::yield();
        emu::Kernel::Shutdown();
      },
      "BUG CHECK 0x000000C9.*Kernel::Shutdown: IRP .* was never completed; its stack: .*device .* "
      "of driver \\\\Driver\\\\VfLower \\(current\\)");
}

// ---------------------------------------------------------------------------
// Requests are gone once completed and freed.

TEST_F(Verifier, CompletedRequestIsPoisonedAndQuarantined) {
  PIRP seen = nullptr;
  Stack stack(
      [&](PDEVICE_OBJECT, PIRP irp) {
        seen = irp;
        return Complete(irp, STATUS_SUCCESS);
      },
      iotest::PassDown(nullptr));
  stack.upperDriver.SetHandler(stack.upper, iotest::PassDown(&stack.lower));
  EXPECT_EQ(stack.WriteSome().status, STATUS_SUCCESS);
  EXPECT_EQ(emu::LiveIrpCount(), 0);
#if !defined(__SANITIZE_ADDRESS__)
  // Freed to a quarantine, filled: a stale reader sees garbage, not the
  // request it handed on.
  EXPECT_NE(seen->Type, IO_TYPE_IRP);
  EXPECT_EQ(static_cast<unsigned char>(seen->Type), 0xD1);
#endif
  EXPECT_DEATH(IoCompleteRequest(seen, IO_NO_INCREMENT),
               "BUG CHECK 0x00000044: MULTIPLE_IRP_COMPLETE_REQUESTS.*completed and freed already");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
      },
      "BUG CHECK 0x000000C9.*IoFreeIrp: .* freed already");
}

// A filter that writes to the request after IoCallDriver returned for it:
// the request completed below and was freed meanwhile. The plain build
// finds the write in the freed fill when the request leaves the quarantine
// (here: at shutdown); AddressSanitizer stops the write itself.
TEST_F(Verifier, WriteToARequestAfterItWasHandedOnIsFound) {
  EXPECT_DEATH(
      {
        Stack stack([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                    nullptr);
        PDEVICE_OBJECT lower = stack.lower;
        stack.upperDriver.SetHandler(stack.upper, [lower](PDEVICE_OBJECT, PIRP irp) {
          IoSkipCurrentIrpStackLocation(irp);
          NTSTATUS status = IoCallDriver(lower, irp);
          irp->IoStatus.Information = 7;
          return status;
        });
        stack.WriteSome();
        emu::Kernel::Shutdown();
      },
#if defined(__SANITIZE_ADDRESS__)
      "AddressSanitizer: use-after-poison"
#else
      "BUG CHECK 0x000000C5: DRIVER_CORRUPTED_EXPOOL: IRP .* was written after it was completed "
      "and freed \\(offset .*, in IoStatus: .*handed to \\\\Driver\\\\VfUpper, "
      "\\\\Driver\\\\VfLower\\); found at shutdown"
#endif
  );
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(Verifier, StrayAccessToACompletedRequestIsReportedWhereItHappens) {
  // A dispatch routine that reads its stack location after completing.
  EXPECT_DEATH(
      {
        Stack stack(
            [](PDEVICE_OBJECT, PIRP irp) {
              Complete(irp, STATUS_SUCCESS);
              return irp->IoStatus.Status;
            },
            iotest::PassDown(nullptr));
        stack.upperDriver.SetHandler(stack.upper, iotest::PassDown(&stack.lower));
        stack.WriteSome();
      },
      "AddressSanitizer: use-after-poison");
}
#endif

// ---------------------------------------------------------------------------
// Completion from a DPC at DISPATCH_LEVEL.

struct AtCompletion {
  KIRQL irql = 0xFF;
  int calls = 0;
};

NTSTATUS NTAPI NoteIrql(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* seen = static_cast<AtCompletion*>(context);
  seen->irql = KeGetCurrentIrql();
  seen->calls++;
  // Only what DISPATCH_LEVEL allows: non-paged pool, a spin lock.
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, emu::MakePoolTag("VfOk")),
                    emu::MakePoolTag("VfOk"));
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PagedAtCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  ExAllocatePoolWithTag(PagedPool, 16, emu::MakePoolTag("VfNo"));
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RaiseAtCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

KSPIN_LOCK heldByDpc;
VOID NTAPI TakeLockAndReturn(PKDPC, PVOID, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(&heldByDpc);
}

iotest::Handler PendAndCompleteFromDpc() {
  return [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    emu::CompleteFromDpc(irp);
    return STATUS_PENDING;
  };
}

struct OwnDpc {
  KDPC dpc;
  PIRP irp;
};
VOID NTAPI CompleteHere(PKDPC, PVOID context, PVOID, PVOID) {
  auto* own = static_cast<OwnDpc*>(context);
  own->irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(own->irp, IO_NO_INCREMENT);
}

TEST_F(Verifier, CompletionFromADpcRunsRoutinesAtDispatchLevel) {
  AtCompletion seen;
  Stack stack(PendAndCompleteFromDpc(), nullptr);
  stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, NoteIrql, &seen));
  emu::IoResult result = stack.WriteSome();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);

  // The driver's own DPC does the same.
  seen = AtCompletion();
  static OwnDpc own;
  stack.lowerDriver.SetHandler(stack.lower, [](PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major != IRP_MJ_WRITE)
      return Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    own.irp = irp;
    KeInitializeDpc(&own.dpc, CompleteHere, &own);
    KeInsertQueueDpc(&own.dpc, nullptr, nullptr);
    return STATUS_PENDING;
  });
  EXPECT_EQ(stack.WriteSome().status, STATUS_SUCCESS);
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_EQ(emu::LiveIrpCount(), 0);
}

TEST_F(Verifier, WrongIrqlAtCompletionOrReturnIsCaughtWhereItHappens) {
  EXPECT_DEATH(
      {
        Stack stack(PendAndCompleteFromDpc(), nullptr);
        stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, PagedAtCompletion));
        stack.WriteSome();
      },
      "BUG CHECK 0x0000000A: IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag called at IRQL 2");
  EXPECT_DEATH(
      {
        Stack stack([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                    nullptr);
        stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, RaiseAtCompletion));
        stack.WriteSome();
      },
      "BUG CHECK 0x0000000A.*completion routine .* of driver \\\\Driver\\\\VfUpper returned at "
      "IRQL 2; it was called at IRQL 0");
  EXPECT_DEATH(
      {
        Stack stack(
            [](PDEVICE_OBJECT, PIRP irp) {
              KIRQL old;
              KeRaiseIrql(APC_LEVEL, &old);
              return Complete(irp, STATUS_SUCCESS);
            },
            iotest::PassDown(nullptr));
        stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, KeepGoing));
        stack.WriteSome();
      },
      "BUG CHECK 0x0000000A.*dispatch routine .* of driver \\\\Driver\\\\VfLower \\(major function "
      "0x4, device .*\\) returned at IRQL 1; it was called at IRQL 0");

  // A DPC that returns holding the spin lock it took: at DISPATCH_LEVEL the
  // IRQL says nothing, and the next acquirer would spin for ever.
  EXPECT_DEATH(
      {
        auto* driver = new TestDriver("VfLock");
        RunAs(driver->object(), [] {
          static KDPC dpc;
          KeInitializeSpinLock(&heldByDpc);
          KeInitializeDpc(&dpc, TakeLockAndReturn, nullptr);
          KeInsertQueueDpc(&dpc, nullptr, nullptr);
        });
        emu::Kernel::Quiesce();
      },
      "BUG CHECK 0x000000C4.*a routine of driver \\\\Driver\\\\VfLock returned holding 1 spin "
      "lock\\(s\\) it acquired");
}

// Paged pool is paged out at every raise to DISPATCH_LEVEL (forced IRQL
// checking): a touch there is stopped even while the page would happen to
// be resident on a real machine; below DISPATCH_LEVEL the page comes back.
PUCHAR pagedBlock;
VOID NTAPI TouchPagedInDpc(PKDPC, PVOID, PVOID, PVOID) {
  pagedBlock[1] = 2;
}

TEST_F(Verifier, PagedPoolTouchedAtDispatchLevelIsStopped) {
#if defined(__SANITIZE_ADDRESS__)
  // The page-in resumes a faulting access; AddressSanitizer's own fault
  // handling and stack checks do not survive that.
  GTEST_SKIP() << "forced IRQL checking is not available under AddressSanitizer";
#endif
  emu::Pool::SetForcedIrqlChecking(true);
  const ULONG tag = emu::MakePoolTag("VfPg");
  auto* driver = new TestDriver("VfPaged");
  RunAs(driver->object(), [tag] {
    pagedBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 64, tag));
    pagedBlock[0] = 1;
    KIRQL old;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    // Back at PASSIVE_LEVEL the page faults in again.
    EXPECT_EQ(pagedBlock[0], 1);
  });
  EXPECT_DEATH(RunAs(driver->object(),
                     [] {
                       KIRQL old;
                       KeRaiseIrql(DISPATCH_LEVEL, &old);
                       pagedBlock[0] = 3;
                       KeLowerIrql(old);
                     }),
               "BUG CHECK 0x0000000A: IRQL_NOT_LESS_OR_EQUAL: paged pool touched at IRQL 2 by "
               "driver \\\\Driver\\\\VfPaged");
  EXPECT_DEATH(RunAs(driver->object(),
                     [] {
                       static KDPC dpc;
                       KeInitializeDpc(&dpc, TouchPagedInDpc, nullptr);
                       KeInsertQueueDpc(&dpc, nullptr, nullptr);
                       emu::Kernel::Quiesce();
                     }),
               "BUG CHECK 0x0000000A: IRQL_NOT_LESS_OR_EQUAL: paged pool touched at IRQL 2 by "
               "driver \\\\Driver\\\\VfPaged");
  RunAs(driver->object(), [tag] { ExFreePoolWithTag(pagedBlock, tag); });
  delete driver;
  emu::Pool::SetForcedIrqlChecking(false);
}

// ---------------------------------------------------------------------------
// Stack locations have owners.

TEST_F(Verifier, SkippedLocationKeepsTheRoutineOfTheDriverAbove) {
  EXPECT_DEATH(
      {
        TestDriver middleDriver("VfMiddle");
        Stack stack([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                    nullptr);
        // A middle device between the filter and the lower one, which skips
        // its location and then sets a routine of its own over the filter's.
        stack.upperDriver.Detach(stack.upper);
        PDEVICE_OBJECT middle = middleDriver.CreateDevice(u"", 0, nullptr);
        PDEVICE_OBJECT below = stack.lower;
        middleDriver.SetHandler(middle, [below](PDEVICE_OBJECT, PIRP irp) {
          IoSkipCurrentIrpStackLocation(irp);
          IoSetCompletionRoutine(irp, KeepGoing, nullptr, TRUE, TRUE, TRUE);
          return IoCallDriver(below, irp);
        });
        middleDriver.Attach(middle, stack.lower);
        stack.upperDriver.Attach(stack.upper, stack.lower);
        PDEVICE_OBJECT* next = new PDEVICE_OBJECT(middle);
        stack.upperDriver.SetHandler(stack.upper, WatchWith(next, NoteIrql, new AtCompletion));
        stack.WriteSome();
      },
      "BUG CHECK 0x000000C9.*driver \\\\Driver\\\\VfMiddle .* skipped its stack location of IRP "
      ".* and then changed its completion routine .*: routine .* of driver \\\\Driver\\\\VfUpper "
      "was replaced");
}

TEST_F(Verifier, SecondCompletionAfterMoreProcessingIsBlamedOnTheLowerDriver) {
  EXPECT_DEATH(
      {
        Stack stack(
            [](PDEVICE_OBJECT, PIRP irp) {
              Complete(irp, STATUS_SUCCESS);
              IoCompleteRequest(irp, IO_NO_INCREMENT);  // the fault
              return STATUS_SUCCESS;
            },
            nullptr);
        stack.upperDriver.SetHandler(stack.upper, WatchWith(&stack.lower, Halt));
        stack.WriteSome();
      },
      "BUG CHECK 0x00000044.*driver \\\\Driver\\\\VfLower completed IRP .* again.*driver "
      "\\\\Driver\\\\VfUpper's completion routine returned STATUS_MORE_PROCESSING_REQUIRED");
}

// The legal use of STATUS_MORE_PROCESSING_REQUIRED: the filter waits for
// the lower driver and completes the request itself.
struct Rendezvous {
  KEVENT done;
};
NTSTATUS NTAPI SignalBack(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(&static_cast<Rendezvous*>(context)->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A filter that completes a request the driver below still holds pending:
// the filter is named at once, not the lower driver when it completes the
// request later.
TEST_F(Verifier, CompletingARequestThatALowerDriverHoldsPendingIsBlamedOnTheCompleter) {
  EXPECT_DEATH(
      {
        Stack stack(
            [](PDEVICE_OBJECT, PIRP irp) {
              IoMarkIrpPending(irp);
              return STATUS_PENDING;  // kept, to be completed later
            },
            nullptr);
        PDEVICE_OBJECT lower = stack.lower;
        stack.upperDriver.SetHandler(stack.upper, [lower](PDEVICE_OBJECT, PIRP irp) {
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoCallDriver(lower, irp);
          return Complete(irp, STATUS_SUCCESS);
        });
        stack.WriteSome();
      },
      "BUG CHECK 0x00000044: MULTIPLE_IRP_COMPLETE_REQUESTS: IofCompleteRequest: driver "
      "\\\\Driver\\\\VfUpper completed IRP .*, which driver \\\\Driver\\\\VfLower \\(device .*\\) "
      "below it still holds marked pending and has not completed");
}

TEST_F(Verifier, FilterThatTakesTheRequestBackAndCompletesItPasses) {
  Stack stack(PendAndCompleteFromDpc(), nullptr);
  stack.upperDriver.SetHandler(stack.upper, [&stack](PDEVICE_OBJECT, PIRP irp) {
    Rendezvous r;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalBack, &r, TRUE, TRUE, TRUE);
    if (IoCallDriver(stack.lower, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  EXPECT_EQ(stack.WriteSome().status, STATUS_SUCCESS);
  EXPECT_EQ(emu::LiveIrpCount(), 0);
}

TEST_F(Verifier, PowerRequestPassedOnWithoutStartNextPowerIrp) {
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  EXPECT_DEATH(
      {
        Stack stack([](PDEVICE_OBJECT, PIRP irp) {
          PoStartNextPowerIrp(irp);
          return Complete(irp, STATUS_SUCCESS);
        },
                    nullptr);
        PDEVICE_OBJECT* lower = &stack.lower;
        stack.upperDriver.SetHandler(stack.upper, [lower](PDEVICE_OBJECT, PIRP irp) {
          IoSkipCurrentIrpStackLocation(irp);  // passed on, PoStartNextPowerIrp forgotten
          return PoCallDriver(*lower, irp);
        });
        emu::SendPower(stack.lower, IRP_MN_SET_POWER, DevicePowerState, state);
      },
      "BUG CHECK 0x000000C9.*power IRP .* completed, but driver \\\\Driver\\\\VfUpper .*, which it "
      "passed, did not call PoStartNextPowerIrp");
}

// ---------------------------------------------------------------------------
// The system buffer is pool.

TEST_F(Verifier, SystemBufferIsPoolWithTheIoManagersTag) {
  size_t during = 0;
  Stack stack(
      [&](PDEVICE_OBJECT, PIRP irp) {
        during = emu::Pool::Report(emu::MakePoolTag("IoSB")).blocks;
        return Complete(irp, STATUS_SUCCESS);
      },
      iotest::PassDown(nullptr));
  stack.upperDriver.SetHandler(stack.upper, iotest::PassDown(&stack.lower));
  size_t before = emu::Pool::Report(emu::MakePoolTag("IoSB")).blocks;
  EXPECT_EQ(stack.WriteSome().status, STATUS_SUCCESS);
  EXPECT_EQ(during, before + 1);
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("IoSB")).blocks, before);
  EXPECT_DEATH(
      {
        stack.lowerDriver.SetHandler(stack.lower, [](PDEVICE_OBJECT, PIRP irp) {
          static_cast<char*>(irp->AssociatedIrp.SystemBuffer)[4] = 0;  // one past the write
          return Complete(irp, STATUS_SUCCESS);
        });
        stack.WriteSome();
      },
      "BUG CHECK 0x00000019: BAD_POOL_HEADER|AddressSanitizer");
}

}  // namespace

// ---------------------------------------------------------------------------
// A user-mode request's buffers are user memory.

namespace user {

constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

struct Seen {
  void* type3 = nullptr;
  void* userBuffer = nullptr;
  char systemByte = 0;
};

}  // namespace user

TEST_F(Verifier, UserModeBuffersAreUserMemory) {
  user::Seen seen;
  Stack stack(
      [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.type3 = sp->Parameters.DeviceIoControl.Type3InputBuffer;
        seen.userBuffer = irp->UserBuffer;
        ULONG_PTR information = 0;
        switch (sp->Parameters.DeviceIoControl.IoControlCode) {
          case user::kBuffered:
            seen.systemByte = static_cast<char*>(irp->AssociatedIrp.SystemBuffer)[0];
            static_cast<char*>(irp->AssociatedIrp.SystemBuffer)[0] = 'b';
            information = 1;
            break;
          case user::kOutDirect:
            // The MDL's system mapping is the legal way to the caller's pages.
            static_cast<char*>(MmMapLockedPages(irp->MdlAddress, KernelMode))[0] = 'd';
            information = 1;
            break;
          default:
            break;
        }
        return Complete(irp, STATUS_SUCCESS, information);
      },
      nullptr);
  stack.upperDriver.SetHandler(stack.upper, iotest::PassDown(&stack.lower));

  char in[4] = {'i', 'n', 'p', 't'};
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(emu::DeviceIoControl(stack.handle, user::kNeither, in, 4, out, 4).status,
            STATUS_SUCCESS);
  EXPECT_TRUE(emu::IsUserAddress(seen.type3, 4));
  EXPECT_TRUE(emu::IsUserAddress(seen.userBuffer, 4));
  EXPECT_EQ(emu::DeviceIoControl(stack.handle, user::kBuffered, in, 4, out, 4).status,
            STATUS_SUCCESS);
  EXPECT_EQ(seen.systemByte, 'i');
  EXPECT_EQ(std::string(out, 4), "bxxx");
  EXPECT_EQ(emu::DeviceIoControl(stack.handle, user::kOutDirect, in, 4, out, 4).status,
            STATUS_SUCCESS);
  EXPECT_EQ(std::string(out, 4), "dxxx");

  // A parameter block already in user memory, holding a user pointer: the
  // provider reaches the message through the requester's view.
  const char message[] = "MSG";
  void* userMessage = emu::UserCopy(message, sizeof message);
  void* block = emu::UserCopy(&userMessage, sizeof userMessage);
  EXPECT_EQ(emu::DeviceIoControlUser(stack.handle, user::kNeither, block, 4, nullptr, 0).status,
            STATUS_SUCCESS);
  EXPECT_EQ(seen.type3, block);
  void* pointer = *static_cast<void**>(emu::UserAccess(seen.type3, 4));
  EXPECT_STREQ(static_cast<const char*>(emu::UserAccess(pointer, 4)), "MSG");
  emu::UserFree(block);
  emu::UserFree(userMessage);

  // Kernel-mode callers' buffers stay ordinary memory.
  HANDLE kernel;
  ASSERT_EQ(emu::Open(u"\\Device\\VfLowerDevice", KernelMode, &kernel), STATUS_SUCCESS);
  EXPECT_EQ(emu::DeviceIoControl(kernel, user::kNeither, in, 4, out, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(seen.type3, static_cast<void*>(in));
  EXPECT_EQ(emu::Close(kernel), STATUS_SUCCESS);

  // A driver that dereferences the caller's pointer faults.
  EXPECT_DEATH(
      {
        stack.lowerDriver.SetHandler(stack.lower, [](PDEVICE_OBJECT, PIRP irp) {
          volatile char c = *static_cast<char*>(
              IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
          (void)c;
          return Complete(irp, STATUS_SUCCESS);
        });
        emu::DeviceIoControl(stack.handle, user::kNeither, in, 4, out, 4);
      },
      "PAGE_FAULT_IN_NONPAGED_AREA");
}

// Request passing and completion in the emulated I/O manager: which
// completion routines run, how the pending mark travels up, what skip and
// copy leave the lower driver, and completion from another thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "IoTestDriver.h"
#include "emu/Kernel.h"

namespace {

using iotest::Complete;
using iotest::TestDriver;

class IoCompletion : public ::testing::Test {
 protected:
  TestDriver lowerDriver{"IoLower"};
  TestDriver upperDriver{"IoUpper"};
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
  HANDLE handle = nullptr;

  // A two-device stack; `lowerHandler` answers everything but the open and
  // the close of the file, which simply succeed.
  void Build(iotest::Handler lowerHandler, iotest::Handler upperHandler) {
    lower = lowerDriver.CreateDevice(
        u"IoLowerDevice", DO_BUFFERED_IO, [lowerHandler](PDEVICE_OBJECT d, PIRP irp) {
          UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
          if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) {
            return Complete(irp, STATUS_SUCCESS);
          }
          return lowerHandler(d, irp);
        });
    upper = upperDriver.CreateDevice(
        u"", DO_BUFFERED_IO, [this, upperHandler](PDEVICE_OBJECT d, PIRP irp) {
          UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
          if (major == IRP_MJ_WRITE)
            return upperHandler(d, irp);
          IoSkipCurrentIrpStackLocation(irp);
          return IoCallDriver(lower, irp);
        });
    ASSERT_EQ(upperDriver.Attach(upper, lower), lower);
    ASSERT_EQ(emu::Open(u"\\Device\\IoLowerDevice", UserMode, &handle), STATUS_SUCCESS);
  }

  void TearDown() override {
    // The test's handlers may point into the test body, which is gone: the
    // cleanup and close pass straight down.
    if (upper != nullptr)
      upperDriver.SetHandler(upper, iotest::PassDown(&lower));
    if (handle != nullptr)
      EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }

  emu::IoResult WriteSome() {
    char data[4] = {1, 2, 3, 4};
    return emu::Write(handle, data, sizeof data);
  }
};

struct Seen {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = 0;
  BOOLEAN pendingReturned = FALSE;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* seen = static_cast<Seen*>(context);
  seen->calls++;
  seen->device = device;
  seen->status = irp->IoStatus.Status;
  seen->pendingReturned = irp->PendingReturned;
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

// The upper device copies its location down with a completion routine
// whose invoke bits are given.
iotest::Handler WatchWith(PDEVICE_OBJECT* lower, Seen* seen, bool onSuccess, bool onError,
                          bool onCancel) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, seen, onSuccess, onError, onCancel);
    return IoCallDriver(*lower, irp);
  };
}

TEST_F(IoCompletion, RoutineRunsOnlyForTheStatusItAsksFor) {
  struct Case {
    bool onSuccess, onError, onCancel;
    NTSTATUS status;
    int calls;
  } cases[] = {
      {true, false, false, STATUS_SUCCESS, 1},
      {true, false, false, STATUS_UNSUCCESSFUL, 0},
      {false, true, false, STATUS_UNSUCCESSFUL, 1},
      {false, true, false, STATUS_SUCCESS, 0},
      {false, false, true, STATUS_SUCCESS, 0},
      // Warnings (0x8...) are not successes.
      {false, true, false, STATUS_DEVICE_BUSY, 1},
      {true, false, false, STATUS_DEVICE_BUSY, 0},
      {true, true, true, STATUS_SUCCESS, 1},
  };
  Seen seen;
  NTSTATUS lowerStatus = STATUS_SUCCESS;
  Build([&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, lowerStatus); },
        [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
  for (const Case& c : cases) {
    seen = Seen();
    lowerStatus = c.status;
    upperDriver.SetHandler(upper, WatchWith(&lower, &seen, c.onSuccess, c.onError, c.onCancel));
    EXPECT_EQ(WriteSome().status, c.status);
    EXPECT_EQ(seen.calls, c.calls) << std::hex << c.status;
    if (seen.calls) {
      EXPECT_EQ(seen.device, upper);  // the device of the driver that set the routine
      EXPECT_EQ(seen.status, c.status);
    }
  }
}

TEST_F(IoCompletion, CancelBitRunsTheRoutineOfACancelledRequest) {
  Seen seen;
  Build(
      [](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = TRUE;
        return Complete(irp, STATUS_CANCELLED);
      },
      WatchWith(&lower, &seen, false, false, true));
  EXPECT_EQ(WriteSome().status, STATUS_CANCELLED);
  EXPECT_EQ(seen.calls, 1);
}

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID context) {
  *static_cast<bool*>(context) = true;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoCompletion, MoreProcessingRequiredStopsCompletionUntilCompletedAgain) {
  bool kept = false;
  bool upperSawBoth = false;
  Build([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 4); },
        [&](PDEVICE_OBJECT, PIRP irp) {
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoSetCompletionRoutine(irp, Keep, &kept, TRUE, TRUE, TRUE);
          NTSTATUS status = IoCallDriver(lower, irp);
          // Completion stopped at the routine: the request is ours again,
          // the lower driver's result in it.
          upperSawBoth = kept && status == STATUS_SUCCESS && irp->IoStatus.Information == 4;
          return Complete(irp, STATUS_DEVICE_BUSY);
        });
  EXPECT_EQ(WriteSome().status, STATUS_DEVICE_BUSY);
  EXPECT_TRUE(upperSawBoth);
}

TEST_F(IoCompletion, SkipHandsDownTheSameLocationCopyAFreshOne) {
  PIO_STACK_LOCATION upperLocation = nullptr;
  PIO_STACK_LOCATION lowerLocation = nullptr;
  IO_STACK_LOCATION lowerCopy;
  bool skip = true;
  Build(
      [&](PDEVICE_OBJECT, PIRP irp) {
        lowerLocation = IoGetCurrentIrpStackLocation(irp);
        lowerCopy = *lowerLocation;
        return Complete(irp, STATUS_SUCCESS);
      },
      [&](PDEVICE_OBJECT, PIRP irp) {
        upperLocation = IoGetCurrentIrpStackLocation(irp);
        if (skip) {
          IoSkipCurrentIrpStackLocation(irp);
        } else {
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoGetNextIrpStackLocation(irp)->CompletionRoutine = nullptr;
        }
        return IoCallDriver(lower, irp);
      });
  WriteSome();
  EXPECT_EQ(lowerLocation, upperLocation);
  EXPECT_EQ(lowerCopy.DeviceObject, lower);
  EXPECT_EQ(lowerCopy.Parameters.Write.Length, 4u);

  skip = false;
  WriteSome();
  EXPECT_EQ(lowerLocation, upperLocation - 1);
  EXPECT_EQ(lowerCopy.MajorFunction, IRP_MJ_WRITE);
  EXPECT_EQ(lowerCopy.Parameters.Write.Length, 4u);
  EXPECT_EQ(lowerCopy.FileObject, emu::FileObjectOf(handle));
  EXPECT_EQ(lowerCopy.DeviceObject, lower);
  EXPECT_EQ(lowerCopy.Control, 0);
}

// The lower driver keeps writes pending and completes them later from a
// thread of its own, as an interrupt-driven driver would.
class PendingLower {
 public:
  iotest::Handler Handler() {
    return [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      threads_.emplace_back([irp] {
        std::this_thread::yield();
        Complete(irp, STATUS_SUCCESS, 3);
      });
      return STATUS_PENDING;
    };
  }
  ~PendingLower() {
    for (auto& thread : threads_) thread.join();
  }

 private:
  std::vector<std::thread> threads_;
};

TEST_F(IoCompletion, PendingTravelsUpThroughSkippingAndWatchingDrivers) {
  PendingLower pending;
  Seen seen;
  Build(pending.Handler(), WatchWith(&lower, &seen, true, true, true));
  emu::IoResult result = WriteSome();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 3u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.pendingReturned);

  // Without a routine the I/O manager itself moves the mark up.
  upperDriver.SetHandler(upper, iotest::PassDown(&lower));
  result = WriteSome();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
}

class IoCompletionDeath : public IoCompletion {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

NTSTATUS NTAPI ForgetPending(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SignalOwnIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The pending contract holds at every IofCallDriver of every request, not
// only where the I/O manager's own request returns at the top: here the
// upper driver sends an IRP of its own (as a filter's query of its target
// does) to a lower driver that breaks the contract, and the lower driver is
// named.
TEST_F(IoCompletionDeath, PendingContractIsCheckedForRequestsDriversAllocate) {
  std::vector<std::thread> completers;
  bool markIt = false;
  Build(
      [&](PDEVICE_OBJECT, PIRP irp) {
        if (markIt) {
          IoMarkIrpPending(irp);
          return Complete(irp, STATUS_SUCCESS);
        }
        completers.emplace_back([irp] { Complete(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
      },
      [&](PDEVICE_OBJECT, PIRP irp) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP own = IoAllocateIrp(lower->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(own, SignalOwnIrp, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, own) == STATUS_PENDING)
          KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(own);
        return Complete(irp, STATUS_SUCCESS);
      });
  EXPECT_DEATH(WriteSome(),
               "BUG CHECK 0x000000C9.*driver \\\\Driver\\\\IoLower .*returned "
               "STATUS_PENDING without marking IRP .* pending");
  markIt = true;
  EXPECT_DEATH(WriteSome(),
               "BUG CHECK 0x000000C9.*driver \\\\Driver\\\\IoLower .*was marked pending "
               "but its dispatch returned 0x00000000");
  for (auto& thread : completers) thread.join();
}

TEST_F(IoCompletionDeath, DriverContractsAreEnforced) {
  PendingLower pending;
  Build(pending.Handler(), [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForgetPending, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
  });
  // The routine does not propagate the pending mark, yet the dispatch
  // returns the lower driver's STATUS_PENDING.
  EXPECT_DEATH(WriteSome(), "BUG CHECK 0x000000C9.*STATUS_PENDING without marking");

  upperDriver.SetHandler(upper, [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS);
  });
  // The first completion freed the request: the second one writes its
  // status into freed memory (caught there under AddressSanitizer).
  EXPECT_DEATH(WriteSome(),
               "BUG CHECK 0x00000044: .*completed and freed already|AddressSanitizer: "
               "use-after-poison");

  upperDriver.SetHandler(upper, [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  });
  EXPECT_DEATH(WriteSome(), "BUG CHECK 0x000000C9.*completed with STATUS_PENDING");

  upperDriver.SetHandler(upper, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
  EXPECT_DEATH(WriteSome(), "BUG CHECK 0x000000C9.*without completing");

  upperDriver.SetHandler(upper, [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  });
  EXPECT_DEATH(WriteSome(), "BUG CHECK 0x000000C9.*returned 0x00000000 but completed");

  // Passing the request to itself uses up the IRP's two locations.
  upperDriver.SetHandler(upper, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(device, irp);
  });
  EXPECT_DEATH(WriteSome(), "BUG CHECK 0x00000035: NO_MORE_IRP_STACK_LOCATIONS");

  upperDriver.SetHandler(upper, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
    return IoCallDriver(lower, irp);
  });
  EXPECT_DEATH(WriteSome(), "BUG CHECK 0x000000C9.*must be passed with PoCallDriver");
  upperDriver.SetHandler(upper, iotest::PassDown(&lower));
}

NTSTATUS NTAPI SignalOwner(PDEVICE_OBJECT device, PIRP, PVOID context) {
  *static_cast<PDEVICE_OBJECT*>(context) = device;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FinishToTheTop(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_SUCCESS;
}

TEST_F(IoCompletion, DriverAllocatedIrpsComeBackToTheirOwner) {
  Build([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 7); },
        [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
  PIRP irp = IoAllocateIrp(IoGetAttachedDevice(lower)->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 2);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_READ;
  PDEVICE_OBJECT routineDevice = upper;
  IoSetCompletionRoutine(irp, SignalOwner, &routineDevice, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
  // The sender's routine sees no device: it owns no stack location.
  EXPECT_EQ(routineDevice, nullptr);
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  IoFreeIrp(irp);

  emu::FailIrpAllocation(1);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);
}

TEST_F(IoCompletionDeath, DriverAllocatedIrpMustNotCompleteToTheTop) {
  Build([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
        [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, FinishToTheTop, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(upper, irp);
      },
      "BUG CHECK 0x000000C9.*must return STATUS_MORE_PROCESSING_REQUIRED");
}

}  // namespace

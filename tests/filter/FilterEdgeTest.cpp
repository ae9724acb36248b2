// The filter's edge cases: which requests are recorded and watched per
// kind, mode and flags; kernel-mode opens and Detach waiting for them;
// removal; power requests; pending completions; and the start at load with
// its retry, on the emulated clock.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "emu/SystemStartStage.h"
#include "emu/SystemVersion.h"
#include "emu/Timers.h"
#include "tests/filter/FilterHarness.h"

#include "control/TraceControlCodes.h"
#include "filter/RetiredFilter.h"
#include "framework/Pool.h"
#include "framework/SystemStartStage.h"
#include "framework/Timer.h"
#include "framework/TraceDriver.h"
#include "trace/CapiIoctl.h"

namespace filtertest {
namespace {

const char kConnectConf[] = "0e 00 01 00 02 81 01 00 01 01 00 00 00 00";
const char kManufacturerReq[] =
    "1a 00 01 00 ff 80 02 00 01 00 00 00 44 33 22 11 01 00 00 00 02 00 00 00 00 00";

// IRP_MN_QUERY_CAPABILITIES, a Plug and Play request that needs no special
// handling.
constexpr UCHAR kQueryCapabilities = 0x09;

// The completion routine of the device above: notes whether the request came
// back up marked pending.
NTSTATUS NTAPI NotePending(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<std::atomic<int>*>(context)->store(irp->PendingReturned ? 1 : 0);
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

class FilterEdge : public ::testing::Test {
 protected:
  void TearDown() override {
    system.Unload();
    lower.reset();
    emu::Timers::SetManual(false);
    emu::SetSystemStartStage(SYSTEM_START_STAGE_READY);
    emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }

  void Start(uint32_t flags) {
    SetFlags(flags);
    lower = std::make_unique<LowerCapi>();
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
  }

  // The unload right behind the retry that found the target: the retry's last
  // release lets it go on while the retry's DPC and work item routine have
  // yet to return (the emulated kernel keeps both in that window until the
  // unload looks). The driver must keep itself loaded until they have; on
  // Windows 2000 (no KeFlushQueuedDpcs) and 98/Me (no I/O work items either)
  // it takes the older way, where the window stays open.
  void UnloadBehindTheLastRetry(emu::SystemVersion version) {
    emu::SetSystemVersion(version);
    SetStart(2);
    emu::Timers::SetManual(true);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ASSERT_EQ(emu::Timers::Pending(), 1u);
    lower = std::make_unique<LowerCapi>();
    emu::Kernel::HoldWorkItemReturns(true);
    emu::Kernel::HoldDpcReturns(true);
    emu::Timers::Advance(Timer::DueTime(RETRY_MILLISECONDS) * -1);
    system.Unload();
    emu::Kernel::HoldWorkItemReturns(false);
    emu::Kernel::HoldDpcReturns(false);
    emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
    EXPECT_EQ(emu::Timers::Pending(), 0u);
  }

  // The unload right behind a traced request's completion: the completion
  // routine's last release lets the unload go on while the routine has yet
  // to return (the emulated kernel keeps it there until the unload looks).
  // Where the system has IoSetCompletionRoutineEx the driver stays loaded
  // until it has returned; on Windows 2000 and 98/Me the window stays open.
  // With `image`, the shipped pellinor.sys, started through its control
  // device.
  void UnloadBehindTheLastCompletion(emu::SystemVersion version, const std::string& image = "") {
    emu::SetSystemVersion(version);
    if (image.empty()) {
      Start(0x0001);
    } else {
      SetFlags(0x0001);
      lower = std::make_unique<LowerCapi>();
      std::string message;
      ASSERT_EQ(system.LoadImage(image, &message), STATUS_SUCCESS) << message;
      EXPECT_EQ(SendControl(IOCTL_TRACE_START), STATUS_SUCCESS);
    }
    lower->SetCompletion(IRP_MJ_READ, Completion::kHold);
    HANDLE handle = Open(UserMode);
    std::thread reader([handle] {
      uint8_t buffer[64];
      emu::Read(handle, buffer, sizeof buffer);
    });
    lower->WaitHeld(1);
    // Completed on a thread that the unload does not wait for (a DPC would
    // be waited for by the unload's flush, the dispatch by the unload's
    // wait for dispatchers): held there after the routine's return. The
    // unload waits for the routine's release of the filter's reference.
    emu::Kernel::HoldCompletionReturns(true);
    std::thread completer([this] { lower->ReleaseHeld(false); });
    system.Unload();
    completer.join();
    reader.join();
    emu::Kernel::HoldCompletionReturns(false);
    emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }

  // A kernel-mode client gets a CONNECT_CONF through the filter: the request
  // reaches the device as sent, is watched, and the client gets the
  // device's answer.
  void KernelGetMessageIsWatched() {
    HANDLE handle = Open(KernelMode);
    lower->QueueMessage(Message(kConnectConf));
    uint8_t message[64] = {};
    CAPI_PARAMETER_BLOCK get = {ULONG(ULONG_PTR(message)), 0};
    emu::IoResult result =
        emu::InternalDeviceIoControl(handle, CAPI_GET_MESSAGE, &get, 8, nullptr, 0);
    Seen seen = lower->Last(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    ExpectPassedThrough(result, seen, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_GET_MESSAGE);
    EXPECT_TRUE(seen.watched);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }

  HANDLE Open(KPROCESSOR_MODE mode) {
    HANDLE handle = nullptr;
    EXPECT_EQ(emu::Open(u"\\Device\\CAPI201", mode, &handle), STATUS_SUCCESS);
    return handle;
  }

  // Stops tracing for good and returns the requests' part of the log: what
  // follows the "Start Tracing" block.
  std::string Records() {
    EXPECT_EQ(system.Driver()->StopTraceDevice(1), STATUS_SUCCESS);
    std::string log = system.Log();
    size_t start = log.find("UserMode Appls");
    return start == std::string::npos ? log : log.substr(start);
  }

  TracedSystem system;
  std::unique_ptr<LowerCapi> lower;
};

// ---------------------------------------------------------------------------
// Selection and watching.

TEST_F(FilterEdge, UserModeRequestsAreLeftAloneWhenUserModeIsHidden) {
  Start(0x0803);
  HANDLE handle = Open(UserMode);
  CAPI_PARAMETER_BLOCK block = {0x1000, 0};
  emu::IoResult result = emu::DeviceIoControl(handle, CAPI_PUT_MESSAGE, &block, 8, nullptr, 0);
  Seen seen = lower->Last(IRP_MJ_DEVICE_CONTROL);
  ExpectPassedThrough(result, seen, IRP_MJ_DEVICE_CONTROL, 0, 8, CAPI_PUT_MESSAGE);
  EXPECT_FALSE(seen.watched);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(Occurrences(Records(), "CAPI_PUT_MESSAGE"), 0u);
}

TEST_F(FilterEdge, KernelModeGetMessageWithMessagesOnlyIsWatchedAndRecordedAtCompletion) {
  Start(0x0001);
  KernelGetMessageIsWatched();
  std::string records = Records();
  // The message only, as it came up: no summary of the request itself.
  EXPECT_EQ(Occurrences(records, "CONNECT_CONF"), 1u);
  EXPECT_EQ(Occurrences(records, "MJ_INTL_DEVICE_CONTROL"), 0u);
}

// IoSetCompletionRoutineEx needs a small allocation of the I/O manager's:
// when it fails, the request is watched with the plain routine, and neither
// the request nor its record changes.
TEST_F(FilterEdge, ARequestIsStillWatchedWhenTheUnloadSafeRoutineCannotBeSet) {
  Start(0x0001);
  emu::PoolFault fault;
  fault.mode = emu::PoolFault::kEveryNth;
  fault.tag = emu::MakePoolTag("IoUs");
  emu::Pool::InjectFault(fault);
  KernelGetMessageIsWatched();
  emu::Pool::ClearFaults();
  EXPECT_GE(emu::Pool::Report(emu::MakePoolTag("IoUs")).injectedFailures, 2u);
  EXPECT_EQ(Occurrences(Records(), "CONNECT_CONF"), 1u);
}

TEST_F(FilterEdge, KernelModePutMessageWithMessagesOnlyIsRecordedNotWatched) {
  Start(0x0001);
  HANDLE handle = Open(KernelMode);
  std::vector<uint8_t> conf = Message(kConnectConf);
  CAPI_PARAMETER_BLOCK put = {ULONG(ULONG_PTR(conf.data())), 0};
  emu::IoResult result =
      emu::InternalDeviceIoControl(handle, CAPI_PUT_MESSAGE, &put, 8, nullptr, 0);
  Seen seen = lower->Last(IRP_MJ_INTERNAL_DEVICE_CONTROL);
  ExpectPassedThrough(result, seen, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_PUT_MESSAGE);
  EXPECT_FALSE(seen.watched);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(Occurrences(Records(), "CONNECT_CONF"), 1u);
}

TEST_F(FilterEdge, AShortReadIsWatchedButNotRecorded) {
  Start(0x0001);
  HANDLE handle = Open(UserMode);
  lower->QueueMessage(Message("01 02 03 04 05 06 07"));
  uint8_t buffer[64] = {};
  emu::IoResult result = emu::Read(handle, buffer, sizeof buffer);
  Seen seen = lower->Last(IRP_MJ_READ);
  ExpectPassedThrough(result, seen, IRP_MJ_READ, sizeof buffer);
  EXPECT_EQ(result.information, 7u);
  EXPECT_TRUE(seen.watched);
  // A whole message in a read is recorded at completion.
  lower->QueueMessage(Message(kConnectConf));
  result = emu::Read(handle, buffer, sizeof buffer);
  ExpectPassedThrough(result, lower->Last(IRP_MJ_READ), IRP_MJ_READ, sizeof buffer);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string records = Records();
  EXPECT_EQ(Occurrences(records, "MJ_READ"), 0u);
  EXPECT_EQ(Occurrences(records, "CONNECT_CONF"), 1u);
}

TEST_F(FilterEdge, UserModeGetMessageIoctlWithMessagesOnlyIsNeitherRecordedNorWatched) {
  Start(0x0001);
  HANDLE handle = Open(UserMode);
  CAPI_PARAMETER_BLOCK block = {};
  emu::IoResult result =
      emu::DeviceIoControl(handle, CAPI_GET_MESSAGE, nullptr, 0, &block, sizeof block);
  Seen seen = lower->Last(IRP_MJ_DEVICE_CONTROL);
  ExpectPassedThrough(result, seen, IRP_MJ_DEVICE_CONTROL, 8, 0, CAPI_GET_MESSAGE);
  EXPECT_FALSE(seen.watched);
  // Another I/O control, with the CAPI functions traced: neither either
  // (other I/O controls are never selected).
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(Occurrences(Records(), "CAPI_GET_MESSAGE"), 0u);
}

TEST_F(FilterEdge, OtherIoctlsOpensAndPlugAndPlayAreNeverRecorded) {
  Start(0xFFFF);  // every flag the registry can carry
  HANDLE handle = Open(UserMode);
  EXPECT_FALSE(lower->Last(IRP_MJ_CREATE).watched);
  uint8_t out[4] = {};
  emu::IoResult result = emu::DeviceIoControl(handle, 0x00222000, nullptr, 0, out, 4);
  Seen seen = lower->Last(IRP_MJ_DEVICE_CONTROL);
  ExpectPassedThrough(result, seen, IRP_MJ_DEVICE_CONTROL, 4, 0, 0x00222000);
  EXPECT_FALSE(seen.watched);
  emu::IoResult pnp = emu::SendPnp(lower->Device(), kQueryCapabilities);
  Seen pnpSeen = lower->Last(IRP_MJ_PNP);
  EXPECT_EQ(pnpSeen.minor, kQueryCapabilities);
  EXPECT_FALSE(pnpSeen.watched);
  EXPECT_EQ(pnp.status, pnpSeen.status);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string records = Records();
  EXPECT_EQ(Occurrences(records, "COMPLETION"), 0u);
  EXPECT_EQ(Occurrences(records, "MJ_"), 0u);
}

TEST_F(FilterEdge, ManufacturerMessagesAreLeftOutWhenHidden) {
  Start(0x0201);
  HANDLE handle = Open(UserMode);
  std::vector<uint8_t> manufacturer = Message(kManufacturerReq);
  emu::IoResult result = emu::Write(handle, manufacturer.data(), ULONG(manufacturer.size()));
  ExpectPassedThrough(result, lower->Last(IRP_MJ_WRITE), IRP_MJ_WRITE,
                      ULONG(manufacturer.size()));
  EXPECT_FALSE(lower->Last(IRP_MJ_WRITE).watched);
  // A write too short for a message header is recorded without a look.
  uint8_t shortWrite[5] = {0x0c, 0, 1, 0, 0xff};
  result = emu::Write(handle, shortWrite, sizeof shortWrite);
  ExpectPassedThrough(result, lower->Last(IRP_MJ_WRITE), IRP_MJ_WRITE, sizeof shortWrite);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string records = Records();
  EXPECT_EQ(Occurrences(records, "MANUFACTURER_REQ"), 0u);
  EXPECT_EQ(Occurrences(records, "Error: invalid CAPI message!"), 1u);
}

TEST_F(FilterEdge, AHiddenManufacturerWriteIsStillSummarisedWithTheFunctions) {
  Start(0x0203);
  HANDLE handle = Open(UserMode);
  std::vector<uint8_t> manufacturer = Message(kManufacturerReq);
  emu::IoResult result = emu::Write(handle, manufacturer.data(), ULONG(manufacturer.size()));
  ExpectPassedThrough(result, lower->Last(IRP_MJ_WRITE), IRP_MJ_WRITE,
                      ULONG(manufacturer.size()));
  EXPECT_TRUE(lower->Last(IRP_MJ_WRITE).watched);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string records = Records();
  EXPECT_EQ(Occurrences(records, "CAPI_PUT_MESSAGE            (MJ_WRITE"), 1u);
  EXPECT_EQ(Occurrences(records, "MANUFACTURER_REQ"), 0u);
}

// A device above the trace device that sees whether the request came back
// up marked pending.
TEST_F(FilterEdge, APendingCompletionIsMarkedPendingOnTheWayUp) {
  Start(0x0003);
  lower->SetCompletion(IRP_MJ_READ, Completion::kFromDpc);
  iotest::TestDriver aboveDriver("FilterTestAbove");
  PDEVICE_OBJECT below = nullptr;
  std::atomic<int> pendingSeen{-1};
  PDEVICE_OBJECT above = aboveDriver.CreateDevice(u"", DO_BUFFERED_IO, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, NotePending, &pendingSeen, TRUE, TRUE, TRUE);
    return IoCallDriver(below, irp);
  });
  below = aboveDriver.Attach(above, lower->Device());
  HANDLE handle = Open(UserMode);
  lower->QueueMessage(Message(kConnectConf));
  uint8_t buffer[64] = {};
  emu::IoResult result = emu::Read(handle, buffer, sizeof buffer);
  ExpectPassedThrough(result, lower->Last(IRP_MJ_READ), IRP_MJ_READ, sizeof buffer);
  EXPECT_TRUE(lower->Last(IRP_MJ_READ).watched);
  EXPECT_EQ(pendingSeen.load(), 1);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  aboveDriver.Detach(above);
  EXPECT_EQ(Occurrences(Records(), "COMPLETION CAPI_GET_MESSAGE"), 1u);
}

// ---------------------------------------------------------------------------
// Opens, closes, removal and power.

TEST_F(FilterEdge, UserModeOpensAreNotOutstanding) {
  Start(0x0003);
  HANDLE handle = Open(UserMode);
  // Idle: a stop without force destroys the device although a user-mode
  // file is open; its later close goes to the CAPI device alone.
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  size_t closes = lower->Count(IRP_MJ_CLOSE);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(lower->Count(IRP_MJ_CLOSE), closes + 1);
}

TEST_F(FilterEdge, AKernelModeOpenIsOutstandingUntilItsClose) {
  Start(0x0003);
  HANDLE handle = Open(KernelMode);
  EXPECT_EQ(lower->Last(IRP_MJ_CREATE).mode, KernelMode);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 2u);  // kept, quiet
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
}

TEST_F(FilterEdge, DestructionWaitsForKernelModeClientsToClose) {
  Start(0x0003);
  HANDLE handle = Open(KernelMode);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_EQ(system.Driver()->StopTraceDevice(1), STATUS_SUCCESS);
    stopped = true;
  });
  // The client can still work while the device waits for it.
  std::vector<uint8_t> conf = Message(kConnectConf);
  CAPI_PARAMETER_BLOCK put = {ULONG(ULONG_PTR(conf.data())), 0};
  emu::IoResult result =
      emu::InternalDeviceIoControl(handle, CAPI_PUT_MESSAGE, &put, 8, nullptr, 0);
  ExpectPassedThrough(result, lower->Last(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                      IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_PUT_MESSAGE);
  EXPECT_FALSE(stopped.load());
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  stopper.join();
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  EXPECT_EQ(emu::StackTop(lower->Device()), lower->Device());
}

TEST_F(FilterEdge, AKernelModeOpenThatTheCapiDeviceFailsIsForgotten) {
  Start(0x0003);
  lower->FailKernelOpens(STATUS_ACCESS_DENIED);
  HANDLE handle = nullptr;
  EXPECT_EQ(emu::Open(u"\\Device\\CAPI201", KernelMode, &handle), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(lower->Last(IRP_MJ_CREATE).watched);
  // Nothing outstanding: no close will ever come for it.
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
}

TEST_F(FilterEdge, AKernelModeOpenWhoseEntryCannotBeAllocatedFailsAndHoldsNothing) {
  Start(0x0003);
  size_t creates = lower->Count(IRP_MJ_CREATE);
  emu::PoolFault fault;
  fault.poolType = NonPagedPool;
  fault.tag = POOL_TAG;
  emu::Pool::InjectFault(fault);
  HANDLE handle = nullptr;
  EXPECT_EQ(emu::Open(u"\\Device\\CAPI201", KernelMode, &handle), STATUS_INSUFFICIENT_RESOURCES);
  emu::Pool::ClearFaults();
  EXPECT_EQ(lower->Count(IRP_MJ_CREATE), creates);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
}

TEST_F(FilterEdge, RemovalDetachesAfterKernelModeClientsCloseAndKeepsTheDevice) {
  Start(0x0003);
  HANDLE handle = Open(KernelMode);
  std::atomic<bool> removed{false};
  emu::IoResult remove{};
  std::thread remover([&] {
    remove = emu::SendPnp(lower->Device(), IRP_MN_REMOVE_DEVICE);
    removed = true;
  });
  EXPECT_FALSE(removed.load());
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  remover.join();
  Seen seen = lower->Last(IRP_MJ_PNP);
  EXPECT_EQ(seen.minor, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(remove.status, seen.status);
  EXPECT_EQ(emu::StackTop(lower->Device()), lower->Device());
  // Tracing still reads as on, but nothing reaches the device any more,
  // and it cannot attach again.
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
  EXPECT_EQ(system.Driver()->RestartTracing(), STATUS_DELETE_PENDING);
  HANDLE user = Open(UserMode);
  uint8_t data[14] = {0x0e, 0, 1, 0, 2, 0x81, 1, 0};
  emu::IoResult write = emu::Write(user, data, sizeof data);
  ExpectPassedThrough(write, lower->Last(IRP_MJ_WRITE), IRP_MJ_WRITE, sizeof data);
  EXPECT_FALSE(lower->Last(IRP_MJ_WRITE).watched);
  EXPECT_EQ(emu::Close(user), STATUS_SUCCESS);
  EXPECT_EQ(Occurrences(Records(), "MJ_WRITE"), 0u);
}

TEST_F(FilterEdge, PowerRequestsStartTheNextPowerRequestOnceTracedOrNot) {
  Start(0x0003);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  emu::PowerResult traced = emu::SendPower(lower->Device(), IRP_MN_SET_POWER, DevicePowerState, d0);
  EXPECT_EQ(traced.status, lower->Last(IRP_MJ_POWER).status);
  // Once by the trace device, once by the CAPI device.
  EXPECT_EQ(traced.startNextPowerIrpCalls, 2);
  // Quiet (kept alive by a kernel-mode open).
  HANDLE handle = Open(KernelMode);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  ASSERT_EQ(system.Driver()->TraceState(), 2u);
  emu::PowerResult quiet = emu::SendPower(lower->Device(), IRP_MN_SET_POWER, DevicePowerState, d0);
  EXPECT_EQ(quiet.status, lower->Last(IRP_MJ_POWER).status);
  EXPECT_EQ(quiet.startNextPowerIrpCalls, 2);
  EXPECT_EQ(lower->Count(IRP_MJ_POWER), 2u);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
}

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request that found the filter at the top of the stack just before it
// went still reaches the CAPI device, through the device object that the
// driver keeps until it unloads.
TEST_F(FilterEdge, ARequestForAStoppedFilterStillGoesDown) {
  Start(0x0003);
  PDEVICE_OBJECT filter = emu::StackTop(lower->Device());
  ASSERT_NE(filter, lower->Device());
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(emu::StackTop(lower->Device()), lower->Device());
  EXPECT_EQ(RetiredFilter::Count(), 1u);
  PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
  EXPECT_EQ(lower->Last(IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);
  IoFreeIrp(irp);
  // A new trace device has a device object of its own.
  ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
  EXPECT_NE(emu::StackTop(lower->Device()), filter);
  system.Unload();
  EXPECT_EQ(RetiredFilter::Count(), 0u);
}

// Every non-paged allocation of building a trace device failing in turn: a
// start either gives a trace device or fails, never reports success without
// one, and leaves nothing behind.
TEST_F(FilterEdge, AStartThatCannotAllocateFailsCleanly) {
  lower = std::make_unique<LowerCapi>();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  size_t base = emu::Pool::Report(POOL_TAG).blocks;
  int failures = 0;
  for (unsigned n = 1; n <= 30; ++n) {
    emu::PoolFault fault;
    fault.n = n;
    fault.poolType = NonPagedPool;
    fault.tag = POOL_TAG;
    emu::Pool::InjectFault(fault);
    NTSTATUS status = system.Driver()->CreateTraceDevice();
    emu::Pool::ClearFaults();
    // Without the trace device itself the start fails, rather than report
    // success with nothing built.
    if (n == 1)
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    if (NT_SUCCESS(status)) {
      EXPECT_NE(system.Driver()->TraceState(), 0u) << n;
      EXPECT_EQ(system.Driver()->StopTraceDevice(1), STATUS_SUCCESS);
    } else {
      ++failures;
      EXPECT_EQ(system.Driver()->TraceState(), 0u) << n;
    }
    EXPECT_EQ(emu::StackTop(lower->Device()), lower->Device()) << n;
    // What stays is one owner block per retired device object.
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, base + RetiredFilter::Count()) << n;
  }
  EXPECT_GT(failures, 1);
}

// ---------------------------------------------------------------------------
// The start at load.

TEST_F(FilterEdge, DemandStartLoadsWithoutATraceDeviceOrTimer) {
  emu::Timers::SetManual(true);
  lower = std::make_unique<LowerCapi>();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  EXPECT_EQ(emu::Timers::Pending(), 0u);
  EXPECT_EQ(emu::StackTop(lower->Device()), lower->Device());
}

TEST_F(FilterEdge, AMissingStartValueFailsTheLoad) {
  emu::Registry::DeleteValue(kServiceKey, u"Start");
  EXPECT_EQ(system.Load(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(theDriver, nullptr);
}

TEST_F(FilterEdge, AutomaticStartTracesAtOnceWhenTheTargetExists) {
  SetStart(2);
  emu::Timers::SetManual(true);
  lower = std::make_unique<LowerCapi>();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
  EXPECT_EQ(emu::Timers::Pending(), 0u);
}

TEST_F(FilterEdge, AutomaticStartRetriesUntilTheTargetAppears) {
  SetStart(2);
  emu::Timers::SetManual(true);
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  EXPECT_EQ(emu::Timers::Pending(), 1u);
  // Still missing at the first retry: armed again.
  emu::Timers::Advance(Timer::DueTime(RETRY_MILLISECONDS) * -1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  EXPECT_EQ(emu::Timers::Pending(), 1u);
  // The target appears; the next retry, within 5 seconds, finds it.
  lower = std::make_unique<LowerCapi>();
  emu::Timers::Advance(Timer::DueTime(RETRY_MILLISECONDS - 1) * -1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  emu::Timers::Advance(Timer::DueTime(1) * -1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
  EXPECT_EQ(emu::Timers::Pending(), 0u);
}

// Only Windows 98/Me has a start stage to wait for; on NT the stage set is
// never asked for.
TEST_F(FilterEdge, AutomaticStartWaitsForTheSystemToStartOnWindows98) {
  SetStart(2);
  emu::Timers::SetManual(true);
  emu::SetSystemStartStage(SYSTEM_START_STAGE_READY - 1);
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  ASSERT_EQ(SystemStartStage(), SYSTEM_START_STAGE_READY);
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  lower = std::make_unique<LowerCapi>();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  emu::Timers::Advance(Timer::DueTime(RETRY_MILLISECONDS) * -1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  EXPECT_EQ(emu::Timers::Pending(), 1u);
  emu::SetSystemStartStage(SYSTEM_START_STAGE_READY);
  emu::Timers::Advance(Timer::DueTime(RETRY_MILLISECONDS) * -1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
}

TEST_F(FilterEdge, StopRetryingEndsTheRetriesForGood) {
  SetStart(2);
  emu::Timers::SetManual(true);
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  ASSERT_EQ(emu::Timers::Pending(), 1u);
  system.Driver()->StopRetrying();
  EXPECT_EQ(emu::Timers::Pending(), 0u);
  lower = std::make_unique<LowerCapi>();
  emu::Timers::Advance(Timer::DueTime(2 * RETRY_MILLISECONDS) * -1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  // The tool may still start tracing.
  EXPECT_EQ(system.Driver()->RestartTracing(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
}

TEST_F(FilterEdge, UnloadBehindTheLastRetryWaitsForItsRoutinesToReturn) {
  UnloadBehindTheLastRetry(emu::SystemVersion::WindowsXp);
}

TEST_F(FilterEdge, UnloadBehindTheLastRetryOnWindows2000) {
  UnloadBehindTheLastRetry(emu::SystemVersion::Windows2000);
}

TEST_F(FilterEdge, UnloadBehindTheLastRetryOnWindows98) {
  UnloadBehindTheLastRetry(emu::SystemVersion::Windows98);
}

TEST_F(FilterEdge, UnloadBehindTheLastCompletionWaitsForItsRoutineToReturn) {
  UnloadBehindTheLastCompletion(emu::SystemVersion::WindowsXp);
}

TEST_F(FilterEdge, UnloadBehindTheLastCompletionOnWindows2000) {
  UnloadBehindTheLastCompletion(emu::SystemVersion::Windows2000);
}

TEST_F(FilterEdge, UnloadBehindTheLastCompletionOfTheShippedImage) {
  const std::string image = PELLINOR_WINDOWS_IMAGE;
  if (image.empty() || !std::ifstream(image).good())
    GTEST_SKIP() << "no pellinor.sys (configure with -DPELLINOR_WINDOWS_IMAGE=FILE)";
  UnloadBehindTheLastCompletion(emu::SystemVersion::WindowsXp, image);
}

TEST_F(FilterEdge, UnloadWithARetryPendingCancelsIt) {
  SetStart(2);
  emu::Timers::SetManual(true);
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  ASSERT_EQ(emu::Timers::Pending(), 1u);
  system.Unload();
  EXPECT_EQ(emu::Timers::Pending(), 0u);
}

}  // namespace
}  // namespace filtertest

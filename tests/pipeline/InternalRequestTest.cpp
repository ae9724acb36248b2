// sendInternalIoctl: the tracer's own synchronous I/O control to the device
// below it.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "tests/emu/IoTestDriver.h"

#include "emu/Io.h"
#include "trace/InternalRequest.h"
#include "trace/NameTables.h"

namespace {

class InternalIoctl : public ::testing::Test {
 protected:
  InternalIoctl() : driver_("InternalTest") {}

  PDEVICE_OBJECT Target(iotest::Handler handler) {
    return driver_.CreateDevice(u"Target", DO_BUFFERED_IO, std::move(handler));
  }

  iotest::TestDriver driver_;
};

TEST_F(InternalIoctl, ARequestCompletedAtOnceReturnsItsStatusAndOutput) {
  ULONG seenIn = 0, seenOut = 0, seenCode = 0;
  PDEVICE_OBJECT target = Target([&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seenCode = stack->Parameters.DeviceIoControl.IoControlCode;
    seenIn = stack->Parameters.DeviceIoControl.InputBufferLength;
    seenOut = stack->Parameters.DeviceIoControl.OutputBufferLength;
    EXPECT_EQ(stack->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(*static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer), 3u);  // the input value
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "Maker\0", 6);
    return iotest::Complete(irp, STATUS_SUCCESS, 6);
  });
  InternalRequest request(target, nullptr);
  char buffer[64] = {};
  EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_MANUFACTURER, buffer, 64, 3), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "Maker");
  EXPECT_EQ(seenCode, CAPI_GET_MANUFACTURER);
  EXPECT_EQ(seenIn, 4u);
  EXPECT_EQ(seenOut, 64u);
  EXPECT_EQ(emu::LiveIrpCount(), 0);
}

TEST_F(InternalIoctl, InputValueZeroSendsNoInputAndLeavesTheBuffer) {
  ULONG seenIn = 99;
  PDEVICE_OBJECT target = Target([&](PDEVICE_OBJECT, PIRP irp) {
    seenIn = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
    return iotest::Complete(irp, STATUS_INVALID_PARAMETER);
  });
  InternalRequest request(target, nullptr);
  ULONG buffer[2] = {0xDEADBEEF, 0};
  EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_VERSION, buffer, 8, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(seenIn, 0u);
  EXPECT_EQ(buffer[0], 0xDEADBEEFu);
}

TEST_F(InternalIoctl, ARequestCompletedLaterFromAnotherThreadIsWaitedFor) {
  std::atomic<bool> completed{false};
  PDEVICE_OBJECT target = Target([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    std::thread([irp, &completed] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::memcpy(irp->AssociatedIrp.SystemBuffer, "\x02\x00\x00\x00", 4);
      completed = true;
      iotest::Complete(irp, STATUS_SUCCESS, 4);
    }).detach();
    return STATUS_PENDING;
  });
  InternalRequest request(target, nullptr);
  ULONG buffer = 0;
  // The one InternalRequest serves two requests one after the other.
  for (int round = 0; round < 2; ++round) {
    completed = false;
    EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_PROFILE, &buffer, 4, 1), STATUS_SUCCESS);
    EXPECT_TRUE(completed);
    EXPECT_EQ(buffer, 2u);
  }
  EXPECT_EQ(emu::LiveIrpCount(), 0);
}

// A device that completes from its DPC: the completion routine signals the
// waiting caller at DISPATCH_LEVEL and keeps the request for it to free.
TEST_F(InternalIoctl, ARequestCompletedFromADpcIsWaitedFor) {
  PDEVICE_OBJECT target = Target([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "\x03\x00\x00\x00", 4);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    emu::CompleteFromDpc(irp);
    return STATUS_PENDING;
  });
  InternalRequest request(target, nullptr);
  for (int round = 0; round < 2; ++round) {
    ULONG buffer = 0;
    EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_SERIAL, &buffer, 4, 1), STATUS_SUCCESS);
    EXPECT_EQ(buffer, 3u);
  }
  EXPECT_EQ(emu::LiveIrpCount(), 0);
}

TEST_F(InternalIoctl, NoRequestNoCall) {
  bool called = false;
  PDEVICE_OBJECT target = Target([&](PDEVICE_OBJECT, PIRP irp) {
    called = true;
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  InternalRequest request(target, nullptr);
  ULONG buffer = 0;
  emu::FailIrpAllocation(1);
  EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_SERIAL, &buffer, 4, 1),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(called);
}

}  // namespace

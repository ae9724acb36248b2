// The driver framework loaded into the emulated kernel: entry points,
// routing of requests to devices, symlink devices, the request view and the
// static-object tables.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "framework/Device.h"
#include "framework/EntryPoints.h"
#include "framework/ExitTable.h"
#include "framework/Pool.h"
#include "framework/RequestView.h"
#include "framework/SymlinkDevice.h"
#include "framework/TraceDriver.h"

namespace {

// The service key as the service control manager leaves it for a driver
// that loads on demand: the driver reads Start at load and fails without it.
void RegisterDemandStart() {
  emu::Registry::SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor",
                          u"Start", 3);
}

class Framework : public ::testing::Test {
 protected:
  PDRIVER_OBJECT driver = nullptr;
  void SetUp() override {
    RegisterDemandStart();
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
    ASSERT_NE(theDriver, nullptr);
  }
  void TearDown() override {
    if (driver != nullptr)
      EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(theDriver, nullptr);
    EXPECT_EQ(ExitTable::Count(), 0);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Framework, LoadStoresTheEntryPointsAndTheRegistryPath) {
  EXPECT_EQ(theDriver->DriverObject(), driver);
  EXPECT_EQ(driver->DriverUnload, DriverUnloadRoutine);
  EXPECT_EQ(driver->DriverExtension->AddDevice, AddDeviceRoutine);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    EXPECT_EQ(driver->MajorFunction[major], CommonDispatch) << major;
  }
  const CountedString& path = theDriver->RegistryPath();
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(path.Text()), path.Length() / 2),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor");
  // The copy is the driver's own: the I/O manager's string is gone. Besides
  // it the driver holds only its control device and that device's link name.
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 3u);
  // The control device is the one device of a driver that does not trace.
  PDEVICE_OBJECT control = emu::FindDevice(u"\\Device\\PellinorIOCTL");
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(driver->DeviceObject, control);
  EXPECT_EQ(control->NextDevice, nullptr);
  EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\PellinorWin32CTL"),
            u"\\Device\\PellinorIOCTL");
}

// The driver routes every major function to the owning Device, whose
// default Dispatch succeeds (the I/O manager's own default would fail it).
TEST_F(Framework, EveryMajorFunctionReachesTheDevice) {
  NTSTATUS status;
  auto* device = new Device(nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  PDEVICE_OBJECT object = device->DeviceObject();
  EXPECT_EQ(Device::FromDeviceObject(object), device);  // unnamed, still its owner
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    PIRP irp = IoAllocateIrp(object->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS result = major == IRP_MJ_POWER ? PoCallDriver(object, irp) : IoCallDriver(object, irp);
    EXPECT_EQ(result, STATUS_SUCCESS) << int(major);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS) << int(major);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    if (major == IRP_MJ_POWER)
      EXPECT_EQ(emu::StartNextPowerIrpCalls(irp), 1);
    IoFreeIrp(irp);
  }
  delete device;
}

TEST_F(Framework, PlainSymlinkDeviceCompletesWithSuccessAndNoData) {
  NTSTATUS status;
  auto* device = new SymlinkDevice(L"FrameworkPlain", L"FrameworkPlainLink", FILE_DEVICE_UNKNOWN, 0,
                                   TRUE, DO_BUFFERED_IO, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(device->DeviceObject()->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(device->DeviceObject()->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\FrameworkPlainLink"),
            u"\\Device\\FrameworkPlain");
  // Created after the driver loaded: ready it as a driver does.
  device->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
  HANDLE handle;
  ASSERT_EQ(emu::Open("\\\\.\\FrameworkPlainLink", UserMode, &handle), STATUS_SUCCESS);
  char buffer[8] = {};
  emu::IoResult result = emu::Read(handle, buffer, sizeof buffer);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  result = emu::DeviceIoControl(handle, 0x00222000, "in", 2, buffer, sizeof buffer);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  delete device;
  EXPECT_EQ(emu::FindDevice(u"\\Device\\FrameworkPlain"), nullptr);
  EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\FrameworkPlainLink"), u"");
}

TEST_F(Framework, SymlinkDeviceWhoseLinkFailedDeletesOnlyTheDevice) {
  std::u16string takenText = u"\\DosDevices\\FrameworkTaken";
  std::u16string elsewhereText = u"\\Device\\Elsewhere";
  UNICODE_STRING taken = {USHORT(takenText.size() * 2), USHORT(takenText.size() * 2),
                          reinterpret_cast<PWSTR>(&takenText[0])};
  UNICODE_STRING elsewhere = {USHORT(elsewhereText.size() * 2), USHORT(elsewhereText.size() * 2),
                              reinterpret_cast<PWSTR>(&elsewhereText[0])};
  ASSERT_EQ(IoCreateSymbolicLink(&taken, &elsewhere), STATUS_SUCCESS);
  NTSTATUS status;
  auto* device = new SymlinkDevice(L"FrameworkLinkFails", L"FrameworkTaken", FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, 0, &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_NE(emu::FindDevice(u"\\Device\\FrameworkLinkFails"), nullptr);
  delete device;
  EXPECT_EQ(emu::FindDevice(u"\\Device\\FrameworkLinkFails"), nullptr);
  EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\FrameworkTaken"), u"\\Device\\Elsewhere");
  EXPECT_EQ(IoDeleteSymbolicLink(&taken), STATUS_SUCCESS);
}

TEST_F(Framework, FailedDeviceCreationLeavesNothingToDelete) {
  emu::FailDeviceCreation(1, STATUS_INSUFFICIENT_RESOURCES);
  NTSTATUS status;
  auto* device = new Device(L"FrameworkNoDevice", FILE_DEVICE_UNKNOWN, 0, FALSE, 0, &status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device->DeviceObject(), nullptr);
  delete device;

  // A path that cannot be built: the kernel is not even asked.
  emu::PoolFault fault;
  fault.poolType = PagedPool;
  fault.tag = POOL_TAG;
  emu::Pool::InjectFault(fault);
  device = new Device(L"FrameworkNoPath", FILE_DEVICE_UNKNOWN, 0, FALSE, 0, &status);
  emu::Pool::ClearFaults();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device->DeviceObject(), nullptr);
  EXPECT_EQ(emu::FindDevice(u"\\Device\\FrameworkNoPath"), nullptr);
  delete device;
}

TEST_F(Framework, RequestViewReadsTheRequestAndCompletesItOnce) {
  char buffer[5] = {'a', 'b', 'c'};
  PIRP irp = IoAllocateIrp(1, FALSE);
  // The sender keeps the request when it completes; the one location is
  // the handler's own.
  IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = 0x00222004;
  sp->Parameters.DeviceIoControl.InputBufferLength = 3;
  sp->Parameters.DeviceIoControl.OutputBufferLength = 5;
  irp->AssociatedIrp.SystemBuffer = buffer;

  RequestView view(irp);
  EXPECT_EQ(view.MajorFunction(), IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(view.IoControlCode(), 0x00222004u);
  EXPECT_EQ(view.InputLength(), 3u);
  EXPECT_EQ(view.OutputLength(), 5u);
  EXPECT_EQ(view.SystemBuffer(), buffer);
  EXPECT_EQ(view.SetResult(STATUS_DEVICE_BUSY, 2), STATUS_DEVICE_BUSY);
  view.Complete();
  // A second completion would stop the emulated kernel; this one does
  // nothing, and the request is no longer written.
  view.Complete();
  EXPECT_EQ(view.SetResult(STATUS_SUCCESS, 9), STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(irp->IoStatus.Information, 2u);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  IoFreeIrp(irp);
}

TEST_F(Framework, TraceDriverAddsNoDeviceAndUnloadsClean) {
  EXPECT_EQ(emu::CallAddDevice(driver, nullptr), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(theDriver->DeviceCount(), 0);
  EXPECT_EQ(stopRetrying, 1);  // the failed AddDevice cleaned up as unloading does
  EXPECT_EQ(driver->DeviceObject, nullptr);  // the control device with it
  // The static destructors are registered once each: the driver object's
  // and the log file object's.
  EXPECT_EQ(ExitTable::Count(), 2);
}

TEST(FrameworkLoad, RegistryPathCopyFailingFailsTheLoad) {
  RegisterDemandStart();
  size_t failedBefore = emu::Pool::Report(POOL_TAG).injectedFailures;
  emu::PoolFault fault;
  fault.poolType = PagedPool;
  fault.tag = POOL_TAG;
  emu::Pool::InjectFault(fault);
  PDRIVER_OBJECT driver;
  EXPECT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver),
            STATUS_INSUFFICIENT_RESOURCES);
  emu::Pool::ClearFaults();
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).injectedFailures, failedBefore + 1);
  // The failed load undid itself: no driver object, no static destructor.
  EXPECT_EQ(theDriver, nullptr);
  EXPECT_EQ(ExitTable::Count(), 0);
  EXPECT_EQ(emu::FindDriver("Pellinor"), nullptr);
  // And a later load starts afresh.
  ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
  EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// ExitTable.

std::vector<int> ran;

template <int N>
void Note() {
  ran.push_back(N);
}

template <int... N>
void RegisterAll(std::integer_sequence<int, N...>) {
  int results[] = {ExitTable::Register(Note<N>)...};
  for (int result : results) EXPECT_EQ(result, 0);
}

TEST(ExitTable, HoldsOneHundredRoutinesAndRunsThemLastFirst) {
  ASSERT_EQ(ExitTable::Count(), 0);
  ran.clear();
  RegisterAll(std::make_integer_sequence<int, 100>());
  EXPECT_EQ(ExitTable::Count(), 100);
  EXPECT_EQ(ExitTable::Register(Note<100>), -1);
  EXPECT_EQ(ExitTable::Count(), 100);
  ExitTable::Run();
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], 99 - i);
  EXPECT_EQ(ExitTable::Count(), 0);
  ExitTable::Run();
  EXPECT_EQ(ran.size(), 100u);
}

}  // namespace

// Device stacks, the object namespace, opens, files objects and the
// system's Plug and Play and power requests in the emulated I/O manager.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "IoTestDriver.h"
#include "emu/Kernel.h"

namespace {

using iotest::Complete;
using iotest::TestDriver;
using iotest::Unicode;

// What a device saw, in order: one letter per major function it received
// ("C"reate, c"L"eanup, cl"O"se, "R"ead, "W"rite, "I"octl, "N" internal).
struct Log {
  std::string text;
  std::vector<PFILE_OBJECT> files;
  std::vector<KPROCESSOR_MODE> modes;
};

iotest::Handler Logging(Log* log, NTSTATUS createStatus = STATUS_SUCCESS) {
  return [log, createStatus](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const char letters[] = "C?LRW?????????IN??O";
    UCHAR major = sp->MajorFunction;
    char letter = major == IRP_MJ_CLEANUP                   ? 'L'
                  : major == IRP_MJ_CLOSE                   ? 'O'
                  : major <= IRP_MJ_INTERNAL_DEVICE_CONTROL ? letters[major]
                                                            : '?';
    log->text += letter;
    log->files.push_back(sp->FileObject);
    log->modes.push_back(irp->RequestorMode);
    return Complete(irp, major == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS);
  };
}

NTSTATUS NTAPI PlainEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = iotest::Unload;
  return STATUS_SUCCESS;
}

class IoStack : public ::testing::Test {
 protected:
  TestDriver lowerDriver{"IoStackLower"};
  TestDriver upperDriver{"IoStackUpper"};
  void TearDown() override { EXPECT_EQ(emu::LiveIrpCount(), 0); }
};

TEST_F(IoStack, AttachReturnsThePreviousTopAndRequestsGoToTheCurrentTop) {
  Log lowerLog, middleLog, topLog;
  PDEVICE_OBJECT lower = lowerDriver.CreateDevice(u"IoStackDevice", 0, Logging(&lowerLog));
  PDEVICE_OBJECT middle = upperDriver.CreateDevice(u"", 0, iotest::PassDown(&lower));
  PDEVICE_OBJECT top = upperDriver.CreateDevice(u"", 0, Logging(&topLog));
  EXPECT_EQ(upperDriver.Attach(middle, lower), lower);
  EXPECT_EQ(lowerDriver.object()->DeviceObject, lower);
  EXPECT_EQ(upperDriver.Attach(top, lower), middle);  // above the whole stack
  EXPECT_EQ(lower->StackSize, 1);
  EXPECT_EQ(middle->StackSize, 2);
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(IoGetAttachedDevice(lower), top);
  EXPECT_EQ(emu::StackTop(middle), top);

  HANDLE handle;
  ASSERT_EQ(emu::Open(u"\\Device\\IoStackDevice", UserMode, &handle), STATUS_SUCCESS);
  EXPECT_EQ(topLog.text, "C");
  PFILE_OBJECT file = emu::FileObjectOf(handle);
  EXPECT_EQ(file->DeviceObject, lower);  // the named device, not the top
  EXPECT_EQ(IoGetRelatedDeviceObject(file), top);

  // Once the top detaches, the file's requests reach the middle device and
  // through it the lower one, close included.
  upperDriver.Detach(top);
  EXPECT_EQ(IoGetAttachedDevice(lower), middle);
  char byte = 0;
  EXPECT_EQ(emu::Write(handle, &byte, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(topLog.text, "C");
  EXPECT_EQ(lowerLog.text, "WLO");
  EXPECT_EQ(lowerLog.modes, (std::vector<KPROCESSOR_MODE>{UserMode, KernelMode, KernelMode}));
}

TEST_F(IoStack, CleanupAtTheLastHandleCloseAtTheLastReference) {
  Log log;
  PDEVICE_OBJECT device = lowerDriver.CreateDevice(u"IoStackFiles", 0, Logging(&log));
  (void)device;
  HANDLE handle;
  ASSERT_EQ(emu::Open(u"\\Device\\IoStackFiles", KernelMode, &handle), STATUS_SUCCESS);
  PFILE_OBJECT file = emu::FileObjectOf(handle);
  ObReferenceObject(file);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(log.text, "CL");
  ObDereferenceObject(file);
  EXPECT_EQ(log.text, "CLO");
  EXPECT_EQ(log.files, (std::vector<PFILE_OBJECT>{file, file, file}));
  EXPECT_EQ(emu::Close(handle), STATUS_INVALID_HANDLE);

  // A failed create leaves no file behind: no cleanup, no close.
  Log refusing;
  lowerDriver.CreateDevice(u"IoStackRefuses", 0, Logging(&refusing, STATUS_ACCESS_DENIED));
  EXPECT_EQ(emu::Open(u"\\Device\\IoStackRefuses", UserMode, &handle), STATUS_ACCESS_DENIED);
  EXPECT_EQ(refusing.text, "C");
}

TEST_F(IoStack, GetDeviceObjectPointerOpensFromKernelModeAndHoldsTheFile) {
  Log lowerLog, topLog;
  PDEVICE_OBJECT lower = lowerDriver.CreateDevice(u"IoStackTarget", 0, Logging(&lowerLog));
  PDEVICE_OBJECT top = upperDriver.CreateDevice(u"", 0, Logging(&topLog));
  upperDriver.Attach(top, lower);
  std::u16string name = u"\\Device\\IoStackTarget";
  UNICODE_STRING unicode = Unicode(name);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&unicode, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
  EXPECT_EQ(device, top);
  EXPECT_EQ(file->DeviceObject, lower);
  EXPECT_EQ(topLog.text, "CL");  // the handle is closed at once
  EXPECT_EQ(topLog.modes[0], KernelMode);
  ObDereferenceObject(file);
  EXPECT_EQ(topLog.text, "CLO");

  struct Case {
    std::u16string name;
    NTSTATUS status;
  } cases[] = {
      {u"\\Device\\IoStackMissing", STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\Device\\", STATUS_OBJECT_NAME_INVALID},
      {u"\\Device\\\\IoStackTarget", STATUS_OBJECT_NAME_INVALID},
      {u"IoStackTarget", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {u"\\NoSuchDirectory\\IoStackTarget", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\Device", STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (const Case& c : cases) {
    unicode = Unicode(c.name);
    EXPECT_EQ(IoGetDeviceObjectPointer(&unicode, FILE_ALL_ACCESS, &file, &device), c.status)
        << std::string(c.name.begin(), c.name.end());
  }
  UNICODE_STRING empty = {0, 0, nullptr};
  EXPECT_EQ(IoGetDeviceObjectPointer(&empty, FILE_ALL_ACCESS, &file, &device),
            STATUS_OBJECT_NAME_INVALID);
}

TEST_F(IoStack, SymbolicLinksResolveThroughDosDevices) {
  Log log;
  lowerDriver.CreateDevice(u"IoStackLinked", 0, Logging(&log));
  std::u16string linkName = u"\\DosDevices\\IoStackLink";
  std::u16string target = u"\\Device\\IoStackLinked";
  UNICODE_STRING link = Unicode(linkName);
  UNICODE_STRING device = Unicode(target);
  ASSERT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(emu::SymbolicLinkTarget(u"\\??\\iostacklink"), target);

  for (const char* path : {"\\\\.\\IoStackLink", "\\??\\IoStackLink", "\\DosDevices\\IOSTACKLINK",
                           "\\GLOBAL??\\IoStackLink"}) {
    HANDLE handle;
    ASSERT_EQ(emu::Open(path, UserMode, &handle), STATUS_SUCCESS) << path;
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }
  EXPECT_EQ(log.text, "CLOCLOCLOCLO");
  // A link to a link resolves too; the rest of a path goes to the device.
  std::u16string secondName = u"\\??\\IoStackLink2";
  UNICODE_STRING second = Unicode(secondName);
  ASSERT_EQ(IoCreateSymbolicLink(&second, &link), STATUS_SUCCESS);
  HANDLE handle;
  ASSERT_EQ(emu::Open(u"\\\\.\\IoStackLink2\\sub", UserMode, &handle), STATUS_SUCCESS);
  PFILE_OBJECT file = emu::FileObjectOf(handle);
  EXPECT_EQ(
      std::u16string(reinterpret_cast<char16_t*>(file->FileName.Buffer), file->FileName.Length / 2),
      u"\\sub");
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);

  EXPECT_EQ(IoDeleteSymbolicLink(&second), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(emu::Open("\\\\.\\IoStackLink", UserMode, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoStack, NamesAndExclusiveOpens) {
  Log log;
  PDEVICE_OBJECT exclusive =
      lowerDriver.CreateDevice(u"IoStackExclusive", 0, Logging(&log), /*exclusive=*/true);
  EXPECT_TRUE(exclusive->Flags & DO_EXCLUSIVE);
  HANDLE first, second;
  ASSERT_EQ(emu::Open(u"\\Device\\IoStackExclusive", UserMode, &first), STATUS_SUCCESS);
  EXPECT_EQ(emu::Open(u"\\Device\\IoStackExclusive", UserMode, &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(emu::Close(first), STATUS_SUCCESS);
  ASSERT_EQ(emu::Open(u"\\Device\\IoStackExclusive", KernelMode, &second), STATUS_SUCCESS);
  EXPECT_EQ(emu::Close(second), STATUS_SUCCESS);
  EXPECT_EQ(log.text, "CLOCLO");  // the refused open never reached the driver

  // Names are unique and case-insensitive; an unnamed device has none.
  std::u16string nameText = u"\\Device\\IOSTACKEXCLUSIVE";
  UNICODE_STRING name = Unicode(nameText);
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoCreateDevice(lowerDriver.object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_OBJECT_NAME_COLLISION);
  std::u16string nowhereText = u"\\Nowhere\\X";
  UNICODE_STRING nowhere = Unicode(nowhereText);
  EXPECT_EQ(
      IoCreateDevice(lowerDriver.object(), 0, &nowhere, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
      STATUS_OBJECT_PATH_NOT_FOUND);
  emu::FailDeviceCreation(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(
      IoCreateDevice(lowerDriver.object(), 4, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
      STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device, nullptr);

  // A device created after its driver loaded stays unopenable until the
  // driver clears DO_DEVICE_INITIALIZING.
  std::u16string lateText = u"\\Device\\IoStackLate";
  UNICODE_STRING late = Unicode(lateText);
  ASSERT_EQ(IoCreateDevice(lowerDriver.object(), 0, &late, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  HANDLE handle;
  EXPECT_EQ(emu::Open(u"\\Device\\IoStackLate", UserMode, &handle), STATUS_NO_SUCH_DEVICE);
  IoDeleteDevice(device);
  EXPECT_EQ(emu::FindDevice(u"\\Device\\IoStackLate"), nullptr);
}

TEST_F(IoStack, DeletedDeviceLivesOnUntilItsFilesAreClosed) {
  Log log;
  PDEVICE_OBJECT device = lowerDriver.CreateDevice(u"IoStackGoing", 0, Logging(&log));
  HANDLE handle;
  ASSERT_EQ(emu::Open(u"\\Device\\IoStackGoing", UserMode, &handle), STATUS_SUCCESS);
  EXPECT_EQ(device->ReferenceCount, 1);
  lowerDriver.DeleteDevice(device);
  EXPECT_EQ(emu::FindDevice(u"\\Device\\IoStackGoing"), nullptr);
  HANDLE again;
  EXPECT_EQ(emu::Open(u"\\Device\\IoStackGoing", UserMode, &again), STATUS_OBJECT_NAME_NOT_FOUND);
  // The cleanup and close still reach the driver.
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(log.text, "CLO");
}

TEST_F(IoStack, PnpAndPowerRequestsGoDownTheStack) {
  Log log;
  PDEVICE_OBJECT lower =
      lowerDriver.CreateDevice(u"IoStackPower", 0, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        log.text += static_cast<char>('0' + sp->MinorFunction);
        if (sp->MajorFunction == IRP_MJ_POWER) {
          EXPECT_EQ(sp->Parameters.Power.Type, DevicePowerState);
          EXPECT_EQ(sp->Parameters.Power.State.DeviceState, PowerDeviceD3);
          PoStartNextPowerIrp(irp);
          return Complete(irp, STATUS_SUCCESS);
        }
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);  // as the PnP manager sends it
        return Complete(irp, STATUS_SUCCESS);
      });
  PDEVICE_OBJECT upper = upperDriver.CreateDevice(u"", 0, iotest::PassDown(&lower));
  upperDriver.Attach(upper, lower);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  emu::PowerResult power = emu::SendPower(lower, IRP_MN_SET_POWER, DevicePowerState, state);
  EXPECT_EQ(power.status, STATUS_SUCCESS);
  EXPECT_EQ(power.startNextPowerIrpCalls, 2);  // once per driver of the stack
  EXPECT_EQ(emu::SendPnp(lower, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(log.text, "22");

  // A driver without a power routine fails the request, and the I/O
  // manager's default routine starts the next one.
  PDRIVER_OBJECT plain;
  ASSERT_EQ(emu::LoadDriver("IoStackPlain", PlainEntry, 0, &plain), STATUS_SUCCESS);
  PDEVICE_OBJECT alone;
  ASSERT_EQ(IoCreateDevice(plain, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &alone),
            STATUS_SUCCESS);
  power = emu::SendPower(alone, IRP_MN_SET_POWER, DevicePowerState, state);
  EXPECT_EQ(power.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(power.startNextPowerIrpCalls, 1);
  IoDeleteDevice(alone);
  EXPECT_EQ(emu::UnloadDriver(plain), STATUS_SUCCESS);
}

}  // namespace

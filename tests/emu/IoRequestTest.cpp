// Requests as the I/O manager builds them (buffered, direct, neither,
// device and internal device I/O control), driver loading and unloading,
// and the file services of drive C.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "IoTestDriver.h"
#include "emu/UserMemory.h"
#include "emu/Files.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"

namespace {

using iotest::Complete;
using iotest::TestDriver;
using iotest::Unicode;

// What the driver saw of one request.
struct Seen {
  PVOID systemBuffer = nullptr;
  PVOID userBuffer = nullptr;
  PMDL mdl = nullptr;
  CSHORT mdlFlags = 0;
  CSHORT mappedFlags = 0;
  PVOID mapped = nullptr;
  PVOID mdlAddress = nullptr;  // the virtual address the MDL describes
  ULONG flags = 0;
  KPROCESSOR_MODE mode = 0;
  IO_STACK_LOCATION sp;
  std::string input;
};

class IoRequest : public ::testing::Test {
 protected:
  TestDriver driver{"IoRequests"};
  Seen seen;
  std::string reply = "reply-bytes";
  ULONG_PTR information = 0;

  HANDLE OpenDevice(ULONG flags, KPROCESSOR_MODE mode) {
    std::u16string name = flags & DO_DIRECT_IO ? u"IoRequestDirect"
                          : flags              ? u"IoRequestBuffered"
                                               : u"IoRequestNeither";
    if (emu::FindDevice(u"\\Device\\" + name) == nullptr) {
      driver.CreateDevice(name, flags, [this](PDEVICE_OBJECT, PIRP irp) { return Answer(irp); });
    }
    HANDLE handle = nullptr;
    EXPECT_EQ(emu::Open(u"\\Device\\" + name, mode, &handle), STATUS_SUCCESS);
    return handle;
  }

  // Records the request and answers it: reads and output get `reply`.
  NTSTATUS Answer(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLEANUP ||
        sp->MajorFunction == IRP_MJ_CLOSE) {
      return Complete(irp, STATUS_SUCCESS);
    }
    seen = Seen();
    seen.sp = *sp;
    seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
    seen.userBuffer = irp->UserBuffer;
    seen.mdl = irp->MdlAddress;
    seen.flags = irp->Flags;
    seen.mode = irp->RequestorMode;
    char* data = nullptr;
    if (irp->MdlAddress != nullptr) {
      seen.mdlFlags = irp->MdlAddress->MdlFlags;
      seen.mdlAddress = MmGetMdlVirtualAddress(irp->MdlAddress);
      seen.mapped = MmMapLockedPages(irp->MdlAddress, KernelMode);
      seen.mappedFlags = irp->MdlAddress->MdlFlags;
      data = static_cast<char*>(seen.mapped);
    }
    if (irp->AssociatedIrp.SystemBuffer)
      data = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    ULONG inputLength = sp->MajorFunction == IRP_MJ_WRITE ? sp->Parameters.Write.Length
                        : sp->MajorFunction == IRP_MJ_DEVICE_CONTROL
                            ? sp->Parameters.DeviceIoControl.InputBufferLength
                            : 0;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        METHOD_FROM_CTL_CODE(sp->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED) {
      data = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    }
    if (data != nullptr && inputLength != 0)
      seen.input.assign(data, inputLength);
    ULONG outputLength = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length
                         : sp->MajorFunction == IRP_MJ_DEVICE_CONTROL
                             ? sp->Parameters.DeviceIoControl.OutputBufferLength
                             : 0;
    char* out = irp->MdlAddress != nullptr ? static_cast<char*>(seen.mapped)
                : irp->AssociatedIrp.SystemBuffer
                    ? static_cast<char*>(irp->AssociatedIrp.SystemBuffer)
                    : static_cast<char*>(irp->UserBuffer);
    ULONG n = 0;
    if (outputLength != 0 && out != nullptr) {
      n = std::min<ULONG>(outputLength, reply.size());
      memcpy(out, reply.data(), n);
    }
    return Complete(irp, STATUS_SUCCESS, information != 0 ? information : n);
  }

  void TearDown() override { EXPECT_EQ(emu::LiveIrpCount(), 0); }
};

TEST_F(IoRequest, BufferedIoCopiesInAndOutThroughASystemBuffer) {
  HANDLE handle = OpenDevice(DO_BUFFERED_IO, UserMode);
  char out[32];
  memset(out, '.', sizeof out);
  emu::IoResult result = emu::Read(handle, out, 5);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 5u);
  EXPECT_EQ(std::string(out, 6), "reply.");
  EXPECT_NE(seen.systemBuffer, nullptr);
  EXPECT_NE(seen.systemBuffer, out);
  // An application's buffer: its user address, out of the driver's reach.
  EXPECT_TRUE(emu::IsUserAddress(seen.userBuffer, 5));
  EXPECT_EQ(seen.mdl, nullptr);
  EXPECT_EQ(seen.mode, UserMode);
  EXPECT_EQ(seen.flags & (IRP_BUFFERED_IO | IRP_INPUT_OPERATION),
            ULONG(IRP_BUFFERED_IO | IRP_INPUT_OPERATION));

  EXPECT_EQ(emu::Write(handle, "abc", 3).status, STATUS_SUCCESS);
  EXPECT_EQ(seen.input, "abc");
  EXPECT_NE(seen.systemBuffer, nullptr);
  EXPECT_FALSE(seen.flags & IRP_INPUT_OPERATION);

  // Device I/O control: one system buffer of the larger length, input at
  // its start, `information` bytes of output copied back.
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF00, METHOD_BUFFERED, FILE_ANY_ACCESS);
  memset(out, '.', sizeof out);
  information = 3;
  result = emu::DeviceIoControl(handle, code, "in", 2, out, 8);
  EXPECT_EQ(result.information, 3u);
  EXPECT_EQ(std::string(out, 4), "rep.");
  EXPECT_EQ(seen.input, "in");
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.IoControlCode, code);
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.InputBufferLength, 2u);
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.OutputBufferLength, 8u);
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.Type3InputBuffer, nullptr);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
}

TEST_F(IoRequest, DirectIoLocksTheCallersPagesInAnMdl) {
  HANDLE handle = OpenDevice(DO_DIRECT_IO, UserMode);
  char out[16] = {};
  emu::IoResult result = emu::Read(handle, out, sizeof out);
  EXPECT_EQ(result.information, reply.size());
  EXPECT_EQ(std::string(out, reply.size()), reply);
  ASSERT_NE(seen.mdl, nullptr);
  EXPECT_EQ(seen.systemBuffer, nullptr);
  EXPECT_EQ(seen.mdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), MDL_PAGES_LOCKED);
  EXPECT_TRUE(seen.mappedFlags & MDL_MAPPED_TO_SYSTEM_VA);
  // The caller's pages mapped to a system address, not the user address.
  EXPECT_FALSE(emu::IsUserAddress(seen.mapped, 1));
  EXPECT_TRUE(emu::IsUserAddress(seen.mdlAddress, 1));

  EXPECT_EQ(emu::Write(handle, "direct", 6).status, STATUS_SUCCESS);
  EXPECT_EQ(seen.input, "direct");
  EXPECT_FALSE(seen.mdlFlags & MDL_WRITE_OPERATION);  // the driver only reads it

  // METHOD_OUT_DIRECT: input in a system buffer, output in an MDL.
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  result = emu::DeviceIoControl(handle, code, "xy", 2, out, 4);
  EXPECT_EQ(seen.input, "xy");
  ASSERT_NE(seen.mdl, nullptr);
  EXPECT_TRUE(seen.mdlFlags & MDL_WRITE_OPERATION);
  EXPECT_EQ(std::string(out, 4), "repl");
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
}

TEST_F(IoRequest, NeitherIoAndInternalControlPassTheCallersPointers) {
  HANDLE handle = OpenDevice(0, KernelMode);
  char out[8] = {};
  const ULONG neither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
  char in[2] = {'a', 'b'};
  emu::DeviceIoControl(handle, neither, in, 2, out, 8);
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.Type3InputBuffer, in);
  EXPECT_EQ(seen.userBuffer, out);
  EXPECT_EQ(seen.systemBuffer, nullptr);
  EXPECT_EQ(seen.mode, KernelMode);

  // Internal device control of a kernel component: no copying at all.
  struct {
    void* message;
    void* data;
  } block = {nullptr, nullptr};
  const ULONG code = 0x8001200C;
  emu::IoResult result = emu::InternalDeviceIoControl(handle, code, &block, 8, nullptr, 0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(seen.sp.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.Type3InputBuffer, &block);
  EXPECT_EQ(seen.sp.Parameters.DeviceIoControl.InputBufferLength, 8u);
  EXPECT_EQ(seen.systemBuffer, nullptr);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
}

class IoRequestDeath : public IoRequest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

TEST_F(IoRequestDeath, CallersAndDriversCannotOverrunBuffers) {
  HANDLE user = OpenDevice(DO_BUFFERED_IO, UserMode);
  EXPECT_DEATH(emu::InternalDeviceIoControl(user, 0x8001200C, nullptr, 0, nullptr, 0),
               "BUG CHECK 0x000000C9.*internal device I/O control from user mode");
  char out[4];
  information = 100;  // more than the caller's buffer holds
  EXPECT_DEATH(emu::Read(user, out, sizeof out), "BUG CHECK 0x000000C9.*100 bytes.*4-byte");
  information = 0;
  EXPECT_EQ(emu::Close(user), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Driver loading.

std::u16string lastRegistryPath;
NTSTATUS entryStatus = STATUS_SUCCESS;
bool createDevice = false;
bool createLink = false;
bool deleteInUnload = true;
bool allocateInEntry = false;
PDEVICE_OBJECT loadedDevice;
PVOID block;

VOID NTAPI LoadUnload(PDRIVER_OBJECT driver) {
  if (deleteInUnload && driver->DeviceObject != nullptr) {
    std::u16string link = u"\\DosDevices\\IoLoadLink";
    UNICODE_STRING unicode = Unicode(link);
    if (createLink)
      IoDeleteSymbolicLink(&unicode);
    IoDeleteDevice(driver->DeviceObject);
  }
}

NTSTATUS NTAPI LoadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  lastRegistryPath.assign(reinterpret_cast<char16_t*>(registryPath->Buffer),
                          registryPath->Length / 2);
  driver->DriverUnload = LoadUnload;
  if (createDevice) {
    std::u16string name = u"\\Device\\IoLoadDevice";
    UNICODE_STRING unicode = Unicode(name);
    IoCreateDevice(driver, 0, &unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &loadedDevice);
    if (createLink) {
      std::u16string link = u"\\DosDevices\\IoLoadLink";
      UNICODE_STRING linkUnicode = Unicode(link);
      IoCreateSymbolicLink(&linkUnicode, &unicode);
    }
  }
  if (allocateInEntry)
    block = ExAllocatePoolWithTag(NonPagedPool, 8, emu::MakePoolTag("IoLd"));
  return entryStatus;
}

class IoLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
    entryStatus = STATUS_SUCCESS;
    createDevice = createLink = allocateInEntry = false;
    deleteInUnload = true;
  }
};

TEST_F(IoLoad, DriverEntryGetsItsServiceKeyAndDevicesAreReadied) {
  createDevice = true;
  PDRIVER_OBJECT driver;
  ASSERT_EQ(emu::LoadDriver("IoLoad", LoadEntry, 0, &driver), STATUS_SUCCESS);
  EXPECT_EQ(lastRegistryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoLoad");
  EXPECT_EQ(driver->Size, sizeof(DRIVER_OBJECT));
  EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
  EXPECT_EQ(driver->DeviceObject, loadedDevice);
  EXPECT_EQ(loadedDevice->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_EQ(emu::FindDriver("ioload"), driver);
  EXPECT_EQ(emu::LoadDriver("IoLoad", LoadEntry, 0, nullptr), STATUS_IMAGE_ALREADY_LOADED);
  // Several drivers at once.
  createDevice = false;
  PDRIVER_OBJECT other;
  ASSERT_EQ(emu::LoadDriver("IoLoadOther", LoadEntry, 0, &other), STATUS_SUCCESS);
  EXPECT_EQ(emu::UnloadDriver(other), STATUS_SUCCESS);
  EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  EXPECT_EQ(emu::FindDriver("IoLoad"), nullptr);

  entryStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(emu::LoadDriver("IoLoad", LoadEntry, 0, &driver), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(emu::FindDriver("IoLoad"), nullptr);
}

TEST_F(IoLoad, DriverThatGoesMustLeaveNothingBehind) {
  createDevice = true;
  deleteInUnload = false;
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver;
        emu::LoadDriver("IoLoad", LoadEntry, 0, &driver);
        emu::UnloadDriver(driver);
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\IoLoad unloaded but left device object .*IoLoadDevice");
  entryStatus = STATUS_UNSUCCESSFUL;
  EXPECT_DEATH(emu::LoadDriver("IoLoad", LoadEntry, 0, nullptr),
               "BUG CHECK 0x000000CE.*failed to load but left device object");

  entryStatus = STATUS_SUCCESS;
  deleteInUnload = true;
  createLink = true;
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver;
        emu::LoadDriver("IoLoad", LoadEntry, 0, &driver);
        createLink = false;  // the unload routine forgets the link
        emu::UnloadDriver(driver);
      },
      "BUG CHECK 0x000000CE.*left symbolic link \\\\\\?\\?\\\\IoLoadLink");

  createDevice = createLink = false;
  allocateInEntry = true;
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver;
        emu::LoadDriver("IoLoad", LoadEntry, emu::MakePoolTag("IoLd"), &driver);
        emu::UnloadDriver(driver);
      },
      "BUG CHECK 0x000000C4");
}

// ---------------------------------------------------------------------------
// Files of drive C.

class IoFiles : public ::testing::Test {
 protected:
  std::string folder;
  void SetUp() override {
    char pattern[] = "/tmp/pellinor-drive-c-XXXXXX";
    folder = mkdtemp(pattern);
    emu::SetDriveC(folder);
  }
  void TearDown() override {
    emu::FailFileCreate(0);
    emu::FailFileWrite(0);
    std::string command = "rm -rf " + folder;
    EXPECT_EQ(system(command.c_str()), 0);
    emu::SetDriveC("./drive_c");
  }

  NTSTATUS Create(const std::u16string& path, ULONG disposition, HANDLE* handle,
                  ULONG share = FILE_SHARE_READ, ACCESS_MASK access = FILE_GENERIC_WRITE,
                  ULONG_PTR* information = nullptr) {
    UNICODE_STRING name = Unicode(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status =
        ZwCreateFile(handle, access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                     disposition, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (information != nullptr)
      *information = iosb.Information;
    return status;
  }

  LONGLONG EndOfFile(HANDLE handle) {
    FILE_STANDARD_INFORMATION info;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(ZwQueryInformationFile(handle, &iosb, &info, sizeof info, FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof info);
    return info.EndOfFile.QuadPart;
  }

  NTSTATUS Append(HANDLE handle, const std::string& text) {
    LARGE_INTEGER offset;
    offset.QuadPart = EndOfFile(handle);
    IO_STATUS_BLOCK iosb;
    return ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char*>(text.data()),
                       text.size(), &offset, nullptr);
  }

  std::string Contents(const std::string& name) {
    std::ifstream in(folder + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(IoFiles, OpenIfAppendsOverwriteIfTruncates) {
  HANDLE handle;
  ULONG_PTR information;
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Test.log", FILE_OPEN_IF, &handle, FILE_SHARE_READ,
                   FILE_GENERIC_WRITE, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, ULONG_PTR(FILE_CREATED));
  EXPECT_EQ(EndOfFile(handle), 0);
  EXPECT_EQ(Append(handle, "one\r\n"), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

  ASSERT_EQ(Create(u"\\??\\c:\\Test.log", FILE_OPEN_IF, &handle, FILE_SHARE_READ,
                   FILE_GENERIC_WRITE, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, ULONG_PTR(FILE_OPENED));
  EXPECT_EQ(EndOfFile(handle), 5);
  EXPECT_EQ(Append(handle, "two\r\n"), STATUS_SUCCESS);
  // A write at an explicit offset lands there.
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char*>("O"), 1,
                        &offset, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 1u);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Contents("Test.log"), "One\r\ntwo\r\n");

  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Test.log", FILE_OVERWRITE_IF, &handle, FILE_SHARE_READ,
                   FILE_GENERIC_WRITE, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, ULONG_PTR(FILE_OVERWRITTEN));
  EXPECT_EQ(EndOfFile(handle), 0);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(emu::HostPathOf(u"\\DosDevices\\C:\\Test.log"), folder + "/Test.log");
}

TEST_F(IoFiles, ShareAccessIsEnforcedBetweenOpens) {
  HANDLE writer, second;
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Shared.log", FILE_OPEN_IF, &writer), STATUS_SUCCESS);
  // Others may read while it is open, not write.
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\Shared.log", FILE_OPEN_IF, &second),
            STATUS_SHARING_VIOLATION);
  HANDLE reader;
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Shared.log", FILE_OPEN, &reader,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_GENERIC_READ),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(reader), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(writer), STATUS_SUCCESS);
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Shared.log", FILE_OPEN_IF, &second), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
}

TEST_F(IoFiles, NamesOutsideTheDriveAndInjectedFailures) {
  HANDLE handle;
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\..\\escape", FILE_OPEN_IF, &handle),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\missing\\x.log", FILE_OPEN_IF, &handle),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(u"\\DosDevices\\D:\\x.log", FILE_OPEN_IF, &handle),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\x.log", FILE_OPEN, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  // A file or folder name the file systems take is at most 255 characters.
  const std::u16string longest(255, u'n');
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\" + longest, FILE_OPEN_IF, &handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\" + longest + u"n", FILE_OPEN_IF, &handle),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\" + longest + u"n\\x.log", FILE_OPEN_IF, &handle),
            STATUS_OBJECT_NAME_INVALID);

  emu::FailFileCreate(2, STATUS_ACCESS_DENIED);
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\x.log", FILE_OPEN_IF, &handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\x.log", FILE_OPEN_IF, &handle), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\x.log", FILE_OPEN_IF, &handle), STATUS_SUCCESS);

  emu::FailFileWrite(1, STATUS_DISK_FULL, /*repeat=*/true);
  EXPECT_EQ(Append(handle, "lost"), STATUS_DISK_FULL);
  EXPECT_EQ(Append(handle, "lost"), STATUS_DISK_FULL);
  emu::FailFileWrite(0);
  EXPECT_EQ(Append(handle, "kept"), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Contents("x.log"), "kept");
}

}  // namespace

// System shutdown: IRP_MJ_SHUTDOWN goes to each registered device itself,
// the last registered first; then no write reaches a volume, until the
// next boot.
TEST_F(IoFiles, ShutdownNotifiesRegisteredDevicesThenRefusesWrites) {
  TestDriver driver("ShutdownNotified");
  std::vector<std::string> seen;
  auto record = [&seen](const char* name) {
    return [&seen, name](PDEVICE_OBJECT, PIRP irp) {
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SHUTDOWN)
        seen.push_back(name);
      return Complete(irp, STATUS_SUCCESS);
    };
  };
  PDEVICE_OBJECT first = driver.CreateDevice(u"First", 0, record("first"));
  PDEVICE_OBJECT second = driver.CreateDevice(u"Second", 0, record("second"));
  PDEVICE_OBJECT quiet = driver.CreateDevice(u"Quiet", 0, record("quiet"));
  PDEVICE_OBJECT deleted = driver.CreateDevice(u"Deleted", 0, record("deleted"));
  ASSERT_EQ(IoRegisterShutdownNotification(first), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterShutdownNotification(second), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterShutdownNotification(quiet), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterShutdownNotification(deleted), STATUS_SUCCESS);
  EXPECT_TRUE(deleted->Flags & DO_SHUTDOWN_REGISTERED);
  IoUnregisterShutdownNotification(quiet);
  EXPECT_FALSE(quiet->Flags & DO_SHUTDOWN_REGISTERED);
  // IoDeleteDevice drops a registration, as on NT.
  driver.DeleteDevice(deleted);

  HANDLE handle;
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Test.log", FILE_OPEN_IF, &handle), STATUS_SUCCESS);
  EXPECT_EQ(Append(handle, "before\r\n"), STATUS_SUCCESS);
  emu::ShutDownSystem();
  EXPECT_EQ(seen, (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(Append(handle, "after\r\n"), STATUS_TOO_LATE);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  emu::RestartSystem();
  ASSERT_EQ(Create(u"\\DosDevices\\C:\\Test.log", FILE_OPEN_IF, &handle), STATUS_SUCCESS);
  EXPECT_EQ(Append(handle, "booted\r\n"), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Contents("Test.log"), "before\r\nbooted\r\n");
  IoUnregisterShutdownNotification(first);
  IoUnregisterShutdownNotification(second);
}

// A registration left when the driver goes would send the request into
// code that is gone; registering twice would send it twice.
TEST(IoShutdownDeathTest, RegistrationLeftAtUnloadOrMadeTwiceBugChecks) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_DEATH(
      {
        TestDriver driver("ShutdownTwice");
        PDEVICE_OBJECT device = driver.CreateDevice(u"Twice", 0, iotest::CompleteWith(STATUS_SUCCESS));
        IoRegisterShutdownNotification(device);
        IoRegisterShutdownNotification(device);
      },
      "BUG CHECK 0x000000C9.*IoRegisterShutdownNotification: device .* is registered already");
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT object = nullptr;
        emu::LoadDriver("ShutdownLeft", iotest::Entry, 0, &object);
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(object, sizeof(void*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        IoRegisterShutdownNotification(device);
        emu::UnloadDriver(object);
      },
      "BUG CHECK 0x000000CE.*driver \\\\Driver\\\\ShutdownLeft unloaded with device .* still registered for "
      "the shutdown notification");
}

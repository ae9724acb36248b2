// The control device driven as the control tool drives it: user-mode opens of
// \\.\PellinorWin32CTL and buffered I/O controls through the emulated I/O
// manager, with the driver loaded.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Files.h"
#include "emu/Process.h"
#include "emu/Registry.h"
#include "emu/Suspend.h"
#include "emu/SystemVersion.h"
#include "tests/emu/IoTestDriver.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "framework/TraceDriver.h"
#include "control/ControlDevice.h"
#include "control/TraceSettings.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

std::vector<uint8_t> Number(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

uint32_t NumberAt(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

class ControlDeviceTest : public ::testing::Test {
 protected:
  PDRIVER_OBJECT driver = nullptr;
  // The control device this test built, when the driver's load did not.
  ControlDevice* own = nullptr;
  HANDLE handle = nullptr;

  void SetUp() override {
    emu::Registry::Clear();
    emu::Registry::ClearFaults();
    // Demand start: the driver loads without tracing.
    emu::Registry::SetDword(kService, u"Start", 3);
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
    if (emu::FindDevice(u"\\Device\\PellinorIOCTL") == nullptr) {
      ASSERT_EQ(CreateControlDevice(&own), STATUS_SUCCESS);
      ASSERT_NE(own, nullptr);
      own->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ASSERT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (handle != nullptr)
      EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
    DestroyControlDevice(own);
    emu::Registry::ClearFaults();
    if (driver != nullptr)
      EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }

  struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> output;
  };

  Reply Control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
    return ControlLengths(code, input, ULONG(input.size()), outputLength);
  }
  // `inputLength` may be shorter than the bytes given: the rest lies in the
  // caller's memory but outside the request's input.
  Reply ControlLengths(ULONG code, const std::vector<uint8_t>& input, ULONG inputLength,
                       ULONG outputLength) {
    Reply reply;
    reply.output.assign(outputLength, 0xEE);
    emu::IoResult result =
        emu::DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(), inputLength,
                             reply.output.empty() ? nullptr : reply.output.data(), outputLength);
    reply.status = result.status;
    reply.information = result.information;
    return reply;
  }

  // A device I/O control built by hand and sent to the control device, with
  // `system` as its system buffer: what lies in the buffer past the input is
  // the test's to choose.
  Reply SendBuilt(ULONG code, std::vector<uint8_t>* system, ULONG inputLength,
                  ULONG outputLength) {
    return SendBuiltMode(code, system, inputLength, outputLength, UserMode);
  }
  Reply SendBuiltMode(ULONG code, std::vector<uint8_t>* system, ULONG inputLength,
                      ULONG outputLength, KPROCESSOR_MODE mode) {
    PDEVICE_OBJECT device = emu::FindDevice(u"\\Device\\PellinorIOCTL");
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->RequestorMode = mode;
    irp->AssociatedIrp.SystemBuffer = system->data();
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    IoCallDriver(device, irp);
    Reply reply{irp->IoStatus.Status, irp->IoStatus.Information, {}};
    IoFreeIrp(irp);
    return reply;
  }
  static NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  static bool Value(const std::u16string& name, uint32_t* type, std::vector<uint8_t>* data) {
    return emu::Registry::GetValue(kService, name, type, data);
  }
  static uint32_t Dword(const std::u16string& name) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_TRUE(Value(name, &type, &data)) << "no value";
    EXPECT_EQ(type, uint32_t(REG_DWORD));
    EXPECT_EQ(data.size(), 4u);
    return data.size() >= 4 ? NumberAt(data.data()) : 0xDEADBEEF;
  }
  static bool Missing(const std::u16string& name) {
    uint32_t type;
    std::vector<uint8_t> data;
    return !Value(name, &type, &data);
  }
  static std::vector<uint8_t> Text(const std::string& text, bool terminator = true) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    if (terminator)
      bytes.push_back(0);
    return bytes;
  }
};

TEST_F(ControlDeviceTest, IsAnExclusiveBufferedDeviceBehindItsLink) {
  PDEVICE_OBJECT device = emu::FindDevice(u"\\Device\\PellinorIOCTL");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(device->Characteristics, 0u);
  EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\PellinorWin32CTL"), u"\\Device\\PellinorIOCTL");
  // One open handle at a time.
  HANDLE second = nullptr;
  EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  handle = nullptr;
  EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle), STATUS_SUCCESS);
}

// Only the local system and administrators control tracing: an ordinary
// user's open is refused before it counts as the one exclusive handle or
// ends the retries, and every control code is refused to an ordinary user
// also through a handle an administrator opened (the codes need no access,
// and a handle can be duplicated into another process).
TEST_F(ControlDeviceTest, AnOrdinaryUserCanNeitherOpenNorControl) {
  emu::Process* user = emu::CreateUserProcess(emu::Identity::User, "user");
  emu::Process* system = emu::CreateUserProcess(emu::Identity::System, "service");
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  handle = nullptr;
  const LONG retriesStopped = stopRetrying;
  {
    emu::ProcessScope asUser(user);
    HANDLE refused = nullptr;
    EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &refused, 0), STATUS_ACCESS_DENIED);
  }
  EXPECT_EQ(stopRetrying, retriesStopped);
  {
    emu::ProcessScope asSystem(system);
    ASSERT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_TRACE_GET_STATE, {}, 4).status, STATUS_SUCCESS);
  }
  const struct {
    ULONG code;
    std::vector<uint8_t> input;
  } requests[] = {
      {IOCTL_TRACE_GET_STATE, {}},         {IOCTL_TRACE_START, {}},
      {IOCTL_TRACE_STOP, {1, 0, 0, 0}},    {IOCTL_TRACE_SET_FLAGS, Number(0x803)},
      {IOCTL_TRACE_SET_B3BYTES, Number(8)}, {IOCTL_TRACE_SET_LOG, Text("C:\\x.log")},
      {IOCTL_TRACE_SET_TARGET, Text("Null")}, {IOCTL_TRACE_SET_LOGLIMIT, Number(1)},
      {IOCTL_TRACE_GET_FLAGS, {}},         {IOCTL_TRACE_GET_B3BYTES, {}},
      {IOCTL_TRACE_GET_LOG, {}},           {IOCTL_TRACE_GET_TARGET, {}},
      {IOCTL_TRACE_GET_LOGLIMIT, {}},       {IOCTL_TRACE_SET_LOGKEEP, Number(3)},
      {IOCTL_TRACE_GET_LOGKEEP, {}},
      {IOCTL_TRACE_GET_VERSION, {}},
  };
  {
    emu::ProcessScope asUser(user);
    for (const auto& request : requests) {
      Reply reply = Control(request.code, request.input, 16);
      EXPECT_EQ(reply.status, STATUS_ACCESS_DENIED) << std::hex << request.code;
      EXPECT_EQ(reply.information, 0u) << std::hex << request.code;
      EXPECT_EQ(reply.output, std::vector<uint8_t>(16, 0xEE)) << std::hex << request.code;
    }
  }
  EXPECT_EQ(Dword(u"Start"), 3u);
  for (const char16_t* name : {u"Pellinor_Flags", u"Pellinor_B3Bytes", u"Pellinor_Log",
                               u"Pellinor_Target", u"Pellinor_LogLimit", u"Pellinor_LogKeep"}) {
    EXPECT_TRUE(Missing(name));
  }
  // The administrator's own requests go on as before.
  EXPECT_EQ(Control(IOCTL_TRACE_SET_FLAGS, Number(0x803), 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Dword(u"Pellinor_Flags"), 0x803u);
  // A kernel-mode requester passes whoever's thread it runs in.
  emu::ProcessScope asUser(user);
  std::vector<uint8_t> system4(4, 0);
  EXPECT_EQ(SendBuiltMode(IOCTL_TRACE_GET_STATE, &system4, 0, 4, KernelMode).status,
            STATUS_SUCCESS);
}

// Windows 98/Me have no security: there everyone may control tracing.
TEST_F(ControlDeviceTest, OnWindows98AnOrdinaryUserControlsTracing) {
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  handle = nullptr;
  DestroyControlDevice(own);
  own = nullptr;
  ASSERT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  driver = nullptr;
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  const NTSTATUS loaded = emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver);
  if (!NT_SUCCESS(loaded))
    driver = nullptr;
  if (NT_SUCCESS(loaded)) {
    emu::ProcessScope asUser(emu::CreateUserProcess(emu::Identity::User, "user"));
    EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_TRACE_SET_FLAGS, Number(0x803), 4).status, STATUS_SUCCESS);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
    handle = nullptr;
  }
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  ASSERT_EQ(loaded, STATUS_SUCCESS);
  EXPECT_EQ(Dword(u"Pellinor_Flags"), 0x803u);
}

TEST_F(ControlDeviceTest, OpeningEndsTheRetriesAndOtherRequestsAreNotImplemented) {
  // The fixture's open stopped the retries of the load-time start for good.
  EXPECT_EQ(stopRetrying, 1);
  char buffer[8] = {};
  emu::IoResult result = emu::Read(handle, buffer, sizeof buffer);
  EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(result.information, 0u);
  result = emu::Write(handle, buffer, sizeof buffer);
  EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
  // Between the groups, below them and above them, and another method.
  for (ULONG code : {0x223C40u, 0x223C0Cu, 0x223C64u, 0x223CA4u, 0x223BFCu, 0x223C01u}) {
    Reply reply = Control(code, Number(1), 4);
    EXPECT_EQ(reply.status, STATUS_NOT_IMPLEMENTED) << std::hex << code;
    EXPECT_EQ(reply.information, 0u) << std::hex << code;
  }
  EXPECT_TRUE(Missing(u"Pellinor_Flags"));
}

TEST_F(ControlDeviceTest, FlagsAreMaskedWhenStoredAndWhenRead) {
  Reply reply = Control(IOCTL_TRACE_SET_FLAGS, Number(0xFFFFFFFF), 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(NumberAt(reply.output.data()), 0xFFFFFACFu);
  EXPECT_EQ(Dword(u"Pellinor_Flags"), 0xFFFFFACFu);
  reply = Control(IOCTL_TRACE_GET_FLAGS, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(NumberAt(reply.output.data()), 0xFFFFFACFu);

  // A value stored by someone else is masked on the way out.
  emu::Registry::SetDword(kService, u"Pellinor_Flags", 0x00010133);
  reply = Control(IOCTL_TRACE_GET_FLAGS, {}, 4);
  EXPECT_EQ(NumberAt(reply.output.data()), 0x00010003u);
}

TEST_F(ControlDeviceTest, DataB3BytesAreLimitedTo32) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {1000, 32}, {0, 0}, {32, 32}, {33, 32}, {0x10000, 32}, {0xFFFFFFFF, 32}, {7, 7}};
  for (const auto& c : cases) {
    Reply reply = Control(IOCTL_TRACE_SET_B3BYTES, Number(c.first), 4);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << c.first;
    EXPECT_EQ(reply.information, 4u);
    EXPECT_EQ(NumberAt(reply.output.data()), c.second) << c.first;
    EXPECT_EQ(Dword(u"Pellinor_B3Bytes"), c.second) << c.first;
  }
  emu::Registry::SetDword(kService, u"Pellinor_B3Bytes", 100000);
  Reply reply = Control(IOCTL_TRACE_GET_B3BYTES, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(NumberAt(reply.output.data()), 32u);
}

// The log's size limit (at most 4095 MB), the older generations kept (1 to
// 9), the caller ids and the user messages (0 or 1): stored limited, read
// back as the writer and the next start will use them.
TEST_F(ControlDeviceTest, LogLimitAndGenerationsAreStoredAndReadWithinTheirLimits) {
  const struct {
    ULONG setCode, getCode;
    const char16_t* value;
    NTSTATUS (*load)(ULONG*);
    std::vector<std::pair<uint32_t, uint32_t>> cases;
  } settings[] = {
      {IOCTL_TRACE_SET_LOGLIMIT, IOCTL_TRACE_GET_LOGLIMIT, u"Pellinor_LogLimit", LoadLogLimit,
       {{64, 64}, {0, 0}, {4095, 4095}, {4096, 4095}, {0x10000, 4095}, {0xFFFFFFFF, 4095}, {1, 1}}},
      {IOCTL_TRACE_SET_LOGKEEP, IOCTL_TRACE_GET_LOGKEEP, u"Pellinor_LogKeep", LoadLogKeep,
       {{3, 3}, {0, 1}, {9, 9}, {10, 9}, {0xFFFFFFFF, 9}, {1, 1}}},
      // The caller ids: 0 or 1, in force as the settings word's bit.
      {IOCTL_TRACE_SET_CALLER, IOCTL_TRACE_GET_CALLER, u"Pellinor_Caller",
       [](ULONG* on) {
         TraceSettings word = 0;
         const NTSTATUS status = LoadTraceSettings(&word);
         *on = (word & TRACE_CALLER_IDS) ? 1 : 0;
         return status;
       },
       {{1, 1}, {0, 0}, {7, 1}, {0xFFFFFFFF, 1}, {0, 0}}},
      {IOCTL_TRACE_SET_USERMESSAGES, IOCTL_TRACE_GET_USERMESSAGES, u"Pellinor_UserMessages",
       [](ULONG* on) {
         TraceSettings word = 0;
         const NTSTATUS status = LoadTraceSettings(&word);
         *on = (word & TRACE_USER_MESSAGES) ? 1 : 0;
         return status;
       },
       {{1, 1}, {0, 0}, {0x80000000, 1}, {0x100, 1}, {0, 0}}},
  };
  for (const auto& s : settings) {
    for (const auto& c : s.cases) {
      Reply reply = Control(s.setCode, Number(c.first), 4);
      EXPECT_EQ(reply.status, STATUS_SUCCESS) << c.first;
      EXPECT_EQ(reply.information, 4u);
      EXPECT_EQ(NumberAt(reply.output.data()), c.second) << c.first;
      EXPECT_EQ(Dword(s.value), c.second) << c.first;
      reply = Control(s.getCode, {}, 4);
      EXPECT_EQ(reply.status, STATUS_SUCCESS);
      EXPECT_EQ(reply.information, 4u);
      EXPECT_EQ(NumberAt(reply.output.data()), c.second) << c.first;
      // What the next trace device's writer will use.
      ULONG loaded = 0;
      EXPECT_EQ(s.load(&loaded), STATUS_SUCCESS);
      EXPECT_EQ(loaded, c.second) << c.first;
    }
  }
  // Stored by hand beyond the limits: read as the writer reads them.
  emu::Registry::SetDword(kService, u"Pellinor_LogLimit", 100000);
  Reply reply = Control(IOCTL_TRACE_GET_LOGLIMIT, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(NumberAt(reply.output.data()), 4095u);
  emu::Registry::SetDword(kService, u"Pellinor_LogKeep", 0);
  reply = Control(IOCTL_TRACE_GET_LOGKEEP, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(NumberAt(reply.output.data()), 1u);
}

TEST_F(ControlDeviceTest, MissingValuesReadAsTheirDefaults) {
  Reply reply = Control(IOCTL_TRACE_GET_B3BYTES, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(NumberAt(reply.output.data()), 32u);
  reply = Control(IOCTL_TRACE_GET_FLAGS, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(NumberAt(reply.output.data()), 3u);
  // No limit.
  reply = Control(IOCTL_TRACE_GET_LOGLIMIT, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(NumberAt(reply.output.data()), 0u);
  // One older generation.
  reply = Control(IOCTL_TRACE_GET_LOGKEEP, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(NumberAt(reply.output.data()), 1u);

  reply = Control(IOCTL_TRACE_GET_TARGET, {}, 64);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 8u);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.output.data()), "CAPI201");
  reply = Control(IOCTL_TRACE_GET_LOG, {}, 64);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 16u);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.output.data()), "C:\\Pellinor.log");

  // A value that is there but cannot be read is a failure, never answered
  // with the default in place of what is stored.
  emu::Registry::SetDword(kService, u"Pellinor_Flags", 0x201);
  emu::Registry::FailValue(u"Pellinor_Flags", STATUS_INSUFFICIENT_RESOURCES, emu::Registry::kRead);
  reply = Control(IOCTL_TRACE_GET_FLAGS, {}, 4);
  EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(reply.information, 0u);
  emu::Registry::SetString(kService, u"Pellinor_Log", u"D:\\x.log");
  emu::Registry::FailValue(u"Pellinor_Log", STATUS_ACCESS_DENIED, emu::Registry::kRead);
  reply = Control(IOCTL_TRACE_GET_LOG, {}, 64);
  EXPECT_EQ(reply.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(reply.information, 0u);
}

TEST_F(ControlDeviceTest, StringsAreStoredAsUtf16AndReadBack) {
  Reply reply = Control(IOCTL_TRACE_SET_TARGET, Text("NRXCAPI"), 0);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 8u);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(Value(u"Pellinor_Target", &type, &data));
  EXPECT_EQ(type, uint32_t(REG_SZ));
  const char16_t expected[] = u"NRXCAPI";
  ASSERT_EQ(data.size(), sizeof expected);  // the terminator included
  EXPECT_EQ(std::memcmp(data.data(), expected, sizeof expected), 0);

  reply = Control(IOCTL_TRACE_GET_TARGET, {}, 64);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 8u);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.output.data()), "NRXCAPI");

  // The string ends at its terminator, whatever follows in the input.
  std::vector<uint8_t> input = Text("D:\\x.log");
  input.push_back('Z');
  reply = Control(IOCTL_TRACE_SET_LOG, input, 0);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 9u);
  reply = Control(IOCTL_TRACE_GET_LOG, {}, 9);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 9u);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.output.data()), "D:\\x.log");
}

TEST_F(ControlDeviceTest, AStringMustEndInsideTheInput) {
  const std::string path = "C:\\Trace\\a.log";  // 14 characters
  ASSERT_EQ(path.size(), 14u);
  Reply reply = Control(IOCTL_TRACE_SET_LOG, Text(path), 0);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 15u);
  emu::Registry::DeleteValue(kService, u"Pellinor_Log");

  // The terminator lies outside the input but inside the shared system
  // buffer (a longer output; the I/O manager leaves that part as it
  // finds it, here a zero): refused, measured, nothing written.
  std::vector<uint8_t> system(64, 0xEE);
  std::memcpy(system.data(), path.c_str(), path.size() + 1);
  reply = SendBuilt(IOCTL_TRACE_SET_LOG, &system, 14, 64);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(reply.information, 15u);
  EXPECT_TRUE(Missing(u"Pellinor_Log"));
  // The same through the I/O manager: whatever lies past the input, the
  // string is refused and nothing is written.
  reply = ControlLengths(IOCTL_TRACE_SET_LOG, Text(path), 14, 64);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_TRUE(Missing(u"Pellinor_Log"));

  // No terminator inside the system buffer at all: refused without a read
  // past it (the bytes beyond it are the caller's, never looked at).
  reply = ControlLengths(IOCTL_TRACE_SET_LOG, Text(path), 14, 0);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(reply.information, 0u);
  reply = ControlLengths(IOCTL_TRACE_SET_TARGET, Text(path, false), 14, 14);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(Missing(u"Pellinor_Log"));
  EXPECT_TRUE(Missing(u"Pellinor_Target"));

  // No buffer at all.
  reply = Control(IOCTL_TRACE_SET_TARGET, {}, 0);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(Missing(u"Pellinor_Target"));

  // The empty string is a string: stored as a lone terminator.
  reply = Control(IOCTL_TRACE_SET_TARGET, Text(""), 0);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 1u);
  EXPECT_FALSE(Missing(u"Pellinor_Target"));
}

TEST_F(ControlDeviceTest, ShortBuffersAreRefusedAndWriteNothing) {
  Reply reply = Control(IOCTL_TRACE_GET_STATE, {}, 2);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(reply.information, 0u);
  reply = Control(IOCTL_TRACE_GET_STATE, {}, 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(NumberAt(reply.output.data()), TRACE_STATE_NONE);

  for (ULONG code : {IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_SET_B3BYTES, IOCTL_TRACE_SET_LOGLIMIT}) {
    reply = Control(code, {1, 2, 3}, 4);
    EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER) << std::hex << code;
    EXPECT_EQ(reply.information, 4u);
    // No buffer at all.
    reply = Control(code, {}, 0);
    EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER) << std::hex << code;
  }
  EXPECT_TRUE(Missing(u"Pellinor_Flags"));
  EXPECT_TRUE(Missing(u"Pellinor_B3Bytes"));
  EXPECT_TRUE(Missing(u"Pellinor_LogLimit"));
  for (ULONG code : {IOCTL_TRACE_GET_FLAGS, IOCTL_TRACE_GET_B3BYTES, IOCTL_TRACE_GET_LOGLIMIT}) {
    reply = Control(code, {}, 3);
    EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER) << std::hex << code;
    EXPECT_EQ(reply.information, 4u);
  }

  // A number stored without room to return it: the store happens, and no
  // byte is claimed for an output buffer that cannot hold it.
  reply = Control(IOCTL_TRACE_SET_FLAGS, Number(0x0B03), 2);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(Dword(u"Pellinor_Flags"), 0x0A03u);
  reply = Control(IOCTL_TRACE_SET_LOGLIMIT, Number(5000), 0);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(Dword(u"Pellinor_LogLimit"), 4095u);
}

TEST_F(ControlDeviceTest, StringReadsStayInsideTheOutputBuffer) {
  // Room for the characters but not the terminator, and less: an overflow,
  // a terminated prefix, never more bytes than the output holds.
  for (ULONG length : {7u, 4u, 1u}) {
    Reply reply = Control(IOCTL_TRACE_GET_TARGET, {}, length);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW) << length;
    ASSERT_LE(reply.information, length);
    ASSERT_GE(reply.information, 1u);
    EXPECT_EQ(reply.output[reply.information - 1], 0) << length;
  }
  Reply reply = Control(IOCTL_TRACE_GET_TARGET, {}, 8);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 8u);
  // No buffer at all.
  reply = Control(IOCTL_TRACE_GET_LOG, {}, 0);
  EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(reply.information, 1u);
}

TEST_F(ControlDeviceTest, RegistryWriteFailuresAreTheRequestsStatus) {
  emu::Registry::FailValue(u"Pellinor_Flags", STATUS_ACCESS_DENIED, emu::Registry::kWrite);
  Reply reply = Control(IOCTL_TRACE_SET_FLAGS, Number(1), 4);
  EXPECT_EQ(reply.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(reply.information, 4u);
  emu::Registry::FailValue(u"Pellinor_Log", STATUS_INSUFFICIENT_RESOURCES, emu::Registry::kWrite);
  reply = Control(IOCTL_TRACE_SET_LOG, Text("C:\\x"), 0);
  EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(reply.information, 5u);
  emu::Registry::FailValue(u"Pellinor_LogLimit", STATUS_ACCESS_DENIED, emu::Registry::kWrite);
  reply = Control(IOCTL_TRACE_SET_LOGLIMIT, Number(64), 4);
  EXPECT_EQ(reply.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_TRUE(Missing(u"Pellinor_Flags"));
  EXPECT_TRUE(Missing(u"Pellinor_Log"));
  EXPECT_TRUE(Missing(u"Pellinor_LogLimit"));
  // The conversion's temporary copy was freed on the failure path too.
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("Strg")).blocks, 0u);
}

TEST_F(ControlDeviceTest, StartAndStopWriteTheStartValue) {
  // Without a traced device the start fails, and the next load must not
  // try again.
  Reply reply = Control(IOCTL_TRACE_START, {}, 0);
  EXPECT_EQ(reply.status, STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(Dword(u"Start"), 1u);

  emu::Registry::SetDword(kService, u"Start", 2);
  reply = Control(IOCTL_TRACE_STOP, {1, 0, 0, 0}, 0);
  EXPECT_EQ(reply.status, STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(Dword(u"Start"), 1u);

  // A failing write of Start changes nothing of the request's result.
  emu::Registry::FailValue(u"Start", STATUS_ACCESS_DENIED, emu::Registry::kWrite);
  reply = Control(IOCTL_TRACE_STOP, {}, 0);
  EXPECT_EQ(reply.status, STATUS_DEVICE_DOES_NOT_EXIST);
}

// The tool's own process may suspend the thread of a control request. A
// start holds the tracing lock while it opens the traced device; suspended
// there, it must not keep the next control request (nor the unload)
// waiting: the lock is held in a critical region, where the suspension
// waits until the lock is given back.
TEST_F(ControlDeviceTest, ASuspendedRequestHoldsNoLockTheNextOneNeeds) {
  static KEVENT go;
  static std::atomic<bool> opening;
  char folder[] = "/tmp/pellinor-suspend-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  emu::SetDriveC(folder);
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  opening = false;
  iotest::TestDriver target("HeldTarget");
  target.CreateDevice(u"CAPI201", 0, [](PDEVICE_OBJECT, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE && !opening.exchange(true))
      KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    const bool plain = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    return iotest::Complete(irp, plain ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
  });
  Reply start;
  std::thread starter([this, &start] { start = Control(IOCTL_TRACE_START, {}, 0); });
  while (!opening) std::this_thread::yield();
  // Asked for while the start waits in the target's open, with the lock.
  emu::SuspendThread(starter.get_id());
  KeSetEvent(&go, 0, FALSE);
  auto state = std::async(std::launch::async, [this] {
    return Control(IOCTL_TRACE_GET_STATE, {}, 4);
  });
  // A bound on a hang, not a measure of speed: without the critical region
  // the state request waits until the start is resumed.
  const bool answered = state.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  EXPECT_TRUE(answered) << "the state request waits for the suspended start's lock";
  emu::ResumeThread(starter.get_id());
  starter.join();
  Reply reply = state.get();
  EXPECT_EQ(start.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  ASSERT_EQ(reply.output.size(), 4u);
  EXPECT_EQ(NumberAt(reply.output.data()), TRACE_STATE_RUNNING);
  EXPECT_EQ(Control(IOCTL_TRACE_STOP, {1, 0, 0, 0}, 0).status, STATUS_SUCCESS);
  emu::SetDriveC("./drive_c");
  std::filesystem::remove_all(folder);
}

// Critical regions are counted per thread: leaving one more often than
// entering, or a request of user mode ending inside one, stops the system.
TEST(CriticalRegionDeathTest, UnbalancedRegionsBugCheck) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_DEATH(KeLeaveCriticalRegion(),
               "BUG CHECK 0x00000001: APC_INDEX_MISMATCH: KeLeaveCriticalRegion without");
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("RegionLeft");
        driver.CreateDevice(u"RegionLeft", 0, [](PDEVICE_OBJECT, PIRP irp) {
          KeEnterCriticalRegion();
          return iotest::Complete(irp, STATUS_SUCCESS);
        });
        HANDLE handle = nullptr;
        emu::Open(u"\\Device\\RegionLeft", UserMode, &handle);
      },
      "BUG CHECK 0x00000001: APC_INDEX_MISMATCH: a request of user mode returns to user mode "
      "inside a critical region");
}

TEST_F(ControlDeviceTest, RequestsAfterDestructionBeganChangeNothing) {
  PDEVICE_OBJECT object = emu::FindDevice(u"\\Device\\PellinorIOCTL");
  ASSERT_NE(object, nullptr);
  Device* device = Device::FromDeviceObject(object);
  // What the driver's Cleanup does before it destroys the trace device.
  device->Guard().ReleaseAndWait();
  Reply reply = Control(IOCTL_TRACE_START, {}, 0);
  EXPECT_EQ(reply.status, STATUS_DELETE_PENDING);
  reply = Control(IOCTL_TRACE_SET_FLAGS, Number(1), 4);
  EXPECT_EQ(reply.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(Dword(u"Start"), 3u);
  EXPECT_TRUE(Missing(u"Pellinor_Flags"));
  // Closing the handle still works.
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  handle = nullptr;
}

// The control device's creation failures, as the driver's load meets them
// (or, where the load does not build the device, as CreateControlDevice
// reports them to its caller).
class ControlDeviceCreation : public ::testing::Test {
 protected:
  bool builtAtLoad = false;
  PDRIVER_OBJECT driver = nullptr;

  void SetUp() override {
    emu::Registry::Clear();
    emu::Registry::SetDword(kService, u"Start", 3);
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
    builtAtLoad = emu::FindDevice(u"\\Device\\PellinorIOCTL") != nullptr;
    if (builtAtLoad) {
      EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
      driver = nullptr;
    }
  }
  void TearDown() override {
    emu::Pool::ClearFaults();
    emu::FailDeviceCreation(0);
    if (driver != nullptr)
      EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  }

  // Builds the control device as the driver's load does; the status of the
  // creation (the load's status when the load builds it) and whether a
  // control device now exists.
  NTSTATUS Create(bool* exists) {
    NTSTATUS status;
    if (builtAtLoad) {
      status = emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver);
      if (!NT_SUCCESS(status))
        driver = nullptr;
      *exists = emu::FindDevice(u"\\Device\\PellinorIOCTL") != nullptr;
      if (driver != nullptr)
        EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
      driver = nullptr;
      return status;
    }
    ControlDevice* device = reinterpret_cast<ControlDevice*>(1);
    status = CreateControlDevice(&device);
    *exists = device != nullptr;
    EXPECT_EQ(device != nullptr, emu::FindDevice(u"\\Device\\PellinorIOCTL") != nullptr);
    DestroyControlDevice(device);
    return status;
  }
};

TEST_F(ControlDeviceCreation, FailuresLeaveNothingBehind) {
  bool exists = true;
  emu::FailDeviceCreation(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Create(&exists), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(exists);

  // The link's name is taken: the device object goes again.
  std::u16string linkText = u"\\DosDevices\\PellinorWin32CTL";
  std::u16string elsewhereText = u"\\Device\\Elsewhere";
  UNICODE_STRING link = {USHORT(linkText.size() * 2), USHORT(linkText.size() * 2),
                         reinterpret_cast<PWSTR>(&linkText[0])};
  UNICODE_STRING elsewhere = {USHORT(elsewhereText.size() * 2), USHORT(elsewhereText.size() * 2),
                              reinterpret_cast<PWSTR>(&elsewhereText[0])};
  ASSERT_EQ(IoCreateSymbolicLink(&link, &elsewhere), STATUS_SUCCESS);
  EXPECT_EQ(Create(&exists), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(exists);
  EXPECT_EQ(emu::FindDevice(u"\\Device\\PellinorIOCTL"), nullptr);
  EXPECT_EQ(emu::SymbolicLinkTarget(linkText), elsewhereText);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);

  // The object itself cannot be allocated (the first non-paged block): the
  // driver goes on without a control device.
  emu::PoolFault fault;
  fault.poolType = NonPagedPool;
  fault.tag = POOL_TAG;
  emu::Pool::InjectFault(fault);
  EXPECT_EQ(Create(&exists), STATUS_SUCCESS);
  emu::Pool::ClearFaults();
  EXPECT_FALSE(exists);
}

}  // namespace

// The trace driver above a scripted CAPI device: creating the trace device,
// its log (banner, target query, start and stop blocks), the traffic it
// records, and the start and stop of tracing, with whole logs compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <cstring>
#include <thread>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "tests/filter/FilterHarness.h"

#include "control/TraceDevice.h"
#include "framework/Pool.h"
#include "framework/TraceDriver.h"
#include "trace/CapiIoctl.h"

namespace filtertest {
namespace {

// A short call's messages as a user-mode application exchanges them.
const char kConnectReq[] =
    "1a 00 01 00 02 80 01 00 01 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00";
const char kConnectConf[] = "0e 00 01 00 02 81 01 00 01 01 00 00 00 00";
const char kManufacturerReq[] =
    "1a 00 01 00 ff 80 02 00 01 00 00 00 44 33 22 11 01 00 00 00 02 00 00 00 00 00";

std::vector<uint8_t> DataB3Req(uint16_t payload) {
  std::vector<uint8_t> message = tracetest::DataB3(0x80, payload);
  for (uint16_t i = 0; i < payload; ++i) message.push_back(uint8_t('A' + i % 26));
  return message;
}

class Tracing : public ::testing::Test {
 protected:
  void TearDown() override {
    system.Unload();
    lower_.reset();
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }

  // Loads the driver and builds the trace device (Start 3: at the tool's
  // request).
  void StartTrace() {
    Lower();
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
    ASSERT_EQ(system.Driver()->TraceState(), 1u);
  }

  HANDLE OpenUser() {
    HANDLE handle = nullptr;
    EXPECT_EQ(emu::Open(u"\\Device\\CAPI201", UserMode, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Lower().Last(IRP_MJ_CREATE).mode, UserMode);
    return handle;
  }

  // One user-mode call: register, put a CONNECT_REQ, read its confirmation,
  // a DATA_B3_REQ write, release.
  void UserCall(HANDLE file = nullptr, uint16_t payload = 40) {
    HANDLE handle = file != nullptr ? file : OpenUser();
    uint8_t params[12] = {2, 0, 0, 0, 7, 0, 0, 0, 0, 8, 0, 0};
    uint8_t id[4] = {};
    emu::IoResult result = emu::DeviceIoControl(handle, CAPI_REGISTER, params, 12, id, 4);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_DEVICE_CONTROL), IRP_MJ_DEVICE_CONTROL, 4, 12,
                        CAPI_REGISTER);
    std::vector<uint8_t> connect = Message(kConnectReq);
    result = emu::Write(handle, connect.data(), ULONG(connect.size()));
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_WRITE), IRP_MJ_WRITE, ULONG(connect.size()));
    Lower().QueueMessage(Message(kConnectConf));
    uint8_t buffer[200] = {};
    result = emu::Read(handle, buffer, sizeof buffer);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_READ), IRP_MJ_READ, sizeof buffer);
    EXPECT_EQ(result.information, 14u);
    std::vector<uint8_t> manufacturer = Message(kManufacturerReq);
    result = emu::Write(handle, manufacturer.data(), ULONG(manufacturer.size()));
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_WRITE), IRP_MJ_WRITE,
                        ULONG(manufacturer.size()));
    std::vector<uint8_t> data = DataB3Req(payload);
    result = emu::Write(handle, data.data(), ULONG(data.size()));
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_WRITE), IRP_MJ_WRITE, ULONG(data.size()));
    uint8_t app[4] = {1, 0, 0, 0};
    result = emu::DeviceIoControl(handle, CAPI_RELEASE, app, 4, nullptr, 0);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_DEVICE_CONTROL), IRP_MJ_DEVICE_CONTROL, 0, 4,
                        CAPI_RELEASE);
    if (file == nullptr)
      EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }

  // One kernel-mode client's call through internal I/O controls, its
  // messages in kernel memory behind a parameter block.
  void KernelCall(uint16_t payload = 48) {
    HANDLE handle = nullptr;
    ASSERT_EQ(emu::Open(u"\\Device\\CAPI201", KernelMode, &handle), STATUS_SUCCESS);
    std::vector<uint8_t> connect = Message(kConnectReq);
    CAPI_PARAMETER_BLOCK block = {ULONG(ULONG_PTR(connect.data())), 0};
    emu::IoResult result =
        emu::InternalDeviceIoControl(handle, CAPI_PUT_MESSAGE, &block, 8, nullptr, 0);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_PUT_MESSAGE);
    EXPECT_EQ(Lower().Last(IRP_MJ_INTERNAL_DEVICE_CONTROL).parameter4, &block);

    Lower().QueueMessage(Message(kConnectConf));
    uint8_t message[200] = {};
    uint8_t data[2048] = {};
    CAPI_PARAMETER_BLOCK get = {ULONG(ULONG_PTR(message)), ULONG(ULONG_PTR(data))};
    result = emu::InternalDeviceIoControl(handle, CAPI_GET_MESSAGE, &get, 8, nullptr, 0);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_GET_MESSAGE);

    std::vector<uint8_t> b3 = tracetest::DataB3(0x80, payload);
    std::vector<uint8_t> bytes(payload);
    for (uint16_t i = 0; i < payload; ++i) bytes[i] = uint8_t('a' + i % 26);
    CAPI_PARAMETER_BLOCK put = {ULONG(ULONG_PTR(b3.data())), ULONG(ULONG_PTR(bytes.data()))};
    result = emu::InternalDeviceIoControl(handle, CAPI_PUT_MESSAGE, &put, 8, nullptr, 0);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_PUT_MESSAGE);

    std::vector<uint8_t> indication = tracetest::DataB3(0x82, payload);
    Lower().QueueMessage(indication, bytes);
    result = emu::InternalDeviceIoControl(handle, CAPI_GET_MESSAGE, &get, 8, nullptr, 0);
    ExpectPassedThrough(result, Lower().Last(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 8, CAPI_GET_MESSAGE);
    EXPECT_EQ(memcmp(data, bytes.data(), payload), 0);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }

  std::string StopAndReadLog() {
    EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
    EXPECT_EQ(system.Driver()->TraceState(), 0u);
    return system.Log();
  }

  // The CAPI device of the test: the default one unless a test makes its
  // own first.
  LowerCapi& Lower(LowerConfig config = LowerConfig()) {
    if (!lower_)
      lower_ = std::make_unique<LowerCapi>(std::move(config));
    return *lower_;
  }

  TracedSystem system;
  std::unique_ptr<LowerCapi> lower_;
};

TEST_F(Tracing, UserModeCallWithTheDefaultSettings) {
  StartTrace();
  UserCall();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("user_call_default.log", log));
}

// The flag combinations that change the text, one whole log each.
struct FlagCase {
  const char* golden;
  uint32_t flags;
  uint32_t b3Bytes;
};

class TracingFlags : public Tracing, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(TracingFlags, UserModeCall) {
  SetFlags(GetParam().flags);
  SetB3Bytes(GetParam().b3Bytes);
  StartTrace();
  UserCall();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden(GetParam().golden, log));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, TracingFlags,
    ::testing::Values(FlagCase{"user_call_messages_only.log", 0x0001, 32},
                      FlagCase{"user_call_functions_only.log", 0x0002, 32},
                      FlagCase{"user_call_hide_manufacturer.log", 0x0203, 32},
                      FlagCase{"user_call_hide_user_mode.log", 0x0803, 32},
                      FlagCase{"user_call_b3bytes_0.log", 0x0003, 0},
                      FlagCase{"user_call_b3bytes_32.log", 0x0003, 32}),
    [](const ::testing::TestParamInfo<FlagCase>& info) {
      std::string name = info.param.golden;
      name = name.substr(0, name.find('.'));
      name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
      return name;
    });

TEST_F(Tracing, KernelModeClient) {
  StartTrace();
  KernelCall();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("kernel_call.log", log));
}

TEST_F(Tracing, KernelModeClientWithMessagesOnly) {
  SetFlags(0x0001);
  StartTrace();
  KernelCall();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("kernel_call_messages_only.log", log));
}

// The target query: a maker's device with three controllers, and the ways
// the query's requests fail.
TEST_F(Tracing, MakersTargetWithThreeControllers) {
  LowerConfig config;
  config.manufacturer = "NRX ISDN Systems";
  config.controllers.resize(3);
  config.controllers[0].manufacturerMajor = 0x32;
  config.controllers[0].manufacturerMinor = 0x17;
  config.controllers[1].serial = "7654321";
  config.controllers[1].manufacturerMajor = 0xAB;
  config.controllers[1].manufacturerMinor = 0xCD;
  config.controllers[2].serial = "ABCDEFGH";  // fills its 8 bytes, no terminating zero
  config.controllers[2].bChannels = 30;
  Lower(config);
  StartTrace();
  UserCall();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("maker_three_controllers.log", log));
}

struct QueryFailure {
  const char* golden;
  ULONG code;
  ULONG controller;
  NTSTATUS status;
  size_t controllers;
};

class TargetQueryFailure : public Tracing, public ::testing::WithParamInterface<QueryFailure> {};

TEST_P(TargetQueryFailure, IsReportedInTheQueryBlocks) {
  LowerConfig config;
  config.controllers.resize(GetParam().controllers);
  config.failCode = GetParam().code;
  config.failController = GetParam().controller;
  config.failStatus = GetParam().status;
  // A manufacturer string that fills the whole 64-byte answer.
  if (GetParam().code == CAPI_GET_PROFILE)
    config.manufacturer = std::string(64, 'M');
  Lower(config);
  StartTrace();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden(GetParam().golden, log));
}

INSTANTIATE_TEST_SUITE_P(
    Query, TargetQueryFailure,
    ::testing::Values(
        QueryFailure{"query_manufacturer_fails.log", CAPI_GET_MANUFACTURER, 0,
                     STATUS_NOT_SUPPORTED, 2},
        QueryFailure{"query_profile_fails.log", CAPI_GET_PROFILE, 0, STATUS_NOT_SUPPORTED, 2},
        QueryFailure{"query_version_fails.log", CAPI_GET_VERSION, 2, STATUS_NOT_IMPLEMENTED, 3},
        QueryFailure{"query_serial_fails.log", CAPI_GET_SERIAL, 1, NTSTATUS(0xC0000185), 2},
        QueryFailure{"query_controller_profile_fails.log", CAPI_GET_PROFILE, 2,
                     STATUS_INVALID_PARAMETER, 2}),
    [](const ::testing::TestParamInfo<QueryFailure>& info) {
      std::string name = info.param.golden;
      name = name.substr(0, name.find('.'));
      name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
      return name;
    });

// Starting and stopping.

TEST_F(Tracing, StartWhileTracingAddsOnlyAStartBlock) {
  StartTrace();
  // One file for both calls: a file object's address may be reused once it
  // is freed, and the log names files by address.
  HANDLE handle = OpenUser();
  UserCall(handle);
  SetFlags(0x0001);
  SetB3Bytes(8);
  EXPECT_EQ(system.Driver()->RestartTracing(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
  UserCall(handle);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("start_while_tracing.log", log));
}

TEST_F(Tracing, StopWithoutForceWhileARequestIsPendingKeepsTheDevice) {
  StartTrace();
  HANDLE handle = OpenUser();
  Lower().SetCompletion(IRP_MJ_READ, Completion::kHold);
  Lower().QueueMessage(Message(kConnectConf));
  emu::IoResult read{};
  uint8_t buffer[64] = {};
  std::thread reader([&] { read = emu::Read(handle, buffer, sizeof buffer); });
  Lower().WaitHeld(1);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 2u);  // quiet, still there
  Lower().ReleaseHeld();
  reader.join();
  ExpectPassedThrough(read, Lower().Last(IRP_MJ_READ), IRP_MJ_READ, sizeof buffer);
  EXPECT_EQ(read.information, 14u);
  Lower().SetCompletion(IRP_MJ_READ, Completion::kAtOnce);

  // The same device and log again: no banner, no query. (The first file
  // stays open, so that the second has an address of its own in the log.)
  EXPECT_EQ(system.Driver()->RestartTracing(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 1u);
  UserCall();
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("stop_pending_restart.log", log));
}

TEST_F(Tracing, ForcedStopWaitsForThePendingRequest) {
  StartTrace();
  HANDLE handle = OpenUser();
  Lower().SetCompletion(IRP_MJ_READ, Completion::kHold);
  Lower().QueueMessage(Message(kConnectConf));
  emu::IoResult read{};
  uint8_t buffer[64] = {};
  std::thread reader([&] { read = emu::Read(handle, buffer, sizeof buffer); });
  Lower().WaitHeld(1);
  std::thread stopper([&] { EXPECT_EQ(system.Driver()->StopTraceDevice(1), STATUS_SUCCESS); });
  // Once the stop block has reached the log, the destruction is waiting
  // for the held read, with the log writer still there.
  while (system.Drive().Read("pellinor.log").find("Stop Tracing") == std::string::npos)
    std::this_thread::yield();
  Lower().ReleaseHeld();
  reader.join();
  stopper.join();
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  ExpectPassedThrough(read, Lower().Last(IRP_MJ_READ), IRP_MJ_READ, sizeof buffer);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  std::string log = system.Log();
  EXPECT_EQ(log, Golden("forced_stop.log", log));
}

TEST_F(Tracing, UnloadWhileTracingWritesStopTracingFirst) {
  StartTrace();
  UserCall();
  system.Unload();
  std::string log = system.Log();
  EXPECT_EQ(log, Golden("unload_while_tracing.log", log));
}

TEST_F(Tracing, StartWithAMissingTargetLogsNothing) {
  SetTarget(u"NoSuchCapi");
  Lower();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->CreateTraceDevice(), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_EQ(system.Driver()->RestartTracing(), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  EXPECT_EQ(system.Driver()->StopTraceDevice(1), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_EQ(system.Drive().Read("pellinor.log"), "");
  // A full object path is opened as it stands.
  SetTarget(u"\\Device\\CAPI201");
  EXPECT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->CreateTraceDevice(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_NE(system.Log().find("Tracing CAPI device \"\\Device\\CAPI201\""), std::string::npos);
}

TEST_F(Tracing, StartWithALogThatCannotBeCreatedLeavesNoDevice) {
  SetLog(u"C:\\no such folder\\pellinor.log");
  Lower();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  NTSTATUS status = system.Driver()->CreateTraceDevice();
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  // The target was released again: the filter never attached.
  EXPECT_EQ(emu::StackTop(Lower().Device()), Lower().Device());
}

TEST_F(Tracing, ALongTargetNameIsCutInsideTheBanner) {
  std::u16string name(700, u'X');
  SetTarget(u"\\Device\\CAPI201");
  Lower();
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  // Through a symbolic link whose name is too long for the banner.
  std::u16string link = u"\\DosDevices\\" + name;
  std::u16string target = u"\\Device\\CAPI201";
  UNICODE_STRING linkName = iotest::Unicode(link);
  UNICODE_STRING targetName = iotest::Unicode(target);
  ASSERT_EQ(IoCreateSymbolicLink(&linkName, &targetName), STATUS_SUCCESS);
  SetTarget(link);
  ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&linkName), STATUS_SUCCESS);
  std::string log = system.Log();
  size_t start = log.find("Tracing CAPI device \"\\DosDevices\\XXX");
  ASSERT_NE(start, std::string::npos);
  size_t end = log.find("\"\r\n", start);
  ASSERT_NE(end, std::string::npos);
  // The whole banner (80 + 2 characters a rule) stayed inside 800 bytes.
  size_t bannerStart = log.find("------");
  EXPECT_LT(end + 3 - bannerStart, 800u + 6);
  EXPECT_LT(end - start, 700u);
}

}  // namespace
}  // namespace filtertest

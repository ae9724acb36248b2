// The trace driver above a scripted CAPI device: creating the trace device,
// its log (banner, target query, start and stop blocks), the traffic it
// records, and the start and stop of tracing, with whole logs compared.
#include <gtest/gtest.h>

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
const char kManufacturerReq[] = "0e 00 01 00 ff 80 02 00 01 00 00 00 00 00";

std::vector<uint8_t> DataB3Req(uint16_t payload) {
  std::vector<uint8_t> message = tracetest::DataB3(0x80, payload);
  for (uint16_t i = 0; i < payload; ++i) message.push_back(uint8_t('A' + i % 26));
  return message;
}

class Tracing : public ::testing::Test {
 protected:
  void TearDown() override {
    system.Unload();
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }

  // Loads the driver and builds the trace device (Start 3: at the tool's
  // request).
  void StartTrace() {
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
    ASSERT_EQ(system.Driver()->TraceState(), 1u);
  }

  HANDLE OpenUser() {
    HANDLE handle = nullptr;
    EXPECT_EQ(emu::Open(u"\\Device\\CAPI201", UserMode, &handle), STATUS_SUCCESS);
    EXPECT_EQ(lower.Last(IRP_MJ_CREATE).mode, UserMode);
    return handle;
  }

  // One user-mode call: register, put a CONNECT_REQ, read its confirmation,
  // a DATA_B3_REQ write, release.
  void UserCall(uint16_t payload = 40) {
    HANDLE handle = OpenUser();
    uint8_t params[12] = {2, 0, 0, 0, 7, 0, 0, 0, 0, 8, 0, 0};
    uint8_t id[4] = {};
    emu::IoResult result = emu::DeviceIoControl(handle, CAPI_REGISTER, params, 12, id, 4);
    ExpectPassedThrough(result, lower.Last(IRP_MJ_DEVICE_CONTROL), IRP_MJ_DEVICE_CONTROL, 4, 12,
                        CAPI_REGISTER);
    std::vector<uint8_t> connect = Message(kConnectReq);
    result = emu::Write(handle, connect.data(), ULONG(connect.size()));
    ExpectPassedThrough(result, lower.Last(IRP_MJ_WRITE), IRP_MJ_WRITE, ULONG(connect.size()));
    lower.QueueMessage(Message(kConnectConf));
    uint8_t buffer[200] = {};
    result = emu::Read(handle, buffer, sizeof buffer);
    ExpectPassedThrough(result, lower.Last(IRP_MJ_READ), IRP_MJ_READ, sizeof buffer);
    EXPECT_EQ(result.information, 14u);
    std::vector<uint8_t> data = DataB3Req(payload);
    result = emu::Write(handle, data.data(), ULONG(data.size()));
    ExpectPassedThrough(result, lower.Last(IRP_MJ_WRITE), IRP_MJ_WRITE, ULONG(data.size()));
    uint8_t app[4] = {1, 0, 0, 0};
    result = emu::DeviceIoControl(handle, CAPI_RELEASE, app, 4, nullptr, 0);
    ExpectPassedThrough(result, lower.Last(IRP_MJ_DEVICE_CONTROL), IRP_MJ_DEVICE_CONTROL, 0, 4,
                        CAPI_RELEASE);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }

  std::string StopAndReadLog() {
    EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
    EXPECT_EQ(system.Driver()->TraceState(), 0u);
    return system.Log();
  }

  TracedSystem system;
  LowerCapi lower;
};

TEST_F(Tracing, UserModeCallWithTheDefaultSettings) {
  StartTrace();
  UserCall();
  std::string log = StopAndReadLog();
  EXPECT_EQ(log, Golden("user_call_default.log", log));
}

}  // namespace
}  // namespace filtertest

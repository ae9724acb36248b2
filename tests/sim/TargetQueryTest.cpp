// The requests the tracer's target query sends (kernel-mode I/O controls
// with the input value in the system buffer, straight to the device) get
// the answers that query reads, whether the provider completes them at once
// or later from its DPC.
#include "tests/sim/SimTestSupport.h"

#include "trace/InternalRequest.h"
#include "trace/NameTables.h"

namespace simtest {
namespace {

class TargetQuery : public ProviderTest, public ::testing::WithParamInterface<bool> {
 protected:
  void Open() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(sim::kCapiDeviceName));
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file_, &device_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (file_ != nullptr)
      ObDereferenceObject(file_);
    ProviderTest::TearDown();
  }
  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Completion, TargetQuery, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pending" : "AtOnce"; });

TEST_P(TargetQuery, AnswersWhatTheQueryReads) {
  sim::CapiDeviceConfig config;
  config.manufacturer = "NRX query target";
  config.controllers.resize(3);
  config.controllers[0].serial = "A1";
  config.controllers[1].serial = "B2";
  config.controllers[2].serial = "C3";
  config.controllers[2].bChannels = 30;
  config.controllers[1].manufacturerMajor = 0x32;
  config.controllers[1].manufacturerMinor = 0x17;
  config.failures.push_back({CAPI_GET_VERSION, 3, STATUS_NOT_IMPLEMENTED});
  config.SetAllPending(GetParam());
  Load(config);
  Open();
  InternalRequest request(device_, file_);
  uint8_t buffer[64];
  std::memset(buffer, 0xEE, sizeof(buffer));

  EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_MANUFACTURER, buffer, 64, 0), STATUS_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "NRX query target");
  EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_PROFILE, buffer, 64, 0), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0] | buffer[1] << 8, 3);

  uint32_t channels = 0;
  for (ULONG controller = 1; controller <= 3; ++controller) {
    EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_SERIAL, buffer, 8, controller), STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)),
              config.controllers[controller - 1].serial);
    NTSTATUS version = sendInternalIoctl(&request, CAPI_GET_VERSION, buffer, 8, controller);
    if (controller == 3) {
      EXPECT_EQ(version, STATUS_NOT_IMPLEMENTED);
    } else {
      EXPECT_EQ(version, STATUS_SUCCESS);
    }
    if (controller == 2) {
      EXPECT_EQ(buffer[4], 0x32);
      EXPECT_EQ(buffer[6], 0x17);
    }
    EXPECT_EQ(sendInternalIoctl(&request, CAPI_GET_PROFILE, buffer, 64, controller),
              STATUS_SUCCESS);
    channels += buffer[2] | buffer[3] << 8;
  }
  EXPECT_EQ(channels, 34u);
  EXPECT_EQ(sim::GetCapiDeviceCounters().completedLater, GetParam() ? 11u : 0u);
}

}  // namespace
}  // namespace simtest

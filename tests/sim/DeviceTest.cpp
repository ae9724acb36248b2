// The provider as a driver: its device and link, the nine I/O controls in
// both modes with their buffers and statuses, registration, injected
// failures, and what it refuses.
#include "tests/sim/SimTestSupport.h"

namespace simtest {
namespace {

using sim::RequestResult;

class Device : public ProviderTest, public ::testing::WithParamInterface<KPROCESSOR_MODE> {};

INSTANTIATE_TEST_SUITE_P(Modes, Device, ::testing::Values(UserMode, KernelMode),
                         [](const auto& info) {
                           return std::string(info.param == UserMode ? "User" : "Kernel");
                         });

sim::CapiDeviceConfig TwoControllers() {
  sim::CapiDeviceConfig config;
  config.manufacturer = "NRX simulated";
  config.controllers.resize(2);
  config.controllers[0].serial = "S-1";
  config.controllers[1].serial = "S-2";
  config.controllers[1].capiMajor = 2;
  config.controllers[1].capiMinor = 1;
  config.controllers[1].manufacturerMajor = 0x35;
  config.controllers[1].manufacturerMinor = 0x12;
  config.controllers[1].bChannels = 30;
  return config;
}

TEST_F(ProviderTest, OwnsItsDeviceAndLinkAndLeavesNothingAtUnload) {
  Load();
  PDEVICE_OBJECT device = emu::FindDevice(sim::kCapiDeviceName);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device, sim::CapiDeviceObject());
  EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
  EXPECT_EQ(emu::SymbolicLinkTarget(sim::kCapiLinkName), std::u16string(sim::kCapiDeviceName));
  EXPECT_EQ(emu::FindDevice(u"\\??\\CAPI20"), device);
  EXPECT_EQ(sim::LoadCapiDevice(), STATUS_IMAGE_ALREADY_LOADED);

  EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  EXPECT_EQ(emu::FindDevice(sim::kCapiDeviceName), nullptr);
  EXPECT_EQ(emu::SymbolicLinkTarget(sim::kCapiLinkName), u"");
  EXPECT_EQ(emu::Pool::Report(sim::kSimPoolTag).blocks, 0u);
  EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_INVALID_DEVICE_STATE);
  // And it loads again.
  Load();
}

TEST_F(ProviderTest, FailedLoadLeavesNothing) {
  emu::FailDeviceCreation(1);
  EXPECT_EQ(sim::LoadCapiDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(sim::CapiDeviceLoaded());
  EXPECT_EQ(emu::FindDevice(sim::kCapiDeviceName), nullptr);
  sim::CapiDeviceConfig tooMany;
  tooMany.controllers.resize(9);
  EXPECT_EQ(sim::LoadCapiDevice(tooMany), STATUS_INVALID_PARAMETER);
  // More injected failures than the kernel side's fixed table holds.
  sim::CapiDeviceConfig tooManyFailures;
  tooManyFailures.failures.resize(sim::ProviderSettings::kMaxFailures + 1);
  EXPECT_EQ(sim::LoadCapiDevice(tooManyFailures), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(sim::CapiDeviceLoaded());
  Load();
}

TEST_P(Device, InformationControlsAnswerPerController) {
  Load(TwoControllers());
  auto app = MakeApplication(GetParam());
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);

  std::string text;
  RequestResult r = app->GetManufacturer(&text);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 64u);
  EXPECT_EQ(text, "NRX simulated");

  r = app->GetSerial(2, &text);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 8u);
  EXPECT_EQ(text, "S-2");
  app->GetSerial(0x81, &text);  // only the low 7 bits name the controller
  EXPECT_EQ(text, "S-1");

  std::array<uint16_t, 4> version{};
  r = app->GetVersion(2, &version);
  EXPECT_EQ(r.information, 8u);
  EXPECT_EQ(version, (std::array<uint16_t, 4>{2, 1, 0x35, 0x12}));

  std::array<uint8_t, 64> profile{};
  r = app->GetProfile(0, &profile);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 64u);
  EXPECT_EQ(profile[0], 2);  // controllers
  EXPECT_EQ(profile[2], 0);  // nothing else for controller 0
  app->GetProfile(2, &profile);
  EXPECT_EQ(profile[0] | profile[1] << 8, 2);
  EXPECT_EQ(profile[2] | profile[3] << 8, 30);
  EXPECT_EQ(profile[4], 0x01);  // global options: internal controller

  EXPECT_EQ(app->GetSerial(3, &text).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(app->GetProfile(3, &profile).status, STATUS_INVALID_PARAMETER);
  uint8_t small[7];
  uint32_t one = 1;
  r = app->Ioctl(sim::kCapiGetVersion, &one, 4, small, sizeof(small));
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);
  r = app->Ioctl(sim::kCapiManufacturer, nullptr, 0, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  // Every request is on record with what it completed with.
  ASSERT_FALSE(app->Requests().empty());
  EXPECT_EQ(app->Requests().front().what, "CAPI_GET_MANUFACTURER");
  EXPECT_EQ(app->Requests().back().what, "CAPI_MANUFACTURER");
}

TEST_P(Device, TextsThatFillTheirAnswerAreCutWithoutTerminator) {
  sim::CapiDeviceConfig config;
  config.manufacturer = std::string(70, 'M');
  config.controllers[0].serial = "123456789";
  config.controllers[0].rawProfile.emplace();
  config.controllers[0].rawProfile->fill(0xAB);
  Load(config);
  auto app = MakeApplication(GetParam());
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);
  std::vector<uint8_t> answer(80, 0xEE);
  RequestResult r = app->Ioctl(sim::kCapiGetManufacturer, nullptr, 0, answer.data(), 64);
  EXPECT_EQ(r.information, 64u);
  EXPECT_EQ(std::string(answer.begin(), answer.begin() + 64), std::string(64, 'M'));
  EXPECT_EQ(answer[64], 0xEE);  // nothing beyond the answer
  uint32_t controller = 1;
  r = app->Ioctl(sim::kCapiGetSerial, &controller, 4, answer.data(), 8);
  EXPECT_EQ(std::string(answer.begin(), answer.begin() + 8), "12345678");
  std::array<uint8_t, 64> profile{};
  app->GetProfile(1, &profile);
  EXPECT_EQ(profile[0], 0xAB);  // a raw profile is returned as it is
  EXPECT_EQ(profile[63], 0xAB);
}

TEST_P(Device, InjectedFailureHitsOnlyItsControlAndController) {
  sim::CapiDeviceConfig config = TwoControllers();
  config.failures.push_back({sim::kCapiGetVersion, 2, STATUS_NOT_IMPLEMENTED});
  config.failures.push_back(
      {sim::kCapiGetProfile, sim::InjectedFailure::kAnyController, STATUS_DEVICE_BUSY});
  Load(config);
  auto app = MakeApplication(GetParam());
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);
  std::array<uint16_t, 4> version{};
  EXPECT_EQ(app->GetVersion(1, &version).status, STATUS_SUCCESS);
  RequestResult r = app->GetVersion(2, &version);
  EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(r.information, 0u);
  std::array<uint8_t, 64> profile{};
  EXPECT_EQ(app->GetProfile(0, &profile).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(app->GetProfile(1, &profile).status, STATUS_DEVICE_BUSY);
  std::string serial;
  EXPECT_EQ(app->GetSerial(2, &serial).status, STATUS_SUCCESS);
}

TEST_P(Device, RegisterHandsOutTheLowestFreeIdAndReleaseFreesIt) {
  sim::CapiDeviceConfig config;
  config.maxApplications = 3;
  Load(config);
  auto a = MakeApplication(GetParam());
  auto b = MakeApplication(GetParam());
  auto c = MakeApplication(GetParam());
  auto d = MakeApplication(GetParam());
  for (auto* app : {a.get(), b.get(), c.get(), d.get()}) ASSERT_EQ(app->Open(), STATUS_SUCCESS);

  RequestResult r = a->Register();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(a->ApplicationId(), 1);
  EXPECT_EQ(b->Register().status, STATUS_SUCCESS);
  EXPECT_EQ(b->ApplicationId(), 2);
  EXPECT_EQ(c->Register().status, STATUS_SUCCESS);
  EXPECT_EQ(d->Register().status, STATUS_TOO_MANY_SESSIONS);
  // One application per file.
  EXPECT_EQ(a->Register().status, STATUS_INVALID_DEVICE_STATE);

  EXPECT_EQ(a->Release().status, STATUS_SUCCESS);
  EXPECT_EQ(a->Release().status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(d->Register().status, STATUS_SUCCESS);
  EXPECT_EQ(d->ApplicationId(), 1);
  // A file closed without release takes its application with it.
  b->Close();
  EXPECT_EQ(sim::GetCapiDeviceCounters().applications, 2u);
  EXPECT_EQ(a->Register().status, STATUS_SUCCESS);
  EXPECT_EQ(a->ApplicationId(), 2);
  // Another application's ID is refused.
  uint32_t other = 3;
  EXPECT_EQ(a->Ioctl(sim::kCapiRelease, &other, 4, nullptr, 0).status, STATUS_INVALID_HANDLE);
}

TEST_P(Device, RegisterChecksItsParametersAndBuffers) {
  Load();
  auto app = MakeApplication(GetParam());
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);
  EXPECT_EQ(app->Register(3072, 0, 7, 2048).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(app->Register(3072, 2, 8, 2048).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(app->Register(3072, 2, 7, 127).status, STATUS_INVALID_PARAMETER);
  uint8_t input[8] = {0, 12, 2, 0, 7, 0, 0, 8};
  uint32_t id = 0;
  EXPECT_EQ(app->Ioctl(sim::kCapiRegister, input, 6, &id, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(app->Ioctl(sim::kCapiRegister, input, 8, &id, 2).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(sim::GetCapiDeviceCounters().applications, 0u);
}

TEST_P(Device, GettingFromAnEmptyQueueSucceedsWithNothing) {
  Load();
  for (sim::Transport transport : {sim::Transport::kIoctl, sim::Transport::kReadWrite}) {
    auto app = MakeApplication(GetParam());
    app->SetTransport(transport);
    ASSERT_EQ(app->Open(), STATUS_SUCCESS);
    sim::ReceivedMessage message;
    EXPECT_EQ(app->Get(&message).status, STATUS_INVALID_HANDLE);  // not registered
    ASSERT_EQ(app->Register().status, STATUS_SUCCESS);
    RequestResult r = app->Get(&message);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(message.message.empty());
  }
}

TEST_P(Device, PutRefusesWhatIsNotItsApplicationsOrNotAMessage) {
  sim::CapiDeviceConfig config;
  config.queueLimit = 4;
  Load(config);
  auto app = MakeApplication(GetParam());
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);
  sim::MessageBuilder info(1, sim::kInfo, sim::kReq, 1);
  info.Dword(1).Empty().Empty();
  EXPECT_EQ(app->Put(Bytes(info)).status, STATUS_INVALID_HANDLE);  // not registered
  ASSERT_EQ(app->Register().status, STATUS_SUCCESS);

  sim::MessageBuilder foreign(7, sim::kInfo, sim::kReq, 1);
  foreign.Dword(1).Empty().Empty();
  EXPECT_EQ(app->Put(Bytes(foreign)).status, STATUS_INVALID_HANDLE);
  sim::MessageBuilder unknown(1, 0x77, sim::kReq, 1);
  unknown.Dword(1);
  EXPECT_EQ(app->Put(Bytes(unknown)).status, STATUS_ILLEGAL_FUNCTION);
  sim::MessageBuilder conf(1, sim::kInfo, sim::kConf, 1);
  conf.Dword(1).Word(0);
  EXPECT_EQ(app->Put(Bytes(conf)).status, STATUS_ILLEGAL_FUNCTION);
  std::vector<uint8_t> shortMessage = Bytes(info);
  shortMessage.resize(10);
  shortMessage[0] = 10;
  EXPECT_EQ(app->Put(shortMessage).status, STATUS_ILLEGAL_FUNCTION);
  std::vector<uint8_t> huge(sim::kMaxPutMessage + 2, 0);
  huge[0] = uint8_t(huge.size());
  huge[1] = uint8_t(huge.size() >> 8);
  huge[2] = 1;
  huge[4] = sim::kInfo;
  huge[5] = sim::kReq;
  EXPECT_EQ(app->Put(huge).status, STATUS_ILLEGAL_FUNCTION);

  // Four answers fit the queue; the fifth put has no room for its own.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(app->Put(Bytes(info)).status, STATUS_SUCCESS) << i;
  EXPECT_EQ(app->Put(Bytes(info)).status, STATUS_TOO_MANY_COMMANDS);
  EXPECT_EQ(sim::GetCapiDeviceCounters().queuedMessages, 4u);
}

TEST_P(Device, ParameterBlocksAreChecked) {
  Load();
  auto app = MakeApplication(GetParam());
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);
  ASSERT_EQ(app->Register().status, STATUS_SUCCESS);
  sim::ParameterBlock block = {0, 0};
  EXPECT_EQ(app->Ioctl(sim::kCapiPutMessage, &block, 8, nullptr, 0).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(app->Ioctl(sim::kCapiPutMessage, &block, 4, nullptr, 0).status,
            STATUS_INVALID_PARAMETER);
  // A DATA_B3_REQ whose payload has no pointer at all.
  sim::MessageBuilder data(1, sim::kDataB3, sim::kReq, 1);
  data.Dword(0x10101).Dword(0).Word(16).Word(1).Word(0);
  std::vector<uint8_t> message = Bytes(data);
  if (GetParam() == KernelMode) {
    block.message = uint32_t(uintptr_t(message.data()));
    EXPECT_EQ(app->Ioctl(sim::kCapiPutMessage, &block, 8, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
  } else {
    // A user-mode caller's pointer that is no user address is not followed.
    block.message = uint32_t(uintptr_t(message.data()));
    EXPECT_EQ(app->Ioctl(sim::kCapiPutMessage, &block, 8, nullptr, 0).status,
              STATUS_ACCESS_VIOLATION);
  }
}

TEST_P(Device, AReadTooSmallLeavesTheMessageQueued) {
  Load();
  auto app = MakeApplication(GetParam());
  app->SetTransport(sim::Transport::kReadWrite);
  ASSERT_EQ(app->Open(), STATUS_SUCCESS);
  ASSERT_EQ(app->Register().status, STATUS_SUCCESS);
  sim::MessageBuilder info(1, sim::kInfo, sim::kReq, 9);
  info.Dword(1).Empty().Empty();
  ASSERT_EQ(app->Put(Bytes(info)).status, STATUS_SUCCESS);
  EXPECT_EQ(app->Requests().back().information, Bytes(info).size());  // a write reports its bytes
  uint8_t small[13];
  emu::IoResult io = emu::Read(app->Handle(), small, sizeof(small));
  EXPECT_EQ(io.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(io.information, 0u);
  sim::ReceivedMessage message;
  EXPECT_EQ(app->Get(&message).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::MessageName(message.message), "INFO_CONF");
  EXPECT_EQ(message.Word(6), 9);  // the request's number
  EXPECT_EQ(message.Word(12), 0);
  EXPECT_TRUE(DecodesWhole(message.message));
}

TEST_F(ProviderTest, BuilderCodesLongStructsAndGroups) {
  std::string longText(300, 'x');
  sim::MessageBuilder message(1, sim::kFacility, sim::kReq, 1);
  message.Dword(1).Word(2).Struct(longText);
  std::vector<uint8_t> bytes = Bytes(message);
  ASSERT_EQ(bytes.size(), 8u + 4 + 2 + 3 + 300);
  EXPECT_EQ(bytes[14], 0xFF);
  EXPECT_EQ(bytes[15] | bytes[16] << 8, 300);
  EXPECT_TRUE(DecodesWhole(bytes));

  sim::MessageBuilder info(1, sim::kInfo, sim::kReq, 1);
  info.Dword(1).Empty().BeginGroup().Struct(longText).Empty().Empty().Empty().EndGroup();
  bytes = Bytes(info);
  EXPECT_EQ(bytes[13], 0xFF);
  EXPECT_EQ(bytes[14] | bytes[15] << 8, 3 + 300 + 3);
  EXPECT_TRUE(DecodesWhole(bytes));

  sim::MessageBuilder full(1, sim::kInfo, sim::kReq, 1);
  for (int i = 0; i < 300; ++i) full.Dword(0);
  EXPECT_TRUE(full.Overflowed());
}

}  // namespace
}  // namespace simtest

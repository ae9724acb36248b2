// The line model's message sequence for whole calls, in both modes and over
// both transports, every message valid for the trace's decoder, and its
// answers to requests in the wrong state.
#include "tests/sim/SimTestSupport.h"

namespace simtest {
namespace {

struct Way {
  KPROCESSOR_MODE mode;
  sim::Transport transport;
};

class Call : public ProviderTest, public ::testing::WithParamInterface<Way> {};

INSTANTIATE_TEST_SUITE_P(Ways, Call,
                         ::testing::Values(Way{UserMode, sim::Transport::kIoctl},
                                           Way{UserMode, sim::Transport::kReadWrite},
                                           Way{KernelMode, sim::Transport::kIoctl},
                                           Way{KernelMode, sim::Transport::kReadWrite}),
                         [](const auto& info) {
                           return std::string(info.param.mode == UserMode ? "User" : "Kernel") +
                                  (info.param.transport == sim::Transport::kIoctl ? "Ioctl"
                                                                                  : "ReadWrite");
                         });

std::vector<std::string> Expected(bool incoming, int blocks) {
  std::vector<std::string> names;
  if (incoming) {
    names = {"LISTEN_CONF", "CONNECT_IND"};
  } else {
    names = {"CONNECT_CONF"};
  }
  names.insert(names.end(), {"CONNECT_ACTIVE_IND", "CONNECT_B3_CONF", "CONNECT_B3_ACTIVE_IND"});
  for (int i = 0; i < blocks; ++i) names.insert(names.end(), {"DATA_B3_CONF", "DATA_B3_IND"});
  names.insert(names.end(),
               {"DISCONNECT_B3_CONF", "DISCONNECT_B3_IND", "DISCONNECT_CONF", "DISCONNECT_IND"});
  return names;
}

TEST_P(Call, OutgoingCallRunsItsWholeSequence) {
  Load();
  auto app = MakeApplication(GetParam().mode);
  app->SetTransport(GetParam().transport);
  sim::CallOptions options;
  options.dataBlocks = 4;
  options.blockSize = 2048;
  std::vector<uint32_t> progress;
  options.onBlock = [&progress](uint32_t blocks) { progress.push_back(blocks); };
  sim::CallReport report = app->RunCall(options);
  ASSERT_TRUE(report.ok) << report.failure;
  EXPECT_EQ(progress, (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(Names(report.received), Expected(false, 4));
  EXPECT_EQ(report.plci, 0x101u);
  EXPECT_EQ(report.ncci, 0x10101u);
  EXPECT_EQ(report.blocksEchoed, 4u);
  for (const auto& m : report.received) EXPECT_TRUE(DecodesWhole(m.message));
  for (const auto& r : app->Requests()) EXPECT_EQ(r.status, STATUS_SUCCESS) << r.what;
  // The connected number is the number called.
  const sim::ReceivedMessage& active = report.received[1];
  EXPECT_EQ(std::string(active.message.begin() + 14, active.message.begin() + 21), "5551234");
  // Nothing stays behind: no application, no PLCI, no message.
  sim::CapiDeviceCounters counters = sim::GetCapiDeviceCounters();
  EXPECT_EQ(counters.applications, 0u);
  EXPECT_EQ(counters.plcisInUse, 0u);
  EXPECT_EQ(counters.queuedMessages, 0u);
}

TEST_P(Call, IncomingCallIsOfferedAndAnswered) {
  Load();
  auto app = MakeApplication(GetParam().mode);
  app->SetTransport(GetParam().transport);
  sim::CallOptions options;
  options.incoming = true;
  options.dataBlocks = 1;
  sim::CallReport report = app->RunCall(options);
  ASSERT_TRUE(report.ok) << report.failure;
  EXPECT_EQ(Names(report.received), Expected(true, 1));
  for (const auto& m : report.received) EXPECT_TRUE(DecodesWhole(m.message));
  const sim::ReceivedMessage& offer = report.received[1];
  EXPECT_EQ(offer.Address(), 0x101u);
  EXPECT_EQ(offer.Word(12), 2);  // CIP value
}

// A block longer than the application registered: the confirmation's
// Info, and the limit it went past.
TEST_F(ProviderTest, ABlockOverTheRegisteredLengthFailsWithItsLimit) {
  Load();
  sim::UserApplication app;
  sim::CallOptions options;
  options.dataBlocks = 2;
  options.blockSize = 5000;
  sim::CallReport report = app.RunCall(options);
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.failure, "DATA_B3_REQ 1");
  EXPECT_EQ(report.reason, "DATA_B3_CONF");
  EXPECT_EQ(report.status, STATUS_SUCCESS);
  EXPECT_TRUE(report.hasInfo);
  EXPECT_EQ(report.info, sim::kInfoDataLengthNotSupported);
  EXPECT_EQ(report.limit, "the block's 5000 bytes exceed the maxBDataLength of 2048 it registered");
  EXPECT_EQ(report.blocksEchoed, 0u);
}

TEST_F(ProviderTest, TheSameCallGivesTheSameMessages) {
  std::vector<std::vector<uint8_t>> first;
  for (int run = 0; run < 2; ++run) {
    Load();
    sim::KernelApplication app;
    sim::CallReport report = app.RunCall(sim::CallOptions());
    ASSERT_TRUE(report.ok) << report.failure;
    std::vector<std::vector<uint8_t>> bytes;
    for (const auto& m : report.received) bytes.push_back(m.message);
    if (run == 0) {
      first = bytes;
    } else {
      EXPECT_EQ(bytes, first);
    }
    app.Close();
    ASSERT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  }
  // Indications are numbered per application from 1, confirmations carry
  // their request's number, DATA_B3_IND handles count from 1.
  ASSERT_GE(first.size(), 6u);
  EXPECT_EQ(first[0][6], 1);   // CONNECT_CONF of message 1
  EXPECT_EQ(first[1][6], 1);   // first indication
  EXPECT_EQ(first[5][18], 1);  // first DATA_B3_IND's handle
}

TEST_F(ProviderTest, ControllersNumberTheirPlcisApart) {
  sim::CapiDeviceConfig config;
  config.controllers.resize(3);
  Load(config);
  sim::UserApplication a;
  sim::KernelApplication b;
  sim::CallOptions options;
  options.controller = 3;
  sim::CallReport report = a.RunCall(options);
  ASSERT_TRUE(report.ok) << report.failure;
  EXPECT_EQ(report.plci, 0x103u);
  EXPECT_EQ(report.ncci, 0x10103u);
  options.controller = 4;
  report = b.RunCall(options);
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.failure, "CONNECT_REQ");
  ASSERT_EQ(report.received.size(), 1u);
  EXPECT_EQ(report.received[0].Word(12), sim::kInfoIllegalAddress);
  // Why, as the application saw it: the confirmation and its Info.
  EXPECT_EQ(report.reason, "CONNECT_CONF");
  EXPECT_TRUE(report.hasInfo);
  EXPECT_EQ(report.info, sim::kInfoIllegalAddress);
  EXPECT_EQ(report.limit, "");
}

class Session : public ProviderTest {
 protected:
  void Start() {
    Load();
    ASSERT_EQ(app.Open(), STATUS_SUCCESS);
    ASSERT_EQ(app.Register().status, STATUS_SUCCESS);
  }
  sim::ReceivedMessage Send(sim::MessageBuilder& message, std::vector<uint8_t> payload = {}) {
    EXPECT_EQ(app.Put(Bytes(message), payload).status, STATUS_SUCCESS);
    sim::ReceivedMessage answer;
    app.Get(&answer);
    EXPECT_TRUE(answer.message.empty() || DecodesWhole(answer.message));
    return answer;
  }
  sim::ReceivedMessage Next() {
    sim::ReceivedMessage answer;
    app.Get(&answer);
    return answer;
  }
  uint32_t Connect() {
    sim::MessageBuilder connect(1, sim::kConnect, sim::kReq, 1);
    connect.Dword(1)
        .Word(2)
        .Empty()
        .Empty()
        .Empty()
        .Empty()
        .Empty()
        .Empty()
        .Empty()
        .Empty()
        .Empty();
    uint32_t plci = Send(connect).Address();
    Next();  // CONNECT_ACTIVE_IND
    return plci;
  }
  sim::KernelApplication app;
};

TEST_F(Session, RequestsForAddressesNotHeldOrInTheWrongStateAreRefusedInTheirConfirmation) {
  Start();
  sim::MessageBuilder b3(1, sim::kConnectB3, sim::kReq, 2);
  b3.Dword(0x201).Empty();
  sim::ReceivedMessage answer = Send(b3);
  EXPECT_EQ(sim::MessageName(answer.message), "CONNECT_B3_CONF");
  EXPECT_EQ(answer.Word(12), sim::kInfoIllegalAddress);

  uint32_t plci = Connect();
  sim::MessageBuilder data(1, sim::kDataB3, sim::kReq, 3);
  data.Dword(plci | 1u << 16).Dword(0).Word(4).Word(7).Word(0);
  answer = Send(data, {1, 2, 3, 4});
  EXPECT_EQ(sim::MessageName(answer.message), "DATA_B3_CONF");
  EXPECT_EQ(answer.Word(12), 7);                     // the request's handle
  EXPECT_EQ(answer.Word(14), sim::kInfoWrongState);  // no B3 connection yet
  EXPECT_TRUE(Next().message.empty());               // and no loop-back

  // Another application's PLCI is not this one's.
  sim::KernelApplication other;
  ASSERT_EQ(other.Open(), STATUS_SUCCESS);
  ASSERT_EQ(other.Register().status, STATUS_SUCCESS);
  sim::MessageBuilder steal(2, sim::kDisconnect, sim::kReq, 1);
  steal.Dword(plci).Empty();
  ASSERT_EQ(other.Put(Bytes(steal)).status, STATUS_SUCCESS);
  sim::ReceivedMessage refused;
  other.Get(&refused);
  EXPECT_EQ(refused.Word(12), sim::kInfoIllegalAddress);
}

TEST_F(Session, DataLongerThanRegisteredIsRefusedAndDisconnectTakesB3Down) {
  Start();
  uint32_t plci = Connect();
  sim::MessageBuilder b3(1, sim::kConnectB3, sim::kReq, 2);
  b3.Dword(plci).Empty();
  uint32_t ncci = Send(b3).Address();
  Next();  // CONNECT_B3_ACTIVE_IND
  std::vector<uint8_t> payload(2049, 'x');
  sim::MessageBuilder data(1, sim::kDataB3, sim::kReq, 3);
  data.Dword(ncci).Dword(0).Word(2049).Word(1).Word(0);
  sim::ReceivedMessage answer = Send(data, payload);
  EXPECT_EQ(answer.Word(14), sim::kInfoDataLengthNotSupported);

  sim::MessageBuilder down(1, sim::kDisconnect, sim::kReq, 4);
  down.Dword(plci).Empty();
  EXPECT_EQ(sim::MessageName(Send(down).message), "DISCONNECT_CONF");
  sim::ReceivedMessage b3Down = Next();
  EXPECT_EQ(sim::MessageName(b3Down.message), "DISCONNECT_B3_IND");
  EXPECT_EQ(b3Down.Address(), ncci);
  sim::ReceivedMessage gone = Next();
  EXPECT_EQ(sim::MessageName(gone.message), "DISCONNECT_IND");
  EXPECT_TRUE(DecodesWhole(gone.message));
  EXPECT_EQ(sim::GetCapiDeviceCounters().plcisInUse, 1u);  // until DISCONNECT_RESP
  sim::MessageBuilder resp(1, sim::kDisconnect, sim::kResp, gone.Word(6));
  resp.Dword(plci);
  EXPECT_EQ(app.Put(Bytes(resp)).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::GetCapiDeviceCounters().plcisInUse, 0u);
}

TEST_F(Session, OtherRequestsAreConfirmed) {
  Start();
  sim::MessageBuilder facility(1, sim::kFacility, sim::kReq, 5);
  facility.Dword(1).Word(1).Empty();
  sim::ReceivedMessage answer = Send(facility);
  EXPECT_EQ(sim::MessageName(answer.message), "FACILITY_CONF");
  EXPECT_EQ(answer.Word(6), 5);
  EXPECT_EQ(answer.Word(14), 1);  // the selector asked for

  sim::MessageBuilder manufacturer(1, sim::kManufacturerCommand, sim::kReq, 6);
  manufacturer.Dword(1).Dword(0x4E52580A).Dword(2).Dword(3).Empty();
  answer = Send(manufacturer);
  EXPECT_EQ(sim::MessageName(answer.message), "MANUFACTURER_CONF");

  sim::MessageBuilder info(1, sim::kInfo, sim::kReq, 7);
  info.Dword(1).Empty().Empty();
  EXPECT_EQ(sim::MessageName(Send(info).message), "INFO_CONF");

  sim::MessageBuilder listen(1, sim::kListen, sim::kReq, 8);
  listen.Dword(1).Dword(0).Dword(0).Dword(0).Empty().Empty();
  EXPECT_EQ(sim::MessageName(Send(listen).message), "LISTEN_CONF");
  // Listening to no CIP value: no call is offered.
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(sim::InjectIncomingCall(sim::IncomingCall(), &status), 0u);
  EXPECT_EQ(status, STATUS_NOT_FOUND);
}

TEST_F(Session, ARejectedCallEndsInDisconnect) {
  Start();
  sim::MessageBuilder listen(1, sim::kListen, sim::kReq, 1);
  listen.Dword(1).Dword(0).Dword(1u << 2).Dword(0).Empty().Empty();
  Send(listen);
  uint32_t plci = sim::InjectIncomingCall(sim::IncomingCall());
  ASSERT_EQ(plci, 0x101u);
  sim::ReceivedMessage offer = Next();
  EXPECT_EQ(sim::MessageName(offer.message), "CONNECT_IND");
  EXPECT_TRUE(DecodesWhole(offer.message));
  sim::MessageBuilder reject(1, sim::kConnect, sim::kResp, offer.Word(6));
  reject.Dword(plci).Word(1).Empty().Empty().Empty().Empty().Empty();
  ASSERT_EQ(app.Put(Bytes(reject)).status, STATUS_SUCCESS);
  sim::ReceivedMessage gone = Next();
  EXPECT_EQ(sim::MessageName(gone.message), "DISCONNECT_IND");
  // Releasing frees what the application still held.
  EXPECT_EQ(app.Release().status, STATUS_SUCCESS);
  EXPECT_EQ(sim::GetCapiDeviceCounters().plcisInUse, 0u);
}

}  // namespace
}  // namespace simtest

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/CapiApplication.h"

#include "emu/Io.h"
#include "sim/CapiCodes.h"
#include "sim/CapiDevice.h"
#include "sim/MessageBuilder.h"

namespace sim {
namespace {

const char* const kIoctlNames[] = {
    "CAPI_REGISTER",    "CAPI_RELEASE",          "CAPI_PUT_MESSAGE",
    "CAPI_GET_MESSAGE", "CAPI_GET_MANUFACTURER", "CAPI_GET_VERSION",
    "CAPI_GET_SERIAL",  "CAPI_GET_PROFILE",      "CAPI_MANUFACTURER",
};
static_assert(sizeof(kIoctlNames) / sizeof(kIoctlNames[0]) == 9, "nine CAPI I/O controls");

std::vector<uint8_t> ToVector(MessageBuilder& message) {
  return std::vector<uint8_t>(message.Bytes(), message.Bytes() + message.Length());
}

uint16_t ReadWordAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return bytes.size() >= offset + 2 ? uint16_t(bytes[offset] | bytes[offset + 1] << 8) : 0;
}

// The deterministic contents of data block `index`: printable letters.
std::vector<uint8_t> BlockPayload(uint32_t index, uint16_t size) {
  std::vector<uint8_t> payload(size);
  for (uint32_t j = 0; j < size; ++j) payload[j] = uint8_t('A' + (index + j) % 26);
  return payload;
}

// The B protocols of a transparent 64 kbit/s connection, as a group.
void TransparentBProtocol(MessageBuilder& message) {
  message.BeginGroup().Word(1).Word(1).Word(0).Empty().Empty().Empty().EndGroup();
}

std::vector<uint8_t> CalledNumber(const std::string& digits) {
  std::vector<uint8_t> number{0x80};
  number.insert(number.end(), digits.begin(), digits.end());
  return number;
}

std::vector<uint8_t> CallingNumber(const std::string& digits) {
  std::vector<uint8_t> number{0x00, 0x80};
  number.insert(number.end(), digits.begin(), digits.end());
  return number;
}

}  // namespace

std::string IoctlName(uint32_t code) {
  if (code < kCapiRegister || code > kCapiManufacturer || (code & 3) != 0) {
    char text[24];
    std::snprintf(text, sizeof(text), "IOCTL_%08X", code);
    return text;
  }
  return kIoctlNames[(code - kCapiRegister) >> 2];
}

uint32_t ReceivedMessage::Address() const {
  if (message.size() < 12)
    return 0;
  return uint32_t(message[8]) | uint32_t(message[9]) << 8 | uint32_t(message[10]) << 16 |
         uint32_t(message[11]) << 24;
}

uint16_t ReceivedMessage::Word(size_t offset) const {
  return ReadWordAt(message, offset);
}

std::string MessageName(const std::vector<uint8_t>& message) {
  static const struct {
    uint8_t command;
    const char* name;
  } kCommands[] = {
      {kAlert, "ALERT"},
      {kConnect, "CONNECT"},
      {kConnectActive, "CONNECT_ACTIVE"},
      {kDisconnect, "DISCONNECT"},
      {kListen, "LISTEN"},
      {kInfo, "INFO"},
      {kSelectBProtocol, "SELECT_B_PROTOCOL"},
      {kFacility, "FACILITY"},
      {kConnectB3, "CONNECT_B3"},
      {kConnectB3Active, "CONNECT_B3_ACTIVE"},
      {kDisconnectB3, "DISCONNECT_B3"},
      {kDataB3, "DATA_B3"},
      {kResetB3, "RESET_B3"},
      {kManufacturerCommand, "MANUFACTURER"},
  };
  static const char* const kSubcommands[] = {"_REQ", "_CONF", "_IND", "_RESP"};
  if (message.size() < 6)
    return "MSG_SHORT";
  for (const auto& entry : kCommands) {
    if (entry.command == message[4] && message[5] >= kReq && message[5] <= kResp)
      return std::string(entry.name) + kSubcommands[message[5] - kReq];
  }
  char text[16];
  std::snprintf(text, sizeof(text), "MSG_%02X_%02X", message[4], message[5]);
  return text;
}

CapiApplication::CapiApplication(KPROCESSOR_MODE mode, std::u16string path)
    : mode_(mode), path_(std::move(path)) {}

CapiApplication::~CapiApplication() {
  Close();
}

NTSTATUS CapiApplication::Open() {
  if (handle_ != nullptr)
    return STATUS_SUCCESS;
  return emu::Open(path_, mode_, &handle_);
}

void CapiApplication::Close() {
  if (handle_ != nullptr)
    emu::Close(handle_);
  handle_ = nullptr;
  applicationId_ = 0;
}

RequestResult CapiApplication::Note(const std::string& what, RequestResult result) {
  requests_.push_back(RequestRecord{what, result.status, result.information});
  return result;
}

RequestResult CapiApplication::Ioctl(uint32_t code, const void* input, uint32_t inputLength,
                                     void* output, uint32_t outputLength) {
  return Note(IoctlName(code), Send(code, input, inputLength, output, outputLength));
}

RequestResult CapiApplication::Register(uint16_t messageBufferSize, uint16_t maxLogicalConnections,
                                        uint16_t maxBDataBlocks, uint16_t maxBDataLength) {
  uint8_t input[kRegisterBytes];
  const uint16_t fields[] = {messageBufferSize, maxLogicalConnections, maxBDataBlocks,
                             maxBDataLength};
  for (int i = 0; i < 4; ++i) {
    input[2 * i] = uint8_t(fields[i]);
    input[2 * i + 1] = uint8_t(fields[i] >> 8);
  }
  uint32_t id = 0;
  RequestResult result = Ioctl(kCapiRegister, input, sizeof(input), &id, sizeof(id));
  if (NT_SUCCESS(result.status) && result.information >= 4)
    applicationId_ = uint16_t(id);
  return result;
}

RequestResult CapiApplication::Release() {
  uint32_t id = applicationId_;
  RequestResult result = Ioctl(kCapiRelease, &id, sizeof(id), nullptr, 0);
  if (NT_SUCCESS(result.status))
    applicationId_ = 0;
  return result;
}

RequestResult CapiApplication::Put(const std::vector<uint8_t>& message,
                                   const std::vector<uint8_t>& payload) {
  if (transport_ == Transport::kIoctl)
    return Note("CAPI_PUT_MESSAGE " + MessageName(message), PutByIoctl(message, payload));
  std::vector<uint8_t> buffer(message);
  buffer.insert(buffer.end(), payload.begin(), payload.end());
  emu::IoResult io = emu::Write(handle_, buffer.data(), ULONG(buffer.size()));
  return Note("WRITE " + MessageName(message), RequestResult{io.status, io.information});
}

RequestResult CapiApplication::Get(ReceivedMessage* message) {
  message->message.clear();
  message->payload.clear();
  if (transport_ == Transport::kIoctl) {
    RequestResult result = GetByIoctl(message);
    return Note("CAPI_GET_MESSAGE " + MessageName(message->message), result);
  }
  std::vector<uint8_t> buffer(kMaxPutMessage + 0x10000);
  emu::IoResult io = emu::Read(handle_, buffer.data(), ULONG(buffer.size()));
  if (NT_SUCCESS(io.status) && io.information >= 2) {
    size_t length = ReadWordAt(buffer, 0);
    if (length > io.information)
      length = io.information;
    message->message.assign(buffer.begin(), buffer.begin() + length);
    message->payload.assign(buffer.begin() + length, buffer.begin() + io.information);
  }
  return Note("READ " + MessageName(message->message), RequestResult{io.status, io.information});
}

RequestResult CapiApplication::Information(uint32_t code, uint32_t controller, void* output,
                                           uint32_t length, bool withController) {
  return withController ? Ioctl(code, &controller, sizeof(controller), output, length)
                        : Ioctl(code, nullptr, 0, output, length);
}

RequestResult CapiApplication::GetManufacturer(std::string* manufacturer) {
  char text[kManufacturerBytes + 1] = {};
  RequestResult result = Information(kCapiGetManufacturer, 0, text, kManufacturerBytes, false);
  manufacturer->assign(text);
  return result;
}

RequestResult CapiApplication::GetVersion(uint32_t controller, std::array<uint16_t, 4>* version) {
  uint8_t bytes[kVersionBytes] = {};
  RequestResult result = Information(kCapiGetVersion, controller, bytes, sizeof(bytes), true);
  for (int i = 0; i < 4; ++i) (*version)[i] = uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return result;
}

RequestResult CapiApplication::GetSerial(uint32_t controller, std::string* serial) {
  char text[kSerialBytes + 1] = {};
  RequestResult result = Information(kCapiGetSerial, controller, text, kSerialBytes, true);
  serial->assign(text);
  return result;
}

RequestResult CapiApplication::GetProfile(uint32_t controller, std::array<uint8_t, 64>* profile) {
  profile->fill(0);
  return Information(kCapiGetProfile, controller, profile->data(), kProfileBytes, true);
}

CallReport CapiApplication::RunCall(const CallOptions& options) {
  CallReport report;
  const uint32_t controller = options.controller;
  auto fail = [&report](const std::string& what) {
    if (report.failure.empty())
      report.failure = what;
    return report;
  };
  // Why the step fails: the first reason given is the one kept.
  auto because = [&report](const std::string& reason) {
    if (report.reason.empty())
      report.reason = reason;
    return report.reason == reason;
  };
  // The request just made failed.
  auto refused = [&]() {
    if (because(requests_.back().what))
      report.status = requests_.back().status;
    return false;
  };
  auto put = [&](MessageBuilder& message, const std::vector<uint8_t>& payload) {
    RequestResult result = Put(ToVector(message), payload);
    return NT_SUCCESS(result.status) || refused();
  };
  // The next message must be this one.
  auto expect = [&](uint8_t command, uint8_t subcommand, ReceivedMessage* message) {
    const std::string awaited = MessageName({0, 0, 0, 0, command, subcommand});
    RequestResult result = Get(message);
    if (!NT_SUCCESS(result.status))
      return refused();
    if (message->message.empty()) {
      because("no message came, " + awaited + " expected");
      return false;
    }
    report.received.push_back(*message);
    if (message->Command() == command && message->Subcommand() == subcommand)
      return true;
    because(MessageName(message->message) + " came, " + awaited + " expected");
    return false;
  };
  // A confirmation with Info 0 at `infoOffset`.
  auto confirmed = [&](uint8_t command, ReceivedMessage* message, size_t infoOffset) {
    if (!expect(command, kConf, message))
      return false;
    const uint16_t info = message->Word(infoOffset);
    if (info == 0)
      return true;
    if (because(MessageName(message->message))) {
      report.hasInfo = true;
      report.info = info;
    }
    return false;
  };
  // An indication for the connection it belongs to.
  auto on = [&](const ReceivedMessage& message, uint32_t address) {
    if (message.Address() == address)
      return true;
    char text[64];
    std::snprintf(text, sizeof text, " for 0x%08X, not 0x%08X", message.Address(), address);
    because(MessageName(message.message) + text);
    return false;
  };

  if (!IsOpen()) {
    const NTSTATUS opened = Open();
    if (!NT_SUCCESS(opened)) {
      report.reason = "opening the CAPI device";
      report.status = opened;
      return fail("open");
    }
  }
  if (!NT_SUCCESS(Register(options.messageBufferSize, options.maxLogicalConnections,
                           options.maxBDataBlocks, options.maxBDataLength)
                      .status)) {
    refused();
    return fail("register");
  }
  const uint16_t id = applicationId_;
  ReceivedMessage message;

  if (options.incoming) {
    MessageBuilder listen(id, kListen, kReq, NextMessageNumber());
    listen.Dword(controller).Dword(0).Dword(1).Dword(0).Empty().Empty();
    if (!put(listen, {}) || !confirmed(kListen, &message, 12))
      return fail("listen");
    IncomingCall call;
    call.controller = controller;
    call.calledNumber = options.calledNumber;
    call.callingNumber = options.callingNumber;
    call.application = id;
    if (InjectIncomingCall(call) == 0) {
      because("the line offered no call");
      return fail("incoming call");
    }
    if (!expect(kConnect, kInd, &message))
      return fail("CONNECT_IND");
    report.plci = message.Address();
    MessageBuilder answer(id, kConnect, kResp, message.Word(6));
    answer.Dword(report.plci).Word(0);
    TransparentBProtocol(answer);
    answer.Empty().Empty().Empty().Empty();
    if (!put(answer, {}))
      return fail("CONNECT_RESP");
  } else {
    MessageBuilder connect(id, kConnect, kReq, NextMessageNumber());
    std::vector<uint8_t> called = CalledNumber(options.calledNumber);
    std::vector<uint8_t> calling = CallingNumber(options.callingNumber);
    connect.Dword(controller).Word(2);
    connect.Struct(called.data(), uint32_t(called.size()));
    connect.Struct(calling.data(), uint32_t(calling.size()));
    connect.Empty().Empty();
    TransparentBProtocol(connect);
    connect.Empty().Empty().Empty().Empty();
    if (!put(connect, {}) || !confirmed(kConnect, &message, 12))
      return fail("CONNECT_REQ");
    report.plci = message.Address();
  }
  if (!expect(kConnectActive, kInd, &message) || !on(message, report.plci))
    return fail("CONNECT_ACTIVE_IND");
  MessageBuilder active(id, kConnectActive, kResp, message.Word(6));
  active.Dword(report.plci);
  if (!put(active, {}))
    return fail("CONNECT_ACTIVE_RESP");

  MessageBuilder b3(id, kConnectB3, kReq, NextMessageNumber());
  b3.Dword(report.plci).Empty();
  if (!put(b3, {}) || !confirmed(kConnectB3, &message, 12))
    return fail("CONNECT_B3_REQ");
  report.ncci = message.Address();
  if (!expect(kConnectB3Active, kInd, &message) || !on(message, report.ncci))
    return fail("CONNECT_B3_ACTIVE_IND");
  MessageBuilder b3Active(id, kConnectB3Active, kResp, message.Word(6));
  b3Active.Dword(report.ncci);
  if (!put(b3Active, {}))
    return fail("CONNECT_B3_ACTIVE_RESP");

  for (uint32_t i = 0; i < options.dataBlocks; ++i) {
    std::vector<uint8_t> payload = BlockPayload(i, options.blockSize);
    MessageBuilder data(id, kDataB3, kReq, NextMessageNumber());
    data.Dword(report.ncci).Dword(0).Word(options.blockSize).Word(uint16_t(i + 1)).Word(0);
    if (!put(data, payload) || !confirmed(kDataB3, &message, 14)) {
      // The one limit a data block can exceed is the application's own.
      if (report.hasInfo && report.info == kInfoDataLengthNotSupported &&
          options.blockSize > options.maxBDataLength) {
        report.limit = "the block's " + std::to_string(options.blockSize) +
                       " bytes exceed the maxBDataLength of " +
                       std::to_string(options.maxBDataLength) + " it registered";
      }
      return fail("DATA_B3_REQ " + std::to_string(i + 1));
    }
    // DataHandle is a 16-bit word: block 65536 goes with handle 0.
    const uint16_t handle = uint16_t(i + 1);
    if (message.Word(12) != handle) {
      because("DATA_B3_CONF for DataHandle " + std::to_string(message.Word(12)) + ", not " +
              std::to_string(handle));
      return fail("DATA_B3_REQ " + std::to_string(i + 1));
    }
    if (!expect(kDataB3, kInd, &message))
      return fail("DATA_B3_IND " + std::to_string(i + 1));
    if (message.payload != payload) {
      because("the data is not the block sent (" + std::to_string(message.payload.size()) +
              " bytes of " + std::to_string(payload.size()) + ")");
      return fail("DATA_B3_IND " + std::to_string(i + 1));
    }
    ++report.blocksEchoed;
    if (options.onBlock)
      options.onBlock(report.blocksEchoed);
    MessageBuilder response(id, kDataB3, kResp, message.Word(6));
    response.Dword(report.ncci).Word(message.Word(18));
    if (!put(response, {}))
      return fail("DATA_B3_RESP " + std::to_string(i + 1));
  }

  MessageBuilder b3Down(id, kDisconnectB3, kReq, NextMessageNumber());
  b3Down.Dword(report.ncci).Empty();
  if (!put(b3Down, {}) || !confirmed(kDisconnectB3, &message, 12))
    return fail("DISCONNECT_B3_REQ");
  if (!expect(kDisconnectB3, kInd, &message))
    return fail("DISCONNECT_B3_IND");
  MessageBuilder b3Gone(id, kDisconnectB3, kResp, message.Word(6));
  b3Gone.Dword(report.ncci);
  if (!put(b3Gone, {}))
    return fail("DISCONNECT_B3_RESP");

  MessageBuilder down(id, kDisconnect, kReq, NextMessageNumber());
  down.Dword(report.plci).Empty();
  if (!put(down, {}) || !confirmed(kDisconnect, &message, 12))
    return fail("DISCONNECT_REQ");
  if (!expect(kDisconnect, kInd, &message))
    return fail("DISCONNECT_IND");
  MessageBuilder gone(id, kDisconnect, kResp, message.Word(6));
  gone.Dword(report.plci);
  if (!put(gone, {}))
    return fail("DISCONNECT_RESP");

  if (!NT_SUCCESS(Release().status)) {
    refused();
    return fail("release");
  }
  report.ok = true;
  return report;
}

}  // namespace sim

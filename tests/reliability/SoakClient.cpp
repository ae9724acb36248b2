#include "tests/reliability/SoakClient.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "emu/Clock.h"
#include "emu/Io.h"
#include "sim/CapiApplication.h"
#include "sim/CapiCodes.h"
#include "sim/CapiDevice.h"
#include "sim/KernelApplication.h"
#include "sim/MessageBuilder.h"
#include "sim/UserApplication.h"

namespace reliability {
namespace {

constexpr int64_t kTicksPerMs = 10000;
constexpr uint32_t kDataBlocks = 3;
// Payload sizes in turn: around the dump's limit of 32 bytes and the
// settings' b3bytes values, and the largest block registered.
constexpr uint16_t kPayloadSizes[] = {1, 7, 16, 31, 32, 33, 200, 2048};
constexpr size_t kFailuresKept = 10;
// What a read asks for: the longest message and the longest DATA_B3 block
// the client registers for (maxBDataLength), as an application sizes its
// buffer. (sim::CapiApplication reads with room for any payload, 66 KB a
// read, twice over with the system buffer: at the soak's rate that is most
// of what it allocates.)
constexpr uint16_t kMaxBDataLength = 2048;
constexpr ULONG kReadBytes = sim::kMaxPutMessage + kMaxBDataLength;

std::vector<uint8_t> Bytes(sim::MessageBuilder& message) {
  return std::vector<uint8_t>(message.Bytes(), message.Bytes() + message.Length());
}

uint16_t WordAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return bytes.size() >= offset + 2 ? uint16_t(bytes[offset] | bytes[offset + 1] << 8) : 0;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Outcome(const sim::RequestResult& result) {
  return "status " + Hex(uint32_t(result.status)) + ", information " +
         std::to_string(result.information);
}

// The B protocols of a transparent 64 kbit/s connection, as a group.
void TransparentBProtocol(sim::MessageBuilder& message) {
  message.BeginGroup().Word(1).Word(1).Word(0).Empty().Empty().Empty().EndGroup();
}

}  // namespace

SoakClient::SoakClient(unsigned index, KPROCESSOR_MODE mode, int64_t baseTime)
    : index_(index), mode_(mode), baseTime_(baseTime) {}

void SoakClient::Run(const std::atomic<bool>& stop, SoakGate& gate) {
  while (!stop.load()) {
    gate.Pass();
    if (stop.load())
      break;
    Session();
  }
}

uint32_t SoakClient::NowMs() const {
  return uint32_t(emu::Clock::Now() / kTicksPerMs - baseTime_ / kTicksPerMs);
}

bool SoakClient::Check(bool ok, const std::string& what) {
  if (ok)
    return true;
  ++failureCount_;
  if (failures_.size() < kFailuresKept) {
    failures_.push_back("client " + std::to_string(index_) +
                        (mode_ == UserMode ? " (user mode)" : " (kernel mode)") + ", session " +
                        std::to_string(sessions_) + ": " + what);
  }
  return false;
}

uint16_t SoakClient::NextNumber(uint8_t command, uint16_t applId, uint16_t payload) {
  SoakSentMessage sent;
  sent.beginMs = NowMs();
  sent.applId = applId;
  sent.payload = payload;
  sent.command = command;
  std::lock_guard<std::mutex> lock(sentMutex_);
  const uint64_t sequence = forgotten_ + sent_.size();
  sent_.push_back(sent);
  return uint16_t(index_ << kSoakSequenceBits | (sequence % kSoakSequenceSpan));
}

unsigned SoakClient::Find(uint32_t low, int64_t atMs, uint64_t* sequence,
                          SoakSentMessage* message) const {
  std::lock_guard<std::mutex> lock(sentMutex_);
  // The first sequence kept that has these low bits.
  uint64_t s = low;
  if (s < forgotten_)
    s += (forgotten_ - s + kSoakSequenceSpan - 1) / kSoakSequenceSpan * kSoakSequenceSpan;
  unsigned matches = 0;
  for (; s < forgotten_ + sent_.size(); s += kSoakSequenceSpan) {
    const SoakSentMessage& sent = sent_[size_t(s - forgotten_)];
    if (int64_t(sent.beginMs) <= atMs && atMs <= int64_t(sent.endMs)) {
      *sequence = s;
      *message = sent;
      ++matches;
    }
  }
  return matches;
}

uint64_t SoakClient::MessagesSent() const {
  std::lock_guard<std::mutex> lock(sentMutex_);
  return forgotten_ + sent_.size();
}

void SoakClient::ForgetBefore(uint32_t ms) {
  std::lock_guard<std::mutex> lock(sentMutex_);
  // A margin of a millisecond for the time stamps' rounding.
  while (!sent_.empty() && sent_.front().endMs != kSoakUnderWay && sent_.front().endMs + 1 < ms) {
    sent_.pop_front();
    ++forgotten_;
  }
}

void SoakClient::Session() {
  std::unique_ptr<sim::CapiApplication> app;
  if (mode_ == UserMode) {
    app = std::make_unique<sim::UserApplication>();
  } else {
    app = std::make_unique<sim::KernelApplication>();
  }
  ++requests_;
  const NTSTATUS opened = app->Open();
  if (mode_ == KernelMode && opened == STATUS_DELETE_PENDING) {
    // A trace device on its way out takes no new kernel-mode client (it
    // could not wait for it to close); the open is tried again.
    ++refusedOpens_;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  if (!Check(opened == STATUS_SUCCESS, "open: status " + Hex(uint32_t(opened))))
    return;
  ++sessions_;
  // User-mode sessions take turns: messages by the CAPI I/O controls, and
  // by writes and reads (whose messages the log decodes). Kernel-mode ones
  // use the internal I/O controls.
  if (mode_ == UserMode && sessions_ % 2 == 0)
    app->SetTransport(sim::Transport::kReadWrite);

  ++requests_;
  const sim::RequestResult registered = app->Register(3072, 2, 7, kMaxBDataLength);
  if (Check(registered.status == STATUS_SUCCESS && registered.information == 4 &&
                app->ApplicationId() != 0,
            "CAPI_REGISTER: " + Outcome(registered))) {
    Information(*app);
    Call(*app);
    ++requests_;
    const sim::RequestResult released = app->Release();
    Check(released.status == STATUS_SUCCESS, "CAPI_RELEASE: " + Outcome(released));
  }
  ++requests_;
  app->Close();
}

bool SoakClient::Information(sim::CapiApplication& app) {
  bool ok = true;
  std::string manufacturer;
  ++requests_;
  sim::RequestResult result = app.GetManufacturer(&manufacturer);
  ok &= Check(result.status == STATUS_SUCCESS && result.information == sim::kManufacturerBytes &&
                  manufacturer == "Pellinor CAPI 2.0 simulator",
              "CAPI_GET_MANUFACTURER: " + Outcome(result) + ", \"" + manufacturer + "\"");
  std::array<uint16_t, 4> version{};
  ++requests_;
  result = app.GetVersion(1, &version);
  ok &= Check(result.status == STATUS_SUCCESS && result.information == sim::kVersionBytes &&
                  version == std::array<uint16_t, 4>{2, 0, 3, 11},
              "CAPI_GET_VERSION: " + Outcome(result));
  std::string serial;
  ++requests_;
  result = app.GetSerial(1, &serial);
  ok &= Check(result.status == STATUS_SUCCESS && result.information == sim::kSerialBytes &&
                  serial == "0000001",
              "CAPI_GET_SERIAL: " + Outcome(result) + ", \"" + serial + "\"");
  std::array<uint8_t, 64> profile{};
  ++requests_;
  result = app.GetProfile(1, &profile);
  ok &= Check(result.status == STATUS_SUCCESS && result.information == sim::kProfileBytes &&
                  profile[0] == 1 && (profile[2] | profile[3] << 8) == 2,
              "CAPI_GET_PROFILE: " + Outcome(result));
  uint32_t controller = 1;
  ++requests_;
  result = app.Ioctl(sim::kCapiManufacturer, &controller, sizeof controller, nullptr, 0);
  ok &= Check(result.status == STATUS_SUCCESS && result.information == 0,
              "CAPI_MANUFACTURER: " + Outcome(result));
  return ok;
}

bool SoakClient::Put(sim::CapiApplication& app, const std::vector<uint8_t>& message,
                     const std::vector<uint8_t>& payload, const char* what) {
  ++requests_;
  const sim::RequestResult result = app.Put(message, payload);
  const bool write = app.GetTransport() == sim::Transport::kReadWrite;
  const ULONG_PTR information = write ? message.size() + payload.size() : 0;
  return Check(result.status == STATUS_SUCCESS && result.information == information,
               std::string("put ") + what + ": " + Outcome(result));
}

bool SoakClient::Get(sim::CapiApplication& app, sim::ReceivedMessage* message, const char* what) {
  ++requests_;
  const bool read = app.GetTransport() == sim::Transport::kReadWrite;
  sim::RequestResult result;
  if (read) {
    message->message.clear();
    message->payload.clear();
    std::vector<uint8_t> buffer(kReadBytes);
    const emu::IoResult io = emu::Read(app.Handle(), buffer.data(), kReadBytes);
    result = sim::RequestResult{io.status, io.information};
    if (NT_SUCCESS(io.status) && io.information >= 2 && io.information <= kReadBytes) {
      const size_t length = std::min<size_t>(WordAt(buffer, 0), io.information);
      message->message.assign(buffer.begin(), buffer.begin() + length);
      message->payload.assign(buffer.begin() + length, buffer.begin() + io.information);
    }
  } else {
    result = app.Get(message);
  }
  const ULONG_PTR information =
      read ? message->message.size() + message->payload.size() : sim::kParameterBlockBytes;
  return Check(result.status == STATUS_SUCCESS && !message->message.empty() &&
                   result.information == information,
               std::string("get ") + what + ": " + Outcome(result));
}

bool SoakClient::Request(sim::CapiApplication& app, const std::vector<uint8_t>& message,
                         const std::vector<uint8_t>& payload, size_t infoOffset,
                         sim::ReceivedMessage* conf) {
  const std::string name = sim::MessageName(message);
  const uint16_t number = WordAt(message, 6);
  bool ok = Put(app, message, payload, name.c_str()) && Get(app, conf, "confirmation");
  {
    std::lock_guard<std::mutex> lock(sentMutex_);
    sent_.back().endMs = NowMs();
  }
  if (!ok)
    return false;
  return Check(conf->Command() == message[4] && conf->Subcommand() == sim::kConf &&
                   conf->Word(6) == number && conf->Word(2) == app.ApplicationId() &&
                   conf->Word(infoOffset) == sim::kInfoOk,
               name + ": got " + sim::MessageName(conf->message) + " number " +
                   std::to_string(conf->Word(6)) + " info " + Hex(conf->Word(infoOffset)));
}

bool SoakClient::Indication(sim::CapiApplication& app, uint8_t command, sim::ReceivedMessage* ind) {
  if (!Get(app, ind, "indication"))
    return false;
  return Check(ind->Command() == command && ind->Subcommand() == sim::kInd &&
                   ind->Word(2) == app.ApplicationId(),
               "expected indication " + Hex(command) + ", got " + sim::MessageName(ind->message));
}

bool SoakClient::Call(sim::CapiApplication& app) {
  const uint16_t id = app.ApplicationId();
  sim::ReceivedMessage conf, ind;

  sim::MessageBuilder listen(id, sim::kListen, sim::kReq, NextNumber(sim::kListen, id, 0));
  listen.Dword(1).Dword(0).Dword(1).Dword(0).Empty().Empty();
  if (!Request(app, Bytes(listen), {}, 12, &conf))
    return false;

  sim::MessageBuilder connect(id, sim::kConnect, sim::kReq, NextNumber(sim::kConnect, id, 0));
  const std::vector<uint8_t> called{0x80, '5', '5', '5', '1', '2', '3', '4'};
  const std::vector<uint8_t> calling{0x00, 0x80, '5', '5', '5', '0', '0', '0', '1'};
  connect.Dword(1).Word(2);
  connect.Struct(called.data(), uint32_t(called.size()));
  connect.Struct(calling.data(), uint32_t(calling.size()));
  connect.Empty().Empty();
  TransparentBProtocol(connect);
  connect.Empty().Empty().Empty().Empty();
  if (!Request(app, Bytes(connect), {}, 12, &conf))
    return false;
  const uint32_t plci = conf.Address();
  if (!Indication(app, sim::kConnectActive, &ind))
    return false;
  sim::MessageBuilder active(id, sim::kConnectActive, sim::kResp, ind.Word(6));
  active.Dword(plci);
  if (!Put(app, Bytes(active), {}, "CONNECT_ACTIVE_RESP"))
    return false;

  sim::MessageBuilder b3(id, sim::kConnectB3, sim::kReq, NextNumber(sim::kConnectB3, id, 0));
  b3.Dword(plci).Empty();
  if (!Request(app, Bytes(b3), {}, 12, &conf))
    return false;
  const uint32_t ncci = conf.Address();
  if (!Indication(app, sim::kConnectB3Active, &ind))
    return false;
  sim::MessageBuilder b3Active(id, sim::kConnectB3Active, sim::kResp, ind.Word(6));
  b3Active.Dword(ncci);
  if (!Put(app, Bytes(b3Active), {}, "CONNECT_B3_ACTIVE_RESP"))
    return false;

  for (uint32_t i = 0; i < kDataBlocks; ++i) {
    const size_t turn = MessagesSent() + index_;
    const uint16_t size = kPayloadSizes[turn % (sizeof kPayloadSizes / sizeof kPayloadSizes[0])];
    std::vector<uint8_t> payload(size);
    for (uint32_t j = 0; j < size; ++j) payload[j] = uint8_t('A' + (turn + j) % 26);
    sim::MessageBuilder data(id, sim::kDataB3, sim::kReq, NextNumber(sim::kDataB3, id, size));
    data.Dword(ncci).Dword(0).Word(size).Word(uint16_t(i + 1)).Word(0);
    if (!Request(app, Bytes(data), payload, 14, &conf))
      return false;
    if (!Check(conf.Word(12) == i + 1,
               "DATA_B3_CONF for handle " + std::to_string(conf.Word(12)))) {
      return false;
    }
    if (!Indication(app, sim::kDataB3, &ind))
      return false;
    if (!Check(ind.payload == payload, "DATA_B3_IND with other data than was sent"))
      return false;
    sim::MessageBuilder response(id, sim::kDataB3, sim::kResp, ind.Word(6));
    response.Dword(ncci).Word(ind.Word(18));
    if (!Put(app, Bytes(response), {}, "DATA_B3_RESP"))
      return false;
  }

  sim::MessageBuilder b3Down(id, sim::kDisconnectB3, sim::kReq,
                             NextNumber(sim::kDisconnectB3, id, 0));
  b3Down.Dword(ncci).Empty();
  if (!Request(app, Bytes(b3Down), {}, 12, &conf))
    return false;
  if (!Indication(app, sim::kDisconnectB3, &ind))
    return false;
  sim::MessageBuilder b3Gone(id, sim::kDisconnectB3, sim::kResp, ind.Word(6));
  b3Gone.Dword(ncci);
  if (!Put(app, Bytes(b3Gone), {}, "DISCONNECT_B3_RESP"))
    return false;

  sim::MessageBuilder down(id, sim::kDisconnect, sim::kReq, NextNumber(sim::kDisconnect, id, 0));
  down.Dword(plci).Empty();
  if (!Request(app, Bytes(down), {}, 12, &conf))
    return false;
  if (!Indication(app, sim::kDisconnect, &ind))
    return false;
  sim::MessageBuilder gone(id, sim::kDisconnect, sim::kResp, ind.Word(6));
  gone.Dword(plci);
  return Put(app, Bytes(gone), {}, "DISCONNECT_RESP");
}

}  // namespace reliability

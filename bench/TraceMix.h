// Trace records of realistic CAPI traffic for the host benchmarks, each
// captured from a real IRP through the traced test stack of tests/pipeline
// (a write puts a message, a read gets one; both are recorded on the way
// down and at completion, as the trace device records them under the
// default settings).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/pipeline/TraceHarness.h"

#include "trace/CapiIoctl.h"

namespace tracemix {

// A line of ISDN primary rate: 30 B channels at 64 kbit/s carry about 120
// DATA_B3 blocks of 2048 bytes a second in each direction, each with its
// confirmation or response; every message is a request record and a
// completion record.
inline constexpr unsigned kLineChannels = 30;
inline constexpr double kLineDataB3PerSecond = 120;
inline constexpr double kLineRecordsPerSecond = kLineDataB3PerSecond * 2 /* directions */ *
                                                2 /* messages */ * 2 /* records */;

// The traced stack that captures the records. The records are pool of its
// test driver: the caller destroys them all before the Capture.
class Capture {
 public:
  Capture() : handle_(stack_.Open(UserMode)) {
    stack_.SetRecordSink([this](TraceRecord* record) { records_.push_back(record); });
    stack_.SetResponder([this](PIRP irp, PIO_STACK_LOCATION) {
      if (!answer_.empty())
        std::memcpy(irp->AssociatedIrp.SystemBuffer, answer_.data(), answer_.size());
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = answer_.size();
      return STATUS_SUCCESS;
    });
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  void Write(const std::vector<uint8_t>& message) {
    answer_.clear();
    emu::Write(handle_, message.data(), ULONG(message.size()));
  }
  void Read(const std::vector<uint8_t>& message) {
    answer_ = message;
    std::vector<uint8_t> buffer(message.size() + 16);
    emu::Read(handle_, buffer.data(), ULONG(buffer.size()));
  }
  void Ioctl(ULONG code, std::vector<uint8_t> in, std::vector<uint8_t> out) {
    answer_ = out;
    std::vector<uint8_t> buffer(out.size() + 8);
    emu::DeviceIoControl(handle_, code, in.data(), ULONG(in.size()), buffer.data(),
                         ULONG(buffer.size()));
  }
  // The records captured so far; the caller owns them.
  std::vector<TraceRecord*> Take() { return std::move(records_); }

 private:
  tracetest::TracedStack stack_;
  HANDLE handle_;
  std::vector<uint8_t> answer_;
  std::vector<TraceRecord*> records_;
};

// A DATA_B3_REQ or _IND on the connection NCCI with `payload` bytes behind it.
inline std::vector<uint8_t> DataB3(uint8_t subcommand, uint32_t ncci, uint16_t number,
                                   uint16_t handle, uint16_t payload) {
  std::vector<uint8_t> m = tracetest::DataB3(subcommand, payload);
  tracetest::PutWord(m, 6, number);
  tracetest::PutDword(&m[8], ncci);
  tracetest::PutWord(m, 18, handle);
  for (uint32_t i = 0; i < payload; ++i) m.push_back(uint8_t(i * 7 + 0x20));
  return m;
}

inline std::vector<uint8_t> DataB3Answer(uint8_t subcommand, uint32_t ncci, uint16_t number,
                                         uint16_t handle) {
  // CONF: NCCI, handle, info; RESP: NCCI, handle.
  std::vector<uint8_t> m =
      subcommand == 0x81 ? tracetest::Hex("10 00 01 00 86 81 00 00 00 00 00 00 00 00 00 00")
                         : tracetest::Hex("0E 00 01 00 86 83 00 00 00 00 00 00 00 00");
  tracetest::PutWord(m, 6, number);
  tracetest::PutDword(&m[8], ncci);
  tracetest::PutWord(m, 12, handle);
  return m;
}

// One connection's life, `cycles` times: set-up (CONNECT_REQ with B
// protocols and its confirmation, CONNECT_B3_ACTIVE_IND), eight DATA_B3_REQ
// of 2048 bytes with their confirmations, a CAPI_GET_VERSION I/O control,
// and the tear-down.
inline std::vector<TraceRecord*> ConnectionMix(Capture& capture, int cycles) {
  const std::vector<uint8_t> connectReq =
      tracetest::Hex("28 00 01 00 02 80 07 00 01 00 00 00 10 00 04 81 31 32 33 04 00 80 34 35 "
                     "00 00 09 01 00 01 00 00 00 00 00 00 00 00 00 00");
  const std::vector<uint8_t> connectConf = tracetest::Hex("0E 00 01 00 02 81 07 00 01 01 00 00 00 00");
  const std::vector<uint8_t> connectB3ActiveInd =
      tracetest::Hex("0D 00 01 00 83 82 08 00 01 01 01 00 00");
  const std::vector<uint8_t> disconnectReq = tracetest::Hex("0D 00 01 00 04 80 0A 00 01 01 00 00 00");
  const std::vector<uint8_t> disconnectInd =
      tracetest::Hex("0E 00 01 00 04 82 0B 00 01 01 00 00 90 34");
  for (int cycle = 0; cycle < cycles; ++cycle) {
    capture.Write(connectReq);
    capture.Read(connectConf);
    capture.Read(connectB3ActiveInd);
    for (uint16_t i = 0; i < 8; ++i) {
      capture.Write(DataB3(0x80, 0x00010101, uint16_t(4660 + i), i, 2048));
      capture.Read(DataB3Answer(0x81, 0x00010101, uint16_t(4660 + i), i));
    }
    capture.Ioctl(CAPI_GET_VERSION, {1, 0, 0, 0}, {0x02, 0x00, 0x00, 0x00, 0x35, 0x00, 0x12, 0x00});
    capture.Write(disconnectReq);
    capture.Read(disconnectInd);
  }
  return capture.Take();
}

// A busy primary-rate line: `rounds` times, on each of the 30 channels, a
// DATA_B3_REQ of 2048 bytes written and its confirmation read, a
// DATA_B3_IND of 2048 bytes read and its response written.
inline std::vector<TraceRecord*> PrimaryRateMix(Capture& capture, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (uint32_t channel = 1; channel <= kLineChannels; ++channel) {
      uint32_t ncci = 0x00010001 | channel << 8;
      uint16_t number = uint16_t(round * kLineChannels + channel);
      uint16_t handle = uint16_t(round & 0x7FFF);
      capture.Write(DataB3(0x80, ncci, number, handle, 2048));
      capture.Read(DataB3Answer(0x81, ncci, number, handle));
      capture.Read(DataB3(0x82, ncci, uint16_t(0x8000 | number), handle, 2048));
      capture.Write(DataB3Answer(0x83, ncci, uint16_t(0x8000 | number), handle));
    }
  }
  return capture.Take();
}

}  // namespace tracemix

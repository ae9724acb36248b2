#include "trace/CapiMessageCheck.h"

#include "capi/CapiDecoder.h"
#include "capi/TraceText.h"
#include "trace/HexDump.h"

namespace {

constexpr uint32_t kMinimumMessage = 12;
// A DATA_B3_REQ or _IND has its data length at offset 16, so it needs 22
// bytes before the data length can be trusted.
constexpr uint32_t kMinimumDataB3 = 22;
constexpr uint8_t kDataB3 = 0x86;
constexpr uint8_t kReq = 0x80;
constexpr uint8_t kInd = 0x82;

uint32_t Min(uint32_t a, uint32_t b) {
  return a < b ? a : b;
}

// A 16-bit field of the captured bytes; 0 where the capture does not reach.
uint32_t Word(const uint8_t* message, uint32_t size, uint32_t offset) {
  if (size < 2 || offset > size - 2)
    return 0;
  return uint32_t(message[offset]) | uint32_t(message[offset + 1]) << 8;
}

uint32_t Byte(const uint8_t* message, uint32_t size, uint32_t offset) {
  return offset < size ? message[offset] : 0;
}

}  // namespace

void checkCapiMessage(const uint8_t* message, uint32_t size, uint32_t available,
                      uint32_t settings) {
  if (message == nullptr)
    size = 0;
  uint32_t length = kMinimumMessage;
  uint32_t data = 0;
  if (available >= kMinimumMessage) {
    length = Word(message, size, 0);
    uint32_t command = Byte(message, size, 4);
    uint32_t subcommand = Byte(message, size, 5);
    if (command == kDataB3 && (subcommand == kReq || subcommand == kInd) &&
        available >= kMinimumDataB3 && length >= kMinimumDataB3) {
      data = Word(message, size, 16);
    }
  }

  bool invalid =
      available < length + data || (available == kKernelCallerLength && length < kMinimumMessage);
  if (invalid) {
    TracePrint("Error: invalid CAPI message!\n");
    if (available == 0)
      return;
    hexDump(message, Min(Min(available, length), size));
    return;
  }

  DecodeCapiMessage(message, size);

  uint32_t payload = size > length ? size - length : 0;
  uint32_t dump = Min(Min(data, settings >> 16), Min(kMaxPayloadDump, payload));
  if (dump == 0)
    return;
  hexDump(message + length, dump);
}

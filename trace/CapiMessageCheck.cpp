#include "trace/CapiMessageCheck.h"

#include "capi/CapiDecoder.h"
#include "capi/CapiMessage.h"
#include "capi/TraceText.h"
#include "trace/HexDump.h"

namespace {

uint32_t Min(uint32_t a, uint32_t b) {
  return a < b ? a : b;
}

// A 16-bit field of the captured bytes; 0 where the capture does not reach.
uint32_t Word(const uint8_t* message, uint32_t size, uint32_t offset) {
  if (size < 2 || offset > size - 2)
    return 0;
  return ReadWord(message + offset);
}

uint32_t Byte(const uint8_t* message, uint32_t size, uint32_t offset) {
  return offset < size ? message[offset] : 0;
}

}  // namespace

void checkCapiMessage(const uint8_t* message, uint32_t size, uint32_t available,
                      uint32_t settings) {
  if (message == nullptr)
    size = 0;
  uint32_t length = kCapiMinimumMessage;
  uint32_t data = 0;
  if (available >= kCapiMinimumMessage) {
    length = Word(message, size, kCapiMessageLength);
    uint32_t command = Byte(message, size, kCapiMessageCommand);
    uint32_t subcommand = Byte(message, size, kCapiMessageSubcommand);
    if (command == kCapiCommandDataB3 &&
        (subcommand == kCapiSubcommandReq || subcommand == kCapiSubcommandInd) &&
        available >= kCapiMinimumDataB3 && length >= kCapiMinimumDataB3) {
      data = Word(message, size, kCapiDataB3Length);
    }
  }

  bool invalid = available < length + data ||
                 (available == kKernelCallerLength && length < kCapiMinimumMessage);
  if (invalid) {
    TracePrint("Error: invalid CAPI message!\n");
    if (available == 0)
      return;
    hexDump(message, Min(Min(available, length), size));
    return;
  }

  DecodeCapiMessage(message, size);

  uint32_t payload = size > length ? size - length : 0;
  uint32_t dump = Min(Min(data, (settings >> 16) & 0xFF), Min(kMaxPayloadDump, payload));
  if (dump == 0)
    return;
  hexDump(message + length, dump);
}

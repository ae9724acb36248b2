// Fuzz target for the decoder path of capidecode: the message check, the
// CAPI message decoder and the payload dump, over arbitrary bytes and
// arbitrary held and available lengths, plus the line parser.
//
// Input: byte 0 picks MaxDataB3Bytes (0 to 32) and how the available length
// is chosen; bytes 1 to 3 give that length and the size of the text buffer;
// the rest is the captured message. It is copied to a block of exactly its
// size, so that any read past what is held is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "capi/CapiDecoder.h"
#include "capi/TraceText.h"
#include "tools/capidecode/CapiDecode.h"
#include "trace/CapiMessageCheck.h"

namespace {

size_t textLength = 0;

// Reading the whole text checks it is NUL-terminated inside the buffer.
void Sink(const char* text, uint32_t, const void*) {
  textLength += std::strlen(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4)
    return 0;
  unsigned b3Bytes = data[0] % 33;
  unsigned mode = data[0] / 33;  // 0 to 7
  uint32_t lengthWord = uint32_t(data[1]) | uint32_t(data[2]) << 8;
  std::vector<uint8_t> message(data + 4, data + size);
  uint8_t* bytes = message.empty() ? nullptr : message.data();
  uint32_t held = uint32_t(message.size());

  // capidecode's own path: a written message captured whole.
  std::string text = capidecode::DecodeMessage(bytes, held, b3Bytes);
  if (text.empty())
    __builtin_trap();  // every message prints something

  // The same check as a trace record calls it, with any available length,
  // into a text buffer of any size from the smallest accepted to the
  // writer's.
  uint32_t available = mode == 0   ? lengthWord
                       : mode == 1 ? kKernelCallerLength
                       : mode == 2 ? held + (lengthWord & 0xFF)
                                   : held;
  size_t bufferSize = kTraceTextMinSize + size_t(data[3]) * 36;
  std::vector<char> buffer(bufferSize);
  TraceTextInit(buffer.data(), buffer.size(), Sink);
  checkCapiMessage(bytes, held, available,
                   capidecode::kTraceCapiMessages | uint32_t(b3Bytes) << 16);

  // The decoder alone, with any count held.
  DecodeCapiMessage(bytes, lengthWord < held ? lengthWord : held);
  TraceTextInit(nullptr, 0, nullptr);

  // The line parser, on the input taken as text.
  capidecode::HexLine parsed;
  std::string reason;
  capidecode::ParseLine(std::string(reinterpret_cast<const char*>(data), size), &parsed, &reason);

  // The whole program on the input as a file: dumps joined over lines.
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out;
  std::ostringstream err;
  capidecode::Run({}, in, out, err);
  return 0;
}

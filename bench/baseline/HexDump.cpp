// The code of trace/HexDump.cpp as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
#include "bench/baseline/HexDump.h"

#include "bench/baseline/TraceText.h"

namespace pellinor_baseline {

namespace {

bool IsAlphanumeric(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

uint32_t formatHexLines(char* buffer, const uint8_t* bytes, uint32_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  char* out = buffer;
  while (count != 0) {
    uint32_t left = count < 16 ? count : 16;
    for (uint32_t i = 0; i < 16; ++i) {
      if (i == 8) {
        *out++ = '-';
        *out++ = ' ';
      }
      if (i < left) {
        *out++ = kDigits[bytes[i] >> 4];
        *out++ = kDigits[bytes[i] & 15];
      } else {
        *out++ = '.';
        *out++ = '.';
      }
      *out++ = ' ';
    }
    *out++ = ' ';
    *out++ = ' ';
    for (uint32_t i = 0; i < 16; ++i)
      *out++ = i < left && IsAlphanumeric(bytes[i]) ? char(bytes[i]) : '.';
    *out++ = '\n';
    *out = '\0';
    if (left < 16)
      break;
    bytes += 16;
    count -= 16;
  }
  return uint32_t(out - buffer);
}

void hexDump(const void* bytes, uint32_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  char text[kHexDumpTextSize];
  while (count != 0) {
    uint32_t chunk = count < kHexDumpChunk ? count : kHexDumpChunk;
    formatHexLines(text, p, chunk);
    TracePrint("%s", text);
    p += chunk;
    count -= chunk;
  }
}

}  // namespace pellinor_baseline

// The code of trace/HexDump.h as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
// The hexadecimal dump format of the whole trace: lines of 16 bytes, a "- "
// between the eighth and the ninth, and a column of the letters and digits.
//   41 42 43 44 45 46 47 48 - 49 4A 4B 4C 4D 4E 4F 50   ABCDEFGHIJKLMNOP
#pragma once

#include <stdint.h>

namespace pellinor_baseline {

// Characters of one line with its "\n".
inline constexpr uint32_t kHexLineChars = 69;
// Bytes per print in hexDump, and the text buffer that holds them.
inline constexpr uint32_t kHexDumpChunk = 128;
inline constexpr uint32_t kHexDumpTextSize = 1000;
static_assert(kHexDumpChunk / 16 * kHexLineChars + 1 <= kHexDumpTextSize,
              "one chunk's lines fit the text buffer");

// Writes the lines for count bytes into buffer, NUL-terminated; nothing at
// all (not even the NUL) for a count of 0. The buffer must hold
// kHexLineChars for every started 16 bytes and the NUL. Returns the number
// of characters written, not counting the NUL.
uint32_t formatHexLines(char* buffer, const uint8_t* bytes, uint32_t count);

// Prints the lines for count bytes with TracePrint, up to 128 bytes (8
// lines) per print.
void hexDump(const void* bytes, uint32_t count);

}  // namespace pellinor_baseline

#include "trace/HexDump.h"

#include "capi/TraceText.h"

namespace {

// Per byte value: its two upper-case digits, and its character in the
// column (letters and digits as they are, anything else '.').
struct ByteTexts {
  char digits[256][2];
  char column[256];
};

constexpr bool IsAlphanumeric(uint32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr ByteTexts MakeByteTexts() {
  constexpr char kDigits[] = "0123456789ABCDEF";
  ByteTexts texts{};
  for (uint32_t i = 0; i < 256; ++i) {
    texts.digits[i][0] = kDigits[i >> 4];
    texts.digits[i][1] = kDigits[i & 15];
    texts.column[i] = IsAlphanumeric(i) ? char(i) : '.';
  }
  return texts;
}

constexpr ByteTexts kByteTexts = MakeByteTexts();
static_assert(sizeof(kByteTexts) == 3 * 256, "two digits and a column character per byte");

// A line with no byte in it, and where its character column starts.
constexpr char kEmptyLine[] =
    ".. .. .. .. .. .. .. .. - .. .. .. .. .. .. .. ..   ................\n";
static_assert(sizeof(kEmptyLine) - 1 == kHexLineChars, "one line and its line end");
constexpr uint32_t kColumn = 16 * 3 + 2 + 2;
static_assert(kEmptyLine[kColumn - 1] == ' ' && kEmptyLine[kColumn] == '.',
              "the character column follows three blanks");

}  // namespace

uint32_t formatHexLines(char* buffer, const uint8_t* bytes, uint32_t count) {
  char* out = buffer;
  while (count != 0) {
    uint32_t left = count < 16 ? count : 16;
    // Whole line of padding first, then the bytes that are there over it:
    // ".. " for every position, "- " before the ninth, two blanks, and a
    // column of dots.
    __builtin_memcpy(out, kEmptyLine, kHexLineChars);
    // cppcheck-suppress knownConditionTrueFalse ; left is 1 to 16 here, never 0
    for (uint32_t i = 0; i < left; ++i) {
      char* pair = out + 3 * i + (i < 8 ? 0 : 2);
      pair[0] = kByteTexts.digits[bytes[i]][0];
      pair[1] = kByteTexts.digits[bytes[i]][1];
      out[kColumn + i] = kByteTexts.column[bytes[i]];
    }
    out += kHexLineChars;
    *out = '\0';
    // cppcheck-suppress knownConditionTrueFalse ; true on a last line of fewer than 16 bytes
    if (left < 16)
      break;
    bytes += 16;
    count -= 16;
  }
  return uint32_t(out - buffer);
}

void hexDump(const void* bytes, uint32_t count) {
  if (!TraceTextReady())
    return;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  while (count != 0) {
    uint32_t chunk = count < kHexDumpChunk ? count : kHexDumpChunk;
    // TracePrint("%s") of the chunk's lines, which hold no NUL: formatted
    // in place when they fit, through a text buffer (and cut) when not.
    TraceTextReset();
    uint32_t lines = (chunk + 15) / 16;
    if (char* out = TraceTextReserve(lines * kHexLineChars)) {
      TraceTextCommit(formatHexLines(out, p, chunk));
    } else {
      char text[kHexDumpTextSize];
      TraceAppendText(text, formatHexLines(text, p, chunk));
    }
    TraceTextEmit(TextKindPlain, nullptr);
    p += chunk;
    count -= chunk;
  }
}

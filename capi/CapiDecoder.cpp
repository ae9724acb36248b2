#include "capi/CapiDecoder.h"

#include "capi/CapiMessage.h"
#include "capi/CapiTables.h"
#include "capi/TraceText.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsPlain(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
}

uint32_t ReadLittleEndian(const uint8_t* p, uint32_t width) {
  uint32_t value = 0;
  for (uint32_t i = width; i != 0; --i) value = (value << 8) | p[i - 1];
  return value;
}

bool Fits(const DecodeCursor& cursor, uint32_t width) {
  return cursor.offset <= cursor.end && cursor.end - cursor.offset >= width;
}

void AppendCut(DecodeCursor& cursor) {
  TraceAppendText(kDecodeCutMark, sizeof(kDecodeCutMark) - 1);
  TraceAppendText("\n", 1);
  cursor.cut = true;
}

// A field width as printf takes it from an int argument: a negative one
// left-justifies to its magnitude, which for a name is the same thing.
size_t FieldWidth(int width) {
  return width < 0 ? size_t(0) - size_t(width) : size_t(width);
}

// The " = " of every parameter line starts behind this column: the
// indentation ("  " and depth - 1 blanks) and the name padded to 32 - depth
// characters always add up to it.
constexpr size_t kNameColumn = 33;
constexpr char kBlankColumn[] = "                                 ";
static_assert(sizeof(kBlankColumn) - 1 == kNameColumn, "the name column in blanks");

// The start of a parameter line ("  %*s" with depth - 1, then "%-*s" with
// the name and the width) and its tail, tailLength characters. Written in
// place where the line is the usual one (a depth of 1 to 31 and a name that
// fits its field) and fits the text; otherwise appended piece by piece,
// which cuts it where the buffer ends.
void AppendLine(uint32_t depth, const char* name, int width, const char* tail, size_t tailLength) {
  size_t length = __builtin_strlen(name);
  if (depth >= 1 && depth <= 31 && depth + 1 + length <= kNameColumn) {
    if (char* line = TraceTextReserve(kNameColumn + tailLength)) {
      __builtin_memcpy(line, kBlankColumn, kNameColumn);
      __builtin_memcpy(line + depth + 1, name, length);
      __builtin_memcpy(line + kNameColumn, tail, tailLength);
      TraceTextCommit(kNameColumn + tailLength);
      return;
    }
  }
  TraceAppendBlanks(2 + FieldWidth(int(depth - 1)));
  TraceAppendPadded(name, FieldWidth(width));
  TraceAppendText(tail, tailLength);
}

// Length prefix of the struct at the cursor: 1 byte, or 3 when the first is
// 0xFF. Returns false when the prefix itself is not all there.
bool ReadStructPrefix(const DecodeCursor& cursor, uint32_t* prefix, uint32_t* length) {
  if (!Fits(cursor, 1))
    return false;
  const uint8_t* p = cursor.message + cursor.offset;
  if (p[0] != 0xFF) {
    *prefix = 1;
    *length = p[0];
    return true;
  }
  if (!Fits(cursor, 3))
    return false;
  *prefix = 3;
  *length = ReadWord(p + 1);
  return true;
}

// One parameter line; returns false when the decoding has to stop.
bool DecodeOne(DecodeCursor& cursor, const CapiParam& param, uint32_t depth, int width) {
  const uint8_t* at = cursor.message + cursor.offset;
  switch (param.type) {
    case ParamByte:
    case ParamWord:
    case ParamDword: {
      uint32_t size = param.type == ParamByte ? 1 : param.type == ParamWord ? 2 : 4;
      if (!Fits(cursor, size)) {
        AppendLine(depth, param.name, width, " = ", 3);
        AppendCut(cursor);
        return false;
      }
      // " = 0x" and 2, 4 or 8 lower-case digits ("%02x", "%04x", "%08lx").
      char tail[16] = {' ', '=', ' ', '0', 'x'};
      uint32_t value = ReadLittleEndian(at, size);
      uint32_t digits = size * 2;
      for (uint32_t i = 0; i < digits; ++i) {
        tail[5 + digits - 1 - i] = kHexDigits[(value >> (4 * i)) & 15];
      }
      tail[5 + digits] = '\n';
      AppendLine(depth, param.name, width, tail, 6 + digits);
      cursor.offset += size;
      return true;
    }
    case ParamStruct: {
      if (Fits(cursor, 1) && at[0] == 0) {
        AppendLine(depth, param.name, width, " = default\n", 11);
        cursor.offset += 1;
        return true;
      }
      AppendLine(depth, param.name, width, " = ", 3);
      if (!PrintStruct(at, cursor.end - cursor.offset)) {
        AppendCut(cursor);
        return false;
      }
      uint32_t prefix = 0;
      uint32_t length = 0;
      ReadStructPrefix(cursor, &prefix, &length);
      TraceAppendText("\n", 1);
      cursor.offset += prefix + length;
      return true;
    }
    case ParamGroup: {
      uint32_t prefix = 0;
      uint32_t length = 0;
      if (!ReadStructPrefix(cursor, &prefix, &length)) {
        AppendLine(depth, param.name, width, " = ", 3);
        AppendCut(cursor);
        return false;
      }
      if (prefix == 1 && length == 0) {
        AppendLine(depth, param.name, width, " = default\n", 11);
        cursor.offset += 1;
        SkipGroup(cursor);
        return true;
      }
      // The members are read from the message as they come; the group's
      // own length does not bound them.
      AppendLine(depth, param.name, width, "\n", 1);
      cursor.offset += prefix;
      cursor.step += 1;
      DecodeParams(cursor, depth + 1);
      return !cursor.cut;
    }
    default:
      // A code without a line (an end code never reaches here): its
      // indentation alone.
      TraceAppendBlanks(2 + FieldWidth(int(depth - 1)));
      return true;
  }
}

}  // namespace

void PrintStructBytes(const uint8_t* bytes, uint32_t length) {
  // At most three characters a byte and the closing '>': written in place
  // when that fits.
  if (char* start = TraceTextReserve(3 * size_t(length) + 1)) {
    char* out = start;
    bool inHex = false;
    for (uint32_t i = 0; i < length; ++i) {
      uint8_t c = bytes[i];
      if (IsPlain(c)) {
        if (inHex)
          *out++ = '>';
        inHex = false;
        *out++ = char(c);
      } else {
        out[0] = inHex ? ' ' : '<';
        out[1] = kHexDigits[c >> 4];
        out[2] = kHexDigits[c & 15];
        out += 3;
        inHex = true;
      }
    }
    if (inHex)
      *out++ = '>';
    TraceTextCommit(size_t(out - start));
    return;
  }
  // Otherwise built in a local block and handed on in pieces: the text is
  // the same, cut at the same character where the buffer ends.
  char text[256];
  uint32_t used = 0;
  bool inHex = false;
  for (uint32_t i = 0; i < length; ++i) {
    if (used > sizeof(text) - 4) {
      TraceAppendText(text, used);
      used = 0;
    }
    uint8_t c = bytes[i];
    if (IsPlain(c)) {
      if (inHex)
        text[used++] = '>';
      inHex = false;
      text[used++] = char(c);
    } else {
      text[used++] = inHex ? ' ' : '<';
      text[used++] = kHexDigits[c >> 4];
      text[used++] = kHexDigits[c & 15];
      inHex = true;
    }
  }
  if (inHex)
    text[used++] = '>';
  TraceAppendText(text, used);
}

bool PrintStruct(const uint8_t* bytes, uint32_t available) {
  if (available == 0)
    return false;
  uint32_t prefix = 1;
  uint32_t length = bytes[0];
  if (bytes[0] == 0xFF) {
    if (available < 3)
      return false;
    prefix = 3;
    length = ReadWord(bytes + 1);
  }
  uint32_t there = available - prefix;
  if (length <= there) {
    PrintStructBytes(bytes + prefix, length);
    return true;
  }
  PrintStructBytes(bytes + prefix, there);
  return false;
}

void SkipGroup(DecodeCursor& cursor) {
  // The string terminator stops the walk too, so a malformed sequence can
  // never lead it out of its table.
  cursor.step += 1;
  uint32_t count = 1;
  while (count != 0 && cursor.sequence[cursor.step] != 0) {
    cursor.step += 1;
    uint32_t type = CapiParamLookup(cursor.sequence[cursor.step]).type;
    if (type == ParamGroup) {
      count += 1;
    } else if (type == ParamEnd) {
      count -= 1;
    }
  }
}

void DecodeParams(DecodeCursor& cursor, uint32_t depth) {
  if (CapiParamLookup(cursor.sequence[cursor.step]).type == ParamEnd)
    return;
  int width = 32 - int(depth);
  for (;;) {
    const CapiParam& param = CapiParamLookup(cursor.sequence[cursor.step]);
    if (!DecodeOne(cursor, param, depth, width))
      return;
    cursor.step += 1;
    if (CapiParamLookup(cursor.sequence[cursor.step]).type == ParamEnd)
      return;
  }
}

void DecodeCapiMessage(const void* message, uint32_t held) {
  if (!TraceTextReady())
    return;
  TraceTextReset();
  const uint8_t* bytes = static_cast<const uint8_t*>(message);
  if (bytes == nullptr || held < kCapiMessageHeaderSize) {
    // Not even the header is there.
    TraceAppendText(kDecodeCutMark, sizeof(kDecodeCutMark) - 1);
    TraceAppendText("\n", 1);
    TraceTextEmit(TextKindMessage, message);
    return;
  }
  uint32_t length = ReadWord(bytes + kCapiMessageLength);
  uint32_t application = ReadWord(bytes + kCapiMessageApplication);
  uint8_t command = bytes[kCapiMessageCommand];
  uint8_t subcommand = bytes[kCapiMessageSubcommand];
  uint32_t number = ReadWord(bytes + kCapiMessageNumber);

  const CapiMessage* entry = CapiMessageFind(command, subcommand);
  // "%-26s  %4u Byte  ApplID:%2u   MsgNr: %u\n"
  if (entry != nullptr) {
    TraceAppendPadded(entry->name, 26);
  } else {
    char unlisted[] = "UNKNOWN_XX_XX" "             ";
    static_assert(sizeof(unlisted) == 26 + 1, "the unlisted name padded to its column");
    const char* upper = "0123456789ABCDEF";
    unlisted[8] = upper[command >> 4];
    unlisted[9] = upper[command & 15];
    unlisted[11] = upper[subcommand >> 4];
    unlisted[12] = upper[subcommand & 15];
    TraceAppendText(unlisted, 26);
  }
  TraceAppendText("  ", 2);
  TraceAppendDecimal(length, 4);
  TraceAppendText(" Byte  ApplID:", 14);
  TraceAppendDecimal(application, 2);
  TraceAppendText("   MsgNr: ", 10);
  TraceAppendDecimal(number, 0);
  TraceAppendText("\n", 1);
  if (entry != nullptr) {
    DecodeCursor cursor{
        bytes, held < length ? held : length, kCapiMessageHeaderSize, entry->params, 0, false};
    DecodeParams(cursor, 1);
  }
  TraceTextEmit(TextKindMessage, message);
}

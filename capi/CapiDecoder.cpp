#include "capi/CapiDecoder.h"

#include "capi/CapiMessage.h"
#include "capi/CapiTables.h"
#include "capi/TraceText.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

// "000102...ff": the two lower-case digits of every byte.
struct HexPairs {
  char text[512];
};
constexpr HexPairs MakeHexPairs() {
  HexPairs pairs{};
  for (size_t i = 0; i < 256; ++i) {
    pairs.text[2 * i] = kHexDigits[i >> 4];
    pairs.text[2 * i + 1] = kHexDigits[i & 15];
  }
  return pairs;
}
constexpr HexPairs kHexPairTable = MakeHexPairs();
constexpr const char* kHexPairs = kHexPairTable.text;

// The header line: a name padded to 26 (message names have at most 26
// characters), and three 16-bit numbers.
constexpr size_t kHeaderNameWidth = 26;
constexpr size_t kHeaderRoom = 96;

template <size_t N>
char* PutText(char* out, const char (&text)[N]) {
  __builtin_memcpy(out, text, N - 1);
  return out + N - 1;
}

// text padded with blanks to width; text of at most kHeaderNameWidth.
char* PutPadded(char* out, const char* text, size_t width) {
  size_t i = 0;
  for (; text[i] != '\0'; ++i) out[i] = text[i];
  for (; i < width; ++i) out[i] = ' ';
  return out + i;
}

// A 16-bit number in decimal, right-justified in width ("%4u").
char* PutDecimal(char* out, uint32_t value, size_t width) {
  char digits[5];
  size_t count = 0;
  do {
    digits[count++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = count; i < width; ++i) *out++ = ' ';
  while (count != 0) *out++ = digits[--count];
  return out;
}

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

constexpr size_t NameLength(const char* name) {
  size_t length = 0;
  while (name[length] != '\0') ++length;
  return length;
}

// Every parameter's name padded with blanks to the widest field (depth 1),
// and its length: a line's name is one copy of fixed size.
constexpr size_t kPaddedName = kNameColumn - 2;
struct PaddedNames {
  char name[kCapiParamCount][kPaddedName];
  uint8_t length[kCapiParamCount];
};

constexpr PaddedNames MakePaddedNames() {
  PaddedNames names{};
  for (size_t code = 0; code < kCapiParamCount; ++code) {
    size_t length = 0;
    if (CapiParamTable[code].type != ParamEnd) {
      length = NameLength(CapiParamTable[code].name);
      for (size_t i = 0; i < length && i < kPaddedName; ++i) names.name[code][i] = CapiParamTable[code].name[i];
    }
    for (size_t i = length; i < kPaddedName; ++i) names.name[code][i] = ' ';
    names.length[code] = uint8_t(length);
  }
  return names;
}

constexpr PaddedNames kPaddedNames = MakePaddedNames();

constexpr bool MessageNamesFitTheHeader() {
  for (size_t i = 0; i < kCapiMessageCount; ++i) {
    if (CapiMessageTable[i].listed && NameLength(CapiMessageTable[i].name) > kHeaderNameWidth)
      return false;
  }
  return true;
}
static_assert(MessageNamesFitTheHeader(), "every message name fits the header's name field");

// A parameter line: "  %*s" with depth - 1, "%-*s" with the name and the
// width, then its tail of tailLength characters. Written in place where the
// line is the usual one (depth 1 or 2, the name within its field; the tail
// at least one character, which the name's fixed-size copy may reach) and
// fits the text; otherwise appended piece by piece, which cuts it where the
// buffer ends.
void AppendLine(uint32_t depth, uint32_t code, int width, const char* tail, size_t tailLength) {
  if (depth >= 1 && depth <= 2 && depth + 1 + kPaddedNames.length[code] <= kNameColumn &&
      tailLength != 0) {
    if (char* line = TraceTextReserve(kNameColumn + tailLength)) {
      __builtin_memcpy(line, "   ", 3);
      __builtin_memcpy(line + depth + 1, kPaddedNames.name[code], kPaddedName);
      for (size_t i = 0; i < tailLength; ++i) line[kNameColumn + i] = tail[i];
      TraceTextCommit(kNameColumn + tailLength);
      return;
    }
  }
  TraceAppendBlanks(2 + FieldWidth(int(depth - 1)));
  TraceAppendPadded(CapiParamTable[code].name, FieldWidth(width));
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
// NOLINTNEXTLINE(misc-no-recursion): a group recurses once; SequenceIsValid rules out nested groups
bool DecodeOne(DecodeCursor& cursor, const CapiParam& param, uint32_t depth, int width) {
  const uint8_t* at = cursor.message + cursor.offset;
  uint32_t code = uint32_t(&param - CapiParamTable);
  switch (param.type) {
    case ParamByte:
    case ParamWord:
    case ParamDword: {
      uint32_t size = param.type == ParamByte ? 1 : param.type == ParamWord ? 2 : 4;
      if (!Fits(cursor, size)) {
        AppendLine(depth, code, width, " = ", 3);
        AppendCut(cursor);
        return false;
      }
      // " = 0x" and 2, 4 or 8 lower-case digits ("%02x", "%04x", "%08lx").
      char tail[16] = {' ', '=', ' ', '0', 'x'};
      uint32_t value = ReadLittleEndian(at, size);
      uint32_t digits = size * 2;
      for (uint32_t i = 0; i < digits; i += 2) {
        const char* pair = kHexPairs + 2 * ((value >> (4 * i)) & 0xFF);
        tail[5 + digits - 2 - i] = pair[0];
        tail[5 + digits - 1 - i] = pair[1];
      }
      tail[5 + digits] = '\n';
      AppendLine(depth, code, width, tail, 6 + digits);
      cursor.offset += size;
      return true;
    }
    case ParamStruct: {
      if (Fits(cursor, 1) && at[0] == 0) {
        AppendLine(depth, code, width, " = default\n", 11);
        cursor.offset += 1;
        return true;
      }
      AppendLine(depth, code, width, " = ", 3);
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
        AppendLine(depth, code, width, " = ", 3);
        AppendCut(cursor);
        return false;
      }
      if (prefix == 1 && length == 0) {
        AppendLine(depth, code, width, " = default\n", 11);
        cursor.offset += 1;
        SkipGroup(cursor);
        return true;
      }
      // The members are read from the message as they come; the group's
      // own length does not bound them.
      AppendLine(depth, code, width, "\n", 1);
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

// NOLINTNEXTLINE(misc-no-recursion): a group recurses once; SequenceIsValid rules out nested groups
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
  // "%-26s  %4u Byte  ApplID:%2u   MsgNr: %u\n", made in one piece.
  char line[kHeaderRoom];
  char* out = line;
  if (entry != nullptr) {
    out = PutPadded(out, entry->name, kHeaderNameWidth);
  } else {
    const char unlisted[] = {'U', 'N', 'K', 'N', 'O', 'W', 'N', '_', kUpperHex[command >> 4],
                             kUpperHex[command & 15], '_', kUpperHex[subcommand >> 4],
                             kUpperHex[subcommand & 15], '\0'};
    out = PutPadded(out, unlisted, kHeaderNameWidth);
  }
  out = PutText(out, "  ");
  out = PutDecimal(out, length, 4);
  out = PutText(out, " Byte  ApplID:");
  out = PutDecimal(out, application, 2);
  out = PutText(out, "   MsgNr: ");
  out = PutDecimal(out, number, 0);
  *out++ = '\n';
  TraceAppendText(line, size_t(out - line));
  if (entry != nullptr) {
    DecodeCursor cursor{
        bytes, held < length ? held : length, kCapiMessageHeaderSize, entry->params, 0, false};
    DecodeParams(cursor, 1);
  }
  TraceTextEmit(TextKindMessage, message);
}

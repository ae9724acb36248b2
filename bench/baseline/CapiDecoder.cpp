// The code of capi/CapiDecoder.cpp as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
#include "bench/baseline/CapiDecoder.h"

#include "capi/CapiMessage.h"
#include "capi/CapiTables.h"
#include "bench/baseline/TextFormat.h"
#include "bench/baseline/TraceText.h"

namespace pellinor_baseline {

namespace {

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
  TraceAppend("%s\n", kDecodeCutMark);
  cursor.cut = true;
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
        TraceAppend("%-*s = ", width, param.name);
        AppendCut(cursor);
        return false;
      }
      uint32_t value = ReadLittleEndian(at, size);
      if (size == 1) {
        TraceAppend("%-*s = 0x%02x\n", width, param.name, value);
      } else if (size == 2) {
        TraceAppend("%-*s = 0x%04x\n", width, param.name, value);
      } else {
        TraceAppend("%-*s = 0x%08lx\n", width, param.name, static_cast<unsigned long>(value));
      }
      cursor.offset += size;
      return true;
    }
    case ParamStruct: {
      TraceAppend("%-*s = ", width, param.name);
      if (Fits(cursor, 1) && at[0] == 0) {
        TraceAppend("default\n");
        cursor.offset += 1;
        return true;
      }
      if (!PrintStruct(at, cursor.end - cursor.offset)) {
        AppendCut(cursor);
        return false;
      }
      uint32_t prefix = 0;
      uint32_t length = 0;
      ReadStructPrefix(cursor, &prefix, &length);
      TraceAppend("\n");
      cursor.offset += prefix + length;
      return true;
    }
    case ParamGroup: {
      uint32_t prefix = 0;
      uint32_t length = 0;
      if (!ReadStructPrefix(cursor, &prefix, &length)) {
        TraceAppend("%-*s = ", width, param.name);
        AppendCut(cursor);
        return false;
      }
      if (prefix == 1 && length == 0) {
        TraceAppend("%-*s = default\n", width, param.name);
        cursor.offset += 1;
        SkipGroup(cursor);
        return true;
      }
      // The members are read from the message as they come; the group's
      // own length does not bound them.
      TraceAppend("%-*s\n", width, param.name);
      cursor.offset += prefix;
      cursor.step += 1;
      DecodeParams(cursor, depth + 1);
      return !cursor.cut;
    }
    default:
      return true;
  }
}

}  // namespace

void PrintStructBytes(const uint8_t* bytes, uint32_t length) {
  bool inHex = false;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t c = bytes[i];
    if (IsPlain(c)) {
      if (inHex)
        TraceAppend(">");
      inHex = false;
      TraceAppend("%c", c);
    } else {
      TraceAppend(inHex ? " %02x" : "<%02x", c);
      inHex = true;
    }
  }
  if (inHex)
    TraceAppend(">");
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
    TraceAppend("  %*s", int(depth - 1), "");
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
    TraceAppend("%s\n", kDecodeCutMark);
    TraceTextEmit(TextKindMessage, message);
    return;
  }
  uint32_t length = ReadWord(bytes + kCapiMessageLength);
  uint32_t application = ReadWord(bytes + kCapiMessageApplication);
  uint8_t command = bytes[kCapiMessageCommand];
  uint8_t subcommand = bytes[kCapiMessageSubcommand];
  uint32_t number = ReadWord(bytes + kCapiMessageNumber);

  const CapiMessage* entry = CapiMessageFind(command, subcommand);
  const char* name = entry != nullptr ? entry->name : nullptr;
  char unlisted[sizeof("UNKNOWN_XX_XX")];
  if (name == nullptr) {
    FormatText(unlisted, sizeof(unlisted), kUnlistedNameFormat, command, subcommand);
    name = unlisted;
  }
  TraceAppend("%-26s  %4u Byte  ApplID:%2u   MsgNr: %u\n", name, length, application, number);
  if (entry != nullptr) {
    DecodeCursor cursor{
        bytes, held < length ? held : length, kCapiMessageHeaderSize, entry->params, 0, false};
    DecodeParams(cursor, 1);
  }
  TraceTextEmit(TextKindMessage, message);
}

}  // namespace pellinor_baseline

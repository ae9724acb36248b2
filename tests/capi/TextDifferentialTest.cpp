// Today's message text against the code it replaced (bench/baseline, the
// printf-style decoder): the same messages, held bytes, settings and text
// buffer sizes must give the same texts, character for character, in the
// same sink calls; cuts at the buffer's end included.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/baseline/CapiDecoder.h"
#include "bench/baseline/CapiMessageCheck.h"
#include "bench/baseline/HexDump.h"
#include "bench/baseline/TextFormat.h"
#include "bench/baseline/TraceText.h"
#include "capi/CapiDecoder.h"
#include "capi/CapiTables.h"
#include "capi/TextFormat.h"
#include "capi/TextLine.h"
#include "capi/TraceText.h"
#include "trace/CapiMessageCheck.h"
#include "trace/HexDump.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Both sinks, each with a buffer of the same size, record every text with
// its kind.
std::vector<std::string> newTexts;
std::vector<std::string> oldTexts;

void NewSink(const char* text, uint32_t kind, const void*) {
  newTexts.push_back(std::to_string(kind) + ":" + text);
}

void OldSink(const char* text, uint32_t kind, const void*) {
  oldTexts.push_back(std::to_string(kind) + ":" + text);
}

class BothSinks {
 public:
  explicit BothSinks(size_t size) : new_(size, '\x55'), old_(size, '\x55') {
    newTexts.clear();
    oldTexts.clear();
    TraceTextInit(new_.data(), size, NewSink);
    pellinor_baseline::TraceTextInit(old_.data(), size, OldSink);
  }
  ~BothSinks() {
    TraceTextInit(nullptr, 0, nullptr);
    pellinor_baseline::TraceTextInit(nullptr, 0, nullptr);
  }
  BothSinks(const BothSinks&) = delete;
  BothSinks& operator=(const BothSinks&) = delete;

  // The text so far, which tests of the append steps compare.
  std::string NewText() const { return TraceTextBuffer(); }
  std::string OldText() const { return pellinor_baseline::TraceTextBuffer(); }

 private:
  std::vector<char> new_;
  std::vector<char> old_;
};

std::string Describe(const Bytes& bytes, size_t held, uint32_t available, size_t size) {
  std::string text = "held " + std::to_string(held) + ", available " +
                     std::to_string(available) + ", buffer " + std::to_string(size) + ":";
  char hex[4];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    text += hex;
  }
  return text;
}

// The message check (decoder and payload dump) of both, on an exact-size
// copy of the held bytes.
void ExpectSameCheck(const Bytes& message, size_t held, uint32_t available, uint32_t settings,
                     size_t size) {
  Bytes copy(message.begin(), message.begin() + held);
  BothSinks sinks(size);
  checkCapiMessage(copy.data(), uint32_t(held), available, settings);
  pellinor_baseline::checkCapiMessage(copy.data(), uint32_t(held), available, settings);
  ASSERT_EQ(newTexts, oldTexts) << Describe(message, held, available, size);
}

void ExpectSameDecode(const Bytes& message, size_t held, size_t size) {
  Bytes copy(message.begin(), message.begin() + held);
  BothSinks sinks(size);
  DecodeCapiMessage(copy.data(), uint32_t(held));
  pellinor_baseline::DecodeCapiMessage(copy.data(), uint32_t(held));
  ASSERT_EQ(newTexts, oldTexts) << Describe(message, held, 0, size);
}

// A message the tables list, with parameters made to be read: every
// parameter of its sequence in turn, structs short and long (sometimes with
// the 0xFF prefix, sometimes empty), bytes mostly printable or mostly not,
// groups empty or with members; sometimes cut short or with a wrong length.
Bytes ListedMessage(std::mt19937& random) {
  std::vector<const CapiMessage*> listed;
  for (size_t i = 0; i < kCapiMessageCount; ++i) {
    if (CapiMessageTable[i].listed)
      listed.push_back(&CapiMessageTable[i]);
  }
  const CapiMessage* m = listed[random() % listed.size()];
  Bytes bytes = {0, 0, uint8_t(random()), uint8_t(random()), m->command, m->subcommand,
                 uint8_t(random()), uint8_t(random())};
  auto structBytes = [&](size_t n) {
    bool plain = random() % 2 == 0;
    for (size_t i = 0; i < n; ++i) {
      bytes.push_back(plain && random() % 4 != 0 ? uint8_t("aZ09 xy"[random() % 7])
                                                 : uint8_t(random()));
    }
  };
  for (const uint8_t* code = m->params; *code != 0; ++code) {
    const CapiParam& param = CapiParamLookup(*code);
    switch (param.type) {
      case ParamWord:
        bytes.push_back(uint8_t(random()));
        bytes.push_back(uint8_t(random()));
        break;
      case ParamDword:
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(random()));
        break;
      case ParamStruct: {
        size_t n = random() % 3 == 0 ? 0 : random() % 40;
        if (random() % 8 == 0) {
          n = random() % 600;
          bytes.push_back(0xFF);
          bytes.push_back(uint8_t(n));
          bytes.push_back(uint8_t(n >> 8));
        } else {
          bytes.push_back(uint8_t(n));
        }
        structBytes(n);
        break;
      }
      case ParamGroup:
        if (random() % 3 == 0) {
          bytes.push_back(0);
          while (CapiParamLookup(code[1]).type != ParamEnd) ++code;  // skip the members
          ++code;
        } else if (random() % 4 == 0) {
          bytes.push_back(0xFF);
          bytes.push_back(uint8_t(random()));
          bytes.push_back(0);
        } else {
          bytes.push_back(uint8_t(random() % 60 + 1));
        }
        break;
      default:
        break;
    }
  }
  size_t length = bytes.size();
  if (random() % 6 == 0)
    length = random() % (length + 8);
  bytes[0] = uint8_t(length);
  bytes[1] = uint8_t(length >> 8);
  return bytes;
}

// A DATA_B3_REQ or _IND with its payload behind it.
Bytes DataB3(std::mt19937& random) {
  Bytes bytes = {22, 0, 1, 0, 0x86, random() % 2 ? uint8_t(0x80) : uint8_t(0x82), 1, 0,
                 1,  1, 1, 0, 0,    0,    0,    0};
  uint16_t payload = uint16_t(random() % 300);
  bytes.push_back(uint8_t(payload));
  bytes.push_back(uint8_t(payload >> 8));
  for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(random()));
  size_t carried = random() % 4 == 0 ? random() % (payload + 1) : payload;
  for (size_t i = 0; i < carried; ++i) bytes.push_back(uint8_t(random()));
  return bytes;
}

Bytes RandomBytes(std::mt19937& random) {
  Bytes bytes(random() % 80);
  for (uint8_t& b : bytes) b = uint8_t(random());
  if (bytes.size() >= 2 && random() % 2 == 0) {
    bytes[0] = uint8_t(bytes.size());
    bytes[1] = 0;
  }
  return bytes;
}

// Buffer sizes: the log writer's own, and small ones that make the text
// meet the end of the buffer at every kind of place.
size_t BufferSize(std::mt19937& random) {
  return random() % 2 == 0 ? kTraceTextSize : kTraceTextMinSize + random() % 400;
}

TEST(TextDifferential, RandomListedMessagesThroughTheMessageCheck) {
  std::mt19937 random(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes m = ListedMessage(random);
    size_t held = random() % 5 == 0 ? random() % (m.size() + 1) : m.size();
    uint32_t available = random() % 5 == 0 ? uint32_t(random() % (m.size() + 4))
                                           : random() % 7 == 0 ? kKernelCallerLength
                                                               : uint32_t(m.size());
    uint32_t settings = (uint32_t(random() % 40) << 16) | 0x0003;
    ExpectSameCheck(m, held, available, settings, BufferSize(random));
    if (HasFatalFailure())
      return;
  }
}

TEST(TextDifferential, RandomListedMessagesThroughTheDecoder) {
  std::mt19937 random(99);
  for (int i = 0; i < 20000; ++i) {
    Bytes m = ListedMessage(random);
    size_t held = random() % 3 == 0 ? random() % (m.size() + 1) : m.size();
    ExpectSameDecode(m, held, BufferSize(random));
    if (HasFatalFailure())
      return;
  }
}

TEST(TextDifferential, DataB3PayloadDumps) {
  std::mt19937 random(7);
  for (int i = 0; i < 5000; ++i) {
    Bytes m = DataB3(random);
    uint32_t settings = (uint32_t(random() % 40) << 16) | 0x0001;
    uint32_t available = random() % 4 == 0 ? uint32_t(random() % (m.size() + 1)) : uint32_t(m.size());
    ExpectSameCheck(m, m.size(), available, settings, BufferSize(random));
    if (HasFatalFailure())
      return;
  }
}

TEST(TextDifferential, RandomBytes) {
  std::mt19937 random(42);
  for (int i = 0; i < 20000; ++i) {
    Bytes m = RandomBytes(random);
    ExpectSameCheck(m, m.size(), uint32_t(m.size()), 0x00200003, BufferSize(random));
    if (HasFatalFailure())
      return;
    ExpectSameDecode(m, m.size(), BufferSize(random));
    if (HasFatalFailure())
      return;
  }
}

TEST(TextDifferential, HugeStructsMeetTheEndOfTheBuffer) {
  // A FACILITY_REQ whose struct holds up to 65535 bytes, plain or not: the
  // text runs past 9216 characters and is cut.
  std::mt19937 random(5);
  for (int i = 0; i < 200; ++i) {
    size_t n = 2000 + random() % 5000;
    Bytes m = {0, 0, 1, 0, 0x80, 0x80, 3, 0, 1, 0, 0, 0, 3, 0, 0xFF, uint8_t(n), uint8_t(n >> 8)};
    bool plain = i % 2 == 0;
    for (size_t k = 0; k < n; ++k) m.push_back(plain ? uint8_t('A' + k % 26) : uint8_t(random()));
    m[0] = uint8_t(m.size());
    m[1] = uint8_t(m.size() >> 8);
    ExpectSameDecode(m, m.size(), BufferSize(random));
    if (HasFatalFailure())
      return;
  }
}

TEST(TextDifferential, SampleMessages) {
  std::ifstream in(PELLINOR_SOURCE_DIR "/samples/messages.txt");
  ASSERT_TRUE(in.good());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    for (char& c : line) {
      if (c == ',' || c == ':')
        c = ' ';
    }
    std::istringstream hex(line);
    Bytes m;
    unsigned byte;
    while (hex >> std::hex >> byte) m.push_back(uint8_t(byte));
    for (size_t size = kTraceTextMinSize; size < 400; size += 7) {
      ExpectSameCheck(m, m.size(), uint32_t(m.size()), 0x00200003, size);
    }
    ExpectSameCheck(m, m.size(), uint32_t(m.size()), 0x00200003, kTraceTextSize);
    ++count;
  }
  EXPECT_GT(count, 20);
}

TEST(TextDifferential, DecodingStepsAtUnusualDepths) {
  // The steps are usable on their own: a group's members at any depth,
  // including depths where the width runs out or turns negative.
  const uint8_t sequence[] = {0x03, 0x24, 0x0B, 0x0D, 0x06, 0x05, 0x01, 0x01, 0x00};
  const Bytes m = {1, 2, 3, 4, 5, 6, 3, 0x81, 0x41, 0x00, 4, 7, 0, 2, 0x41, 0x42};
  for (uint32_t depth : {0u, 1u, 2u, 5u, 29u, 31u, 32u, 33u, 40u}) {
    for (size_t size : {size_t(kTraceTextMinSize), size_t(100), size_t(200), kTraceTextSize}) {
      BothSinks sinks(size);
      DecodeCursor a{m.data(), uint32_t(m.size()), 0, sequence, 0, false};
      pellinor_baseline::DecodeCursor b{m.data(), uint32_t(m.size()), 0, sequence, 0, false};
      DecodeParams(a, depth);
      pellinor_baseline::DecodeParams(b, depth);
      ASSERT_EQ(sinks.NewText(), sinks.OldText()) << "depth " << depth << ", buffer " << size;
      ASSERT_EQ(a.offset, b.offset);
      ASSERT_EQ(a.step, b.step);
      ASSERT_EQ(a.cut, b.cut);
    }
  }
}

TEST(TextDifferential, AppendsMatchTheirFormatsAtEveryCut) {
  // Each direct append against TraceAppend of its format, with the text
  // already filled to every length near the buffer's limit.
  std::mt19937 random(11);
  const size_t size = 96;
  for (size_t fill = 0; fill < size; ++fill) {
    for (int round = 0; round < 20; ++round) {
      BothSinks sinks(size);
      std::string prefix(fill, 'p');
      TraceAppendText(prefix.data(), prefix.size());
      pellinor_baseline::TraceAppend("%s", prefix.c_str());
      uint32_t value = random() >> (random() % 32);
      size_t width = random() % 12;
      switch (round % 6) {
        case 0:
          TraceAppendHex(value, 8, false);
          pellinor_baseline::TraceAppend("%08lx", static_cast<unsigned long>(value));
          break;
        case 1:
          TraceAppendHex(value, 1, true);
          pellinor_baseline::TraceAppend("%X", value);
          break;
        case 2:
          TraceAppendDecimal(value, width);
          pellinor_baseline::TraceAppend("%*u", int(width), value);
          break;
        case 3:
          TraceAppendPadded("Controller", width + 5);
          pellinor_baseline::TraceAppend("%-*s", int(width + 5), "Controller");
          break;
        case 4:
          TraceAppendBlanks(width * 9);
          pellinor_baseline::TraceAppend("%*s", int(width * 9), "");
          break;
        default:
          TraceAppendString("text\nmore");
          pellinor_baseline::TraceAppend("%s", "text\nmore");
          break;
      }
      TraceAppendText("end\n", 4);
      pellinor_baseline::TraceAppend("end\n");
      ASSERT_EQ(sinks.NewText(), sinks.OldText()) << "fill " << fill << ", round " << round;
    }
  }
}

TEST(TextDifferential, LinesInPlaceMatchTheirFormatsAtEveryCut) {
  // A line written in place with room for all, some or none of it, with
  // the text already filled to every length near the buffer's limit: the
  // same text as the format, cut at the same character.
  std::mt19937 random(13);
  const size_t size = 128;
  for (size_t fill = 0; fill < size; ++fill) {
    for (size_t room : {size_t(0), size_t(10), size_t(40), size_t(200)}) {
      BothSinks sinks(size);
      std::string prefix(fill, 'p');
      TraceAppendText(prefix.data(), prefix.size());
      pellinor_baseline::TraceAppend("%s", prefix.c_str());
      uint32_t value = random() >> (random() % 32);
      const void* address = reinterpret_cast<const void*>(uintptr_t(random()));
      const char* name = room == 40 ? nullptr : "STATUS_INVALID_DEVICE_REQUEST";
      {
        TextLine line(room);
        line.Text("COMPLETION ");
        line.String(name);
        line.Text(" 0x");
        line.Hex(value, 4, true);
        line.Text(" ");
        line.Decimal(value);
        line.Text(" ");
        line.Hex(value, 1, false);
        line.Text(" ");
        line.Address(address);
        line.Text("\n");
      }
      TraceAppendText("end", 3);
      pellinor_baseline::TraceAppend("COMPLETION %s 0x%04X %u %x %p\nend", name, value, value,
                                     value, address);
      ASSERT_EQ(sinks.NewText(), sinks.OldText()) << "fill " << fill << ", room " << room;
    }
  }
}

TEST(TextDifferential, HexDumpsOfEveryLength) {
  Bytes bytes(700);
  std::mt19937 random(3);
  for (uint8_t& b : bytes) b = uint8_t(random());
  for (uint32_t count = 0; count <= bytes.size(); count += count < 40 ? 1 : 13) {
    for (size_t size : {size_t(kTraceTextMinSize), size_t(300), kTraceTextSize}) {
      BothSinks sinks(size);
      hexDump(bytes.data(), count);
      pellinor_baseline::hexDump(bytes.data(), count);
      ASSERT_EQ(newTexts, oldTexts) << "count " << count << ", buffer " << size;
    }
  }
}

TEST(TextDifferential, FormatterConversionsAndCuts) {
  // Every conversion with random flags, widths, precisions and sizes, with
  // values of every magnitude (64-bit ones too), into buffers of every
  // size up to past the text.
  std::mt19937 random(17);
  const char* flagSets[] = {"", "-", "0", "+", " ", "#", "-0", "0#", "+ ", "-#"};
  const char* conversions[] = {"d", "i", "u", "x", "X", "lu", "lx", "llu", "llX", "lld", "hx", "hhu"};
  for (int i = 0; i < 20000; ++i) {
    std::string spec = std::string("ab%") + flagSets[random() % 10];
    if (random() % 2)
      spec += std::to_string(random() % 24);
    if (random() % 3 == 0)
      spec += "." + std::to_string(random() % 12);
    const char* conversion = conversions[random() % 12];
    spec += conversion;
    spec += " cd";
    uint64_t value = uint64_t(random()) << 32 | random();
    value >>= random() % 64;
    if (random() % 4 == 0)
      value = uint64_t(0) - value;
    char newText[64];
    char oldText[64];
    size_t size = random() % 50;
    FormatResult a;
    pellinor_baseline::FormatResult b;
    if (conversion[0] == 'l' && conversion[1] == 'l') {
      a = FormatText(newText, size, spec.c_str(), static_cast<unsigned long long>(value));
      b = pellinor_baseline::FormatText(oldText, size, spec.c_str(), static_cast<unsigned long long>(value));
    } else if (conversion[0] == 'l') {
      a = FormatText(newText, size, spec.c_str(), static_cast<unsigned long>(value));
      b = pellinor_baseline::FormatText(oldText, size, spec.c_str(), static_cast<unsigned long>(value));
    } else {
      a = FormatText(newText, size, spec.c_str(), static_cast<unsigned>(value));
      b = pellinor_baseline::FormatText(oldText, size, spec.c_str(), static_cast<unsigned>(value));
    }
    ASSERT_EQ(a.length, b.length) << spec << " " << value << " size " << size;
    ASSERT_EQ(a.cut, b.cut) << spec << " " << value << " size " << size;
    if (size != 0)
      ASSERT_STREQ(newText, oldText) << spec << " " << value << " size " << size;
  }
}

TEST(TextDifferential, FormatterStringsAndTheTraceFormats) {
  // The formats the trace prints with, and strings padded and cut.
  std::mt19937 random(23);
  for (int i = 0; i < 5000; ++i) {
    char newText[200];
    char oldText[200];
    size_t size = random() % 200;
    uint32_t a = random() >> (random() % 32);
    uint32_t b = random() >> (random() % 32);
    int width = int(random() % 40) - 10;
    const char* name = i % 3 == 0 ? "CAPI_GET_MESSAGE" : i % 3 == 1 ? "" : nullptr;
    FormatResult x = FormatText(newText, size,
                                "COMPLETION %s (%-*s, %p)\n   %s 0x%04X (0x%08X: %.*s, %u (0x%X))\n",
                                name, width, "MJ_READ", reinterpret_cast<void*>(uintptr_t(a)),
                                a & 1 ? "CAPIError" : "", a & 0xFFFF, b, width, "STATUS_SUCCESS",
                                a, a);
    pellinor_baseline::FormatResult y = pellinor_baseline::FormatText(
        oldText, size, "COMPLETION %s (%-*s, %p)\n   %s 0x%04X (0x%08X: %.*s, %u (0x%X))\n", name,
        width, "MJ_READ", reinterpret_cast<void*>(uintptr_t(a)), a & 1 ? "CAPIError" : "",
        a & 0xFFFF, b, width, "STATUS_SUCCESS", a, a);
    ASSERT_EQ(x.length, y.length) << size;
    ASSERT_EQ(x.cut, y.cut) << size;
    if (size != 0)
      ASSERT_STREQ(newText, oldText) << size;
  }
}

}  // namespace

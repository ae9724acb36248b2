#include "trace/HexDump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../capi/SinkCapture.h"

namespace {

std::string Lines(const std::vector<uint8_t>& bytes) {
  std::vector<char> buffer((bytes.size() + 15) / 16 * kHexLineChars + 1, '\x55');
  uint32_t length = formatHexLines(buffer.data(), bytes.data(), uint32_t(bytes.size()));
  std::string text(buffer.data());
  EXPECT_EQ(length, text.size());
  return text;
}

TEST(FormatHexLines, FullAndPaddedLines) {
  std::vector<uint8_t> letters;
  for (uint8_t c = 0x41; c <= 0x50; ++c) letters.push_back(c);
  EXPECT_EQ(Lines(letters),
            "41 42 43 44 45 46 47 48 - 49 4A 4B 4C 4D 4E 4F 50   ABCDEFGHIJKLMNOP\n");
  EXPECT_EQ(Lines({0x41, 0x42, 0x00}),
            "41 42 00 .. .. .. .. .. - .. .. .. .. .. .. .. ..   AB..............\n");
  // Only letters and digits show in the character column.
  EXPECT_EQ(Lines({'a', 'z', '0', '9', ' ', '.', 0x7F, 0xC4, 'Z'}),
            "61 7A 30 39 20 2E 7F C4 - 5A .. .. .. .. .. .. ..   az09....Z.......\n");
}

TEST(FormatHexLines, CountsOfZeroSixteenAndSeventeen) {
  char buffer[8] = "keep";
  EXPECT_EQ(formatHexLines(buffer, nullptr, 0), 0u);
  EXPECT_STREQ(buffer, "keep");  // nothing at all, not even the NUL

  std::vector<uint8_t> bytes(17, 0xAB);
  std::string text = Lines(bytes);
  EXPECT_EQ(text.size(), 2 * kHexLineChars);
  EXPECT_EQ(text.substr(kHexLineChars),
            "AB .. .. .. .. .. .. .. - .. .. .. .. .. .. .. ..   ................\n");

  // Exactly 16 bytes: one line and no empty second one.
  EXPECT_EQ(Lines(std::vector<uint8_t>(16, 0)).size(), kHexLineChars);
}

TEST(HexDump, PrintsUpTo128BytesAtATime) {
  SinkCapture sink;
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
  hexDump(bytes.data(), uint32_t(bytes.size()));
  ASSERT_EQ(sink.texts().size(), 3u);
  EXPECT_EQ(sink.texts()[0].text.size(), 8 * kHexLineChars);
  EXPECT_EQ(sink.texts()[1].text.size(), 8 * kHexLineChars);
  EXPECT_EQ(sink.texts()[2].text.size(), 3 * kHexLineChars);  // 44 bytes
  EXPECT_EQ(sink.texts()[1].text.substr(0, 10), "80 81 82 8");
  EXPECT_EQ(sink.texts()[2].kind, TextKindPlain);

  hexDump(bytes.data(), 0);
  EXPECT_EQ(sink.texts().size(), 3u);
}

}  // namespace

// The scenario language's words and values.
#include "tools/pellinor-sim/ScenarioScript.h"

#include <gtest/gtest.h>

namespace pellinorsim {
namespace {

std::vector<std::string> Texts(const Step& step) {
  std::vector<std::string> texts;
  for (const Word& word : step.words) texts.push_back(word.text);
  return texts;
}

TEST(ScenarioScript, SplitsLinesIntoWordsAndSkipsCommentsAndBlankLines) {
  const std::vector<Step> steps = SplitScript(
      "# a comment\n"
      "\n"
      "  clock   set 2003-01-05\t14:03:07  # trailing comment\r\n"
      "registry set Pellinor Pellinor_Log sz \"C:\\My Logs\\a#1.log\"\n"
      "pellinorctl set log \"C:\\new\\trace.log\" \"\\\\server\\x.log\" \"say \\\"hi\\\"\" \"\"\n"
      "   \t\n"
      "expect stdout \"a\\\\b\"");
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].line, 3);
  EXPECT_EQ(Texts(steps[0]), (std::vector<std::string>{"clock", "set", "2003-01-05", "14:03:07"}));
  EXPECT_EQ(steps[1].line, 4);
  // Backslashes stand for themselves but before a quote; "#" in quotes is
  // text.
  EXPECT_EQ(steps[1].words[5].text, "C:\\My Logs\\a#1.log");
  EXPECT_TRUE(steps[1].words[5].quoted);
  EXPECT_FALSE(steps[1].words[4].quoted);
  EXPECT_EQ(Texts(steps[2]), (std::vector<std::string>{"pellinorctl", "set", "log",
                                                        "C:\\new\\trace.log", "\\\\server\\x.log",
                                                        "say \"hi\"", ""}));
  EXPECT_EQ(steps[3].line, 7);
  EXPECT_EQ(steps[3].words[2].text, "a\\\\b");
}

TEST(ScenarioScript, RefusesBrokenQuotesWithTheirLine) {
  try {
    SplitScript("clock advance 5\npellinorctl set log \"C:\\x.log\n");
    FAIL() << "no error";
  } catch (const SyntaxError& error) {
    EXPECT_EQ(error.line, 2);
    EXPECT_STREQ(error.what(), "unterminated quote");
  }
  EXPECT_THROW(SplitScript("expect stdout \"a\"b\n"), SyntaxError);
}

TEST(ScenarioScript, ParsesNumbersStatusesAndBytes) {
  EXPECT_EQ(ParseNumber("0", "n"), 0u);
  EXPECT_EQ(ParseNumber("4294967295", "n"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0xfacF", "n"), 0xFACFu);
  EXPECT_THROW(ParseNumber("4294967296", "n"), BadWord);
  EXPECT_THROW(ParseNumber("0x", "n"), BadWord);
  EXPECT_THROW(ParseNumber("-1", "n"), BadWord);
  EXPECT_THROW(ParseNumber("12a", "n"), BadWord);
  EXPECT_EQ(ParseNumber64("18446744073709551615", "n"), UINT64_MAX);
  EXPECT_THROW(ParseNumber64("18446744073709551616", "n"), BadWord);

  EXPECT_EQ(ParseStatus("STATUS_DEVICE_DOES_NOT_EXIST"), 0xC00000C0u);
  EXPECT_EQ(ParseStatus("STATUS_SUCCESS"), 0u);
  EXPECT_EQ(ParseStatus("0xC00000E8"), 0xC00000E8u);
  EXPECT_THROW(ParseStatus("STATUS_NO_SUCH_NAME_HERE"), BadWord);

  EXPECT_EQ(ParseHex("01 ff,0A:b0"), (std::vector<uint8_t>{0x01, 0xFF, 0x0A, 0xB0}));
  EXPECT_EQ(ParseHex("-"), std::vector<uint8_t>());
  EXPECT_THROW(ParseHex("0"), BadWord);
  EXPECT_THROW(ParseHex("0 1"), BadWord);
  EXPECT_THROW(ParseHex("zz"), BadWord);

  EXPECT_EQ(DescribeStatus(0xC00000C0), "0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST");
  EXPECT_EQ(HexText(nullptr, 0), "(none)");
  const uint8_t bytes[] = {0x43, 0x00};
  EXPECT_EQ(HexText(bytes, 2), "43 00");
  EXPECT_EQ(Quote("plain"), "plain");
  EXPECT_EQ(Quote(""), "\"\"");
  // As the parser reads it back: a line end splits the text into words.
  EXPECT_EQ(Quote("a \"b\"\\n"), "\"a \\\"b\\\"\\n\"");
  EXPECT_EQ(Quote("two\nlines"), "\"two\" \"lines\"");
}

}  // namespace
}  // namespace pellinorsim

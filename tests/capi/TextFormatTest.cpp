#include "capi/TextFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  FormatResult result = FormatTextV(buffer, sizeof(buffer), format, args);
  va_end(args);
  EXPECT_FALSE(result.cut);
  EXPECT_EQ(result.length, std::string(buffer).size());
  return buffer;
}

TEST(TextFormat, IntegerConversionsWithFlagsWidthAndPrecision) {
  EXPECT_EQ(Format("%d %i %u", -42, 7, 4000000000u), "-42 7 4000000000");
  EXPECT_EQ(Format("%x %X %#x %#X", 0xbeefu, 0xbeefu, 0x1fu, 0u), "beef BEEF 0x1f 0");
  EXPECT_EQ(Format("[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 3, 3),
            "[   42][42   ][-0042][+3][ 3]");
  EXPECT_EQ(Format("[%.3d][%8.3x][%-08x]", 5, 0xau, 0xau), "[005][     00a][a       ]");
  EXPECT_EQ(Format("[%.0d]", 0), "[]");
  EXPECT_EQ(Format("%d %u", INT32_MIN, UINT32_MAX), "-2147483648 4294967295");
  EXPECT_EQ(Format("%lu %lX %ld", 4000000000ul, 0xABCDEFul, -5l), "4000000000 ABCDEF -5");
  EXPECT_EQ(Format("%llu %llx", 18446744073709551615ull, 0x123456789abcull),
            "18446744073709551615 123456789abc");
  EXPECT_EQ(Format("%hu %hhx %hd", 0x12345u, 0x1ffu, 0x18000), "9029 ff -32768");
}

TEST(TextFormat, StarWidthAndPrecision) {
  EXPECT_EQ(Format("[%*s]", 4, "ab"), "[  ab]");
  EXPECT_EQ(Format("[%-*s]", 4, "ab"), "[ab  ]");
  EXPECT_EQ(Format("[%*s]", -4, "ab"), "[ab  ]");  // negative width: left-justified
  EXPECT_EQ(Format("[%.*s]", 2, "abcdef"), "[ab]");
  EXPECT_EQ(Format("[%.*s]", -1, "abc"), "[abc]");  // negative precision: none
  EXPECT_EQ(Format("[%*.*d]", 6, 4, 42), "[  0042]");
  EXPECT_EQ(Format("  %*s|", 0, ""), "  |");
}

TEST(TextFormat, StringsCharactersAddressesAndPercent) {
  EXPECT_EQ(Format("%s|%c|%%|%5c", "text", 'x', 'y'), "text|x|%|    y");
  EXPECT_EQ(Format("%s", static_cast<const char*>(nullptr)), "(null)");
  // Addresses: two upper-case digits per address byte (8 on i386), no
  // prefix; the format adds "0x" itself.
  if (sizeof(void*) == 4) {
    EXPECT_EQ(Format("0x%p", reinterpret_cast<void*>(0x1a2b)), "0x00001A2B");
    EXPECT_EQ(Format("%p", static_cast<void*>(nullptr)), "00000000");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0xFEDCBA98u)), "FEDCBA98");
  } else {
    EXPECT_EQ(Format("0x%p", reinterpret_cast<void*>(0x1a2b)), "0x0000000000001A2B");
  }
}

TEST(TextFormat, WideStrings) {
  const char16_t wide[] = u"CAPI\u00e9201";
  const wchar_t* asWchar = reinterpret_cast<const wchar_t*>(wide);
  EXPECT_EQ(Format("%ls|%S|%.3ls|%6.2ls", asWchar, asWchar, asWchar, asWchar),
            "CAPI?201|CAPI?201|CAP|    CA");
  EXPECT_EQ(Format("%lc", L'Z'), "Z");
}

TEST(TextFormat, PrecisionBoundsTheStringRead) {
  // Not terminated within the precision: nothing past it may be read.
  const char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(Format("%.3s", unterminated), "abc");
}

TEST(TextFormat, UnknownConversionAndTrailingPercentAreCopied) {
  EXPECT_EQ(Format("%q %d", 5), "%q 5");
  char buffer[16];
  FormatResult r = FormatText(buffer, sizeof(buffer), "50%");
  EXPECT_STREQ(buffer, "50%");
  EXPECT_EQ(r.length, 3u);
}

TEST(TextFormat, CutsAtTheBufferAndAlwaysTerminates) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof(buffer));
  FormatResult r = FormatText(buffer, sizeof(buffer), "%s-%d", "abcdef", 12345);
  EXPECT_TRUE(r.cut);
  EXPECT_EQ(r.length, 7u);
  EXPECT_STREQ(buffer, "abcdef-");

  r = FormatText(buffer, 1, "abc");
  EXPECT_TRUE(r.cut);
  EXPECT_EQ(r.length, 0u);
  EXPECT_EQ(buffer[0], '\0');

  buffer[0] = 'x';
  r = FormatText(buffer, 0, "abc");
  EXPECT_TRUE(r.cut);
  EXPECT_EQ(buffer[0], 'x');  // a size of 0 writes nothing at all

  r = FormatText(buffer, 4, "abc");
  EXPECT_FALSE(r.cut);  // exactly fits
  EXPECT_STREQ(buffer, "abc");
}

TEST(TextFormat, HugeWidthIsCutNotOverrun) {
  char buffer[32];
  FormatResult r = FormatText(buffer, sizeof(buffer), "%999999999d", 1);
  EXPECT_TRUE(r.cut);
  EXPECT_EQ(r.length, 31u);
}

}  // namespace

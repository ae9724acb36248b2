// The run-time library: the kernel's sprintf conversions and counted strings.
#include <gtest/gtest.h>

#include <string>

#include <ntddk.h>

namespace {

std::string Print(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  vsprintf(buffer, format, args);
  va_end(args);
  return buffer;
}

TEST(Sprintf, KernelConversions) {
  EXPECT_EQ(Print("%p", reinterpret_cast<void*>(0x12ab)), "000012AB");
  EXPECT_EQ(Print("[%ls|%ws|%S|%s]", L"wide", L"ws", L"S", "narrow"), "[wide|ws|S|narrow]");
  EXPECT_EQ(Print("%hs %hS", "a", "b"), "a b");
  EXPECT_EQ(Print("%.2ls|%-5ls|%5s", L"abcdef", L"ab", "xy"), "ab|ab   |   xy");
  EXPECT_EQ(Print("%ls", L"\x00e9\x4e2d"), "\xe9?");  // Latin-1 kept, others '?'
  EXPECT_EQ(Print("%s %ls", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr)),
            "(null) (null)");
  EXPECT_EQ(Print("0x%08X %u (0x%X) %d %02x %hd", 0xC0000034u, 300u, 300u, -5, 7, 65537),
            "0xC0000034 300 (0x12C) -5 07 1");
  EXPECT_EQ(Print("%I64X %I64d %lld", 0x123456789ABCull, -2ll, 5ll), "123456789ABC -2 5");
  EXPECT_EQ(Print("%c%wc%C%%", 'a', L'b', L'c'), "abc%");
  EXPECT_EQ(Print("%*d|%-*d|%.*s", 4, 7, 3, 8, 2, "xyz"), "   7|8  |xy");
}

TEST(Sprintf, CountedStringsAreReadUpToTheirLength) {
  WCHAR text[] = L"abcdef";
  UNICODE_STRING u;
  u.Buffer = text;
  u.Length = 6;  // three characters, no NUL needed
  u.MaximumLength = 6;
  char narrow[] = "hello";
  ANSI_STRING a;
  a.Buffer = narrow;
  a.Length = 4;
  a.MaximumLength = 4;
  EXPECT_EQ(Print("%wZ|%Z", &u, &a), "abc|hell");
}

TEST(Sprintf, BoundedFormsFollowTheKernelRules) {
  char buffer[8];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(_snprintf(buffer, 4, "%s", "abc"), 3);
  EXPECT_STREQ(buffer, "abc");
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(_snprintf(buffer, 4, "%s", "abcd"), 4);  // fits exactly: no NUL
  EXPECT_EQ(std::string(buffer, 5), "abcd#");
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(_snprintf(buffer, 4, "%s", "abcdef"), -1);
  EXPECT_EQ(std::string(buffer, 5), "abcd#");
  EXPECT_EQ(sprintf(buffer, "%d", 42), 2);
  EXPECT_EQ(wcslen(L"four"), 4u);
  EXPECT_EQ(wcslen(L""), 0u);
}

TEST(RtlStrings, InitAndConvert) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "Device");
  EXPECT_EQ(a.Length, 6);
  EXPECT_EQ(a.MaximumLength, 7);
  UNICODE_STRING u;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(u.Length, 12);
  EXPECT_EQ(u.MaximumLength, 14);
  EXPECT_EQ(u.Buffer[5], L'e');
  EXPECT_EQ(u.Buffer[6], 0);

  UNICODE_STRING expected;
  RtlInitUnicodeString(&expected, L"DEVICE");
  EXPECT_EQ(expected.Length, 12);
  EXPECT_EQ(expected.MaximumLength, 14);
  EXPECT_TRUE(RtlEqualUnicodeString(&u, &expected, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&u, &expected, FALSE));

  ANSI_STRING back;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &u, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(back.Buffer, back.Length), "Device");
  EXPECT_EQ(back.Buffer[6], 0);
  RtlFreeAnsiString(&back);
  RtlFreeUnicodeString(&u);
  EXPECT_EQ(u.Buffer, nullptr);
  EXPECT_EQ(u.Length, 0);

  // Into a caller's buffer: too small is refused, not overrun.
  WCHAR small[3];
  UNICODE_STRING into;
  into.Buffer = small;
  into.Length = 0;
  into.MaximumLength = sizeof small;
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&into, &a, FALSE), STATUS_BUFFER_OVERFLOW);
  RtlInitAnsiString(&a, nullptr);
  EXPECT_EQ(a.Length, 0);
  EXPECT_EQ(a.Buffer, nullptr);
}

}  // namespace

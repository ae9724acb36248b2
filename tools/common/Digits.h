// Digits for the tools' text parsers (capidecode, pellinor-log, pellinorctl,
// pellinor-sim). Header only: each tool's library uses it without linking
// anything more, pellinorctl.exe for Win32 included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pellinortools {

// The value of one hexadecimal digit, either case; -1 for any other
// character. Unlike std::isxdigit it depends neither on the locale nor on
// whether char is signed.
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Exactly n decimal digits of text from `at` on (n at most 9, so that the
// value fits an int); false when text ends before them or one is no digit.
inline bool DecimalDigits(std::string_view text, size_t at, size_t n, int* value) {
  if (at > text.size() || n > text.size() - at)
    return false;
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

enum class NumberText { kNumber, kNotANumber, kTooLarge };

// A whole word as an unsigned number, decimal or with a 0x (0X) prefix
// hexadecimal, of at most `largest`: no sign, no blanks, nothing after the
// digits. Reading stops at the first character that is no digit
// (kNotANumber) or that would pass `largest` (kTooLarge); *value is set
// only for kNumber.
inline NumberText ParseUnsigned(std::string_view text, uint64_t largest, uint64_t* value) {
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == text.size())
    return NumberText::kNotANumber;
  uint64_t result = 0;
  for (; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0 || unsigned(digit) >= base)
      return NumberText::kNotANumber;
    if (unsigned(digit) > largest || result > (largest - unsigned(digit)) / base)
      return NumberText::kTooLarge;
    result = result * base + unsigned(digit);
  }
  *value = result;
  return NumberText::kNumber;
}

}  // namespace pellinortools

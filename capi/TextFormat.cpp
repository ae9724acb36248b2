// The bounded formatter. Every character goes through Output::Put, which is
// the one place that knows the buffer's size.
#include "capi/TextFormat.h"

#include <stdint.h>

namespace {

class Output {
 public:
  Output(char* buffer, size_t size) : buffer_(buffer), size_(size) {}

  void Put(char c) {
    if (length_ + 1 < size_) {
      buffer_[length_++] = c;
    } else {
      cut_ = true;
    }
  }
  void Repeat(char c, size_t count) {
    size_t fits = Room(count);
    for (size_t i = 0; i < fits; ++i) buffer_[length_ + i] = c;
    length_ += fits;
  }
  // count characters of text at once, as count calls of Put would.
  void Append(const char* text, size_t count) {
    size_t fits = Room(count);
    for (size_t i = 0; i < fits; ++i) buffer_[length_ + i] = text[i];
    length_ += fits;
  }
  FormatResult Finish() {
    if (size_ != 0)
      buffer_[length_] = '\0';
    return FormatResult{length_, cut_};
  }

 private:
  // How many of count characters fit before the NUL's place; the cut when
  // not all do.
  size_t Room(size_t count) {
    size_t room = size_ != 0 ? size_ - 1 - length_ : 0;
    if (count <= room)
      return count;
    cut_ = true;
    return room;
  }

  char* buffer_;
  size_t size_;
  size_t length_ = 0;
  bool cut_ = false;
};

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  int size = 0;  // -2 hh, -1 h, 0 int, 1 l, 2 ll
};

// Pads a field of length characters to the width, on the side the flags ask.
void PadBefore(Output& out, const Spec& spec, size_t length) {
  if (!spec.left && spec.width > length)
    out.Repeat(' ', spec.width - length);
}

void PadAfter(Output& out, const Spec& spec, size_t length) {
  if (spec.left && spec.width > length)
    out.Repeat(' ', spec.width - length);
}

void PutNumber(Output& out, const Spec& spec, uint64_t value, bool negative, unsigned base,
               bool upper, const char* prefix) {
  const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  size_t count = 0;
  // A precision of 0 prints no digits for the value 0, as in C.
  if (value != 0 || !spec.hasPrecision || spec.precision != 0) {
    if (base == 16) {
      do {
        digits[count++] = digitSet[value & 15];
        value >>= 4;
      } while (value != 0);
    } else {
      // 64-bit division only for what needs it: on i386 it is a library
      // call, and nearly every number fits 32 bits.
      while (value > 0xFFFFFFFFu) {
        digits[count++] = digitSet[value % base];
        value /= base;
      }
      uint32_t low = uint32_t(value);
      do {
        digits[count++] = digitSet[low % base];
        low /= base;
      } while (low != 0);
    }
  }
  char sign = negative ? '-' : spec.plus ? '+' : spec.space ? ' ' : '\0';
  size_t prefixLength = 0;
  while (prefix[prefixLength] != '\0') ++prefixLength;

  size_t zeros = spec.hasPrecision && spec.precision > count ? spec.precision - count : 0;
  size_t length = (sign != '\0' ? 1 : 0) + prefixLength + zeros + count;
  if (spec.zero && !spec.left && !spec.hasPrecision && spec.width > length) {
    zeros += spec.width - length;
    length = spec.width;
  }
  PadBefore(out, spec, length);
  if (sign != '\0')
    out.Put(sign);
  out.Append(prefix, prefixLength);
  out.Repeat('0', zeros);
  char ordered[24];
  for (size_t i = 0; i < count; ++i) ordered[i] = digits[count - 1 - i];
  out.Append(ordered, count);
  PadAfter(out, spec, length);
}

void PutString(Output& out, const Spec& spec, const char* text) {
  if (text == nullptr)
    text = "(null)";
  // Never look further than the precision: the string need not be
  // terminated within it.
  size_t length = 0;
  while ((!spec.hasPrecision || length < spec.precision) && text[length] != '\0') ++length;
  PadBefore(out, spec, length);
  out.Append(text, length);
  PadAfter(out, spec, length);
}

// 16-bit wide strings: characters outside ASCII print as '?'.
char Narrow(uint16_t c) {
  return c < 0x80 ? char(c) : '?';
}

void PutWideString(Output& out, const Spec& spec, const uint16_t* text) {
  if (text == nullptr) {
    PutString(out, spec, nullptr);
    return;
  }
  size_t length = 0;
  while ((!spec.hasPrecision || length < spec.precision) && text[length] != 0) ++length;
  PadBefore(out, spec, length);
  for (size_t i = 0; i < length; ++i) out.Put(Narrow(text[i]));
  PadAfter(out, spec, length);
}

int64_t SignedArgument(const Spec& spec, va_list& args) {
  switch (spec.size) {
    case -2:
      return static_cast<signed char>(va_arg(args, int));
    case -1:
      return static_cast<short>(va_arg(args, int));
    case 1:
      return va_arg(args, long);
    case 2:
      return va_arg(args, long long);
    default:
      return va_arg(args, int);
  }
}

uint64_t UnsignedArgument(const Spec& spec, va_list& args) {
  switch (spec.size) {
    case -2:
      return static_cast<unsigned char>(va_arg(args, unsigned int));
    case -1:
      return static_cast<unsigned short>(va_arg(args, unsigned int));
    case 1:
      return va_arg(args, unsigned long);
    case 2:
      return va_arg(args, unsigned long long);
    default:
      return va_arg(args, unsigned int);
  }
}

size_t ParseNumber(const char*& p) {
  size_t value = 0;
  while (*p >= '0' && *p <= '9') {
    // Saturate instead of overflowing; no field is ever that wide anyway.
    if (value < 100000)
      value = value * 10 + size_t(*p - '0');
    ++p;
  }
  return value;
}

}  // namespace

FormatResult FormatTextV(char* buffer, size_t size, const char* format, va_list args) {
  Output out(buffer, size);
  // va_list may be an array type; work on a copy that can be passed by
  // reference to the helpers.
  va_list ap;
  va_copy(ap, args);
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      // The run of plain characters up to the next conversion, at once.
      const char* run = p;
      while (*p != '\0' && *p != '%') ++p;
      out.Append(run, size_t(p - run));
      continue;
    }
    const char* start = p++;
    Spec spec;
    for (;; ++p) {
      if (*p == '-') {
        spec.left = true;
      } else if (*p == '0') {
        spec.zero = true;
      } else if (*p == '+') {
        spec.plus = true;
      } else if (*p == ' ') {
        spec.space = true;
      } else if (*p == '#') {
        spec.alternate = true;
      } else {
        break;
      }
    }
    if (*p == '*') {
      int width = va_arg(ap, int);
      if (width < 0) {
        spec.left = true;
        width = width == INT32_MIN ? INT32_MAX : -width;
      }
      spec.width = size_t(width);
      ++p;
    } else {
      spec.width = ParseNumber(p);
    }
    if (*p == '.') {
      ++p;
      spec.hasPrecision = true;
      if (*p == '*') {
        int precision = va_arg(ap, int);
        // A negative precision counts as none.
        spec.hasPrecision = precision >= 0;
        spec.precision = precision >= 0 ? size_t(precision) : 0;
        ++p;
      } else {
        spec.precision = ParseNumber(p);
      }
    }
    if (*p == 'h') {
      spec.size = -1;
      if (*++p == 'h') {
        spec.size = -2;
        ++p;
      }
    } else if (*p == 'l') {
      spec.size = 1;
      if (*++p == 'l') {
        spec.size = 2;
        ++p;
      }
    }
    char conversion = *p;
    if (conversion == '\0') {
      // A lone '%' at the end: print what is there.
      for (const char* q = start; q != p; ++q) out.Put(*q);
      break;
    }
    ++p;
    switch (conversion) {
      case 'd':
      case 'i': {
        int64_t value = SignedArgument(spec, ap);
        uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
        PutNumber(out, spec, magnitude, value < 0, 10, false, "");
        break;
      }
      case 'u':
        spec.plus = spec.space = false;
        PutNumber(out, spec, UnsignedArgument(spec, ap), false, 10, false, "");
        break;
      case 'x':
      case 'X': {
        spec.plus = spec.space = false;
        uint64_t value = UnsignedArgument(spec, ap);
        const char* prefix = spec.alternate && value != 0 ? (conversion == 'x' ? "0x" : "0X") : "";
        PutNumber(out, spec, value, false, 16, conversion == 'X', prefix);
        break;
      }
      case 'p': {
        Spec address = spec;
        address.plus = address.space = address.zero = false;
        address.hasPrecision = true;
        address.precision = sizeof(void*) * 2;
        uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
        PutNumber(out, address, value, false, 16, true, "");
        break;
      }
      case 'c': {
        char c = spec.size > 0 ? Narrow(uint16_t(va_arg(ap, unsigned int))) : char(va_arg(ap, int));
        PadBefore(out, spec, 1);
        out.Put(c);
        PadAfter(out, spec, 1);
        break;
      }
      case 's':
        if (spec.size > 0) {
          PutWideString(out, spec, va_arg(ap, const uint16_t*));
        } else {
          PutString(out, spec, va_arg(ap, const char*));
        }
        break;
      case 'S':
        PutWideString(out, spec, va_arg(ap, const uint16_t*));
        break;
      case '%':
        out.Put('%');
        break;
      default:
        // Unknown conversion: copy it, consuming no argument.
        for (const char* q = start; q != p; ++q) out.Put(*q);
        break;
    }
  }
  va_end(ap);
  return out.Finish();
}

FormatResult FormatText(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatResult result = FormatTextV(buffer, size, format, args);
  va_end(args);
  return result;
}

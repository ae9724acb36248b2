// sprintf and vsprintf as the kernel's run-time library has them: %p prints
// 8 upper-case hex digits without "0x"; %ls, %ws and %S take 16-bit wide
// strings (converted to 8-bit characters); %Z takes an ANSI_STRING and %wZ a
// UNICODE_STRING, read up to their Length only; %I64 marks a 64-bit
// integer; %n writes nothing. Integers and floating point follow the C
// rules.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "KernelInternal.h"

namespace {

char ToAnsi(WCHAR c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
    return char(c);
  return '?';
}

struct Spec {
  bool left = false;
  std::string flags;
  int width = 0;
  int precision = -1;
};

void Pad(std::string& out, const std::string& text, const Spec& spec) {
  size_t padding = spec.width > int(text.size()) ? size_t(spec.width) - text.size() : 0;
  if (!spec.left)
    out.append(padding, ' ');
  out += text;
  if (spec.left)
    out.append(padding, ' ');
}

std::string Narrow(const char* s, int precision) {
  if (s == nullptr)
    return "(null)";
  size_t n = 0;
  while ((precision < 0 || int(n) < precision) && s[n] != 0) ++n;
  return std::string(s, n);
}

std::string Wide(const WCHAR* s, int precision) {
  if (s == nullptr)
    return "(null)";
  std::string text;
  for (size_t n = 0; (precision < 0 || int(n) < precision) && s[n] != 0; ++n) {
    text += ToAnsi(s[n]);
  }
  return text;
}

std::string FormatText(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      out += '%';
      continue;
    }
    Spec spec;
    for (; *p != 0 && strchr("-+ #0", *p) != nullptr; ++p) {
      if (*p == '-')
        spec.left = true;
      spec.flags += *p;
    }
    if (*p == '*') {
      spec.width = va_arg(args, int);
      if (spec.width < 0) {
        spec.left = true;
        spec.flags += '-';
        spec.width = -spec.width;
      }
      ++p;
    } else {
      for (; *p >= '0' && *p <= '9'; ++p) spec.width = spec.width * 10 + (*p - '0');
    }
    if (*p == '.') {
      ++p;
      spec.precision = 0;
      if (*p == '*') {
        spec.precision = va_arg(args, int);
        if (spec.precision < 0)
          spec.precision = -1;
        ++p;
      } else {
        for (; *p >= '0' && *p <= '9'; ++p) spec.precision = spec.precision * 10 + (*p - '0');
      }
    }
    // Size: h, l, ll, L, w, I, I32, I64.
    enum { kDefault, kShort, kLong, kLongLong, kWide } size = kDefault;
    if (*p == 'h') {
      size = kShort;
      ++p;
    } else if (*p == 'l' && p[1] == 'l') {
      size = kLongLong;
      p += 2;
    } else if (*p == 'l' || *p == 'L') {
      size = kLong;
      ++p;
    } else if (*p == 'w') {
      size = kWide;
      ++p;
    } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
      size = kLongLong;
      p += 3;
    } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
      size = kLong;
      p += 3;
    } else if (*p == 'I') {
      size = kLong;
      ++p;
    }
    char conversion = *p;
    if (conversion == 0)
      break;
    std::string host = "%" + spec.flags;
    if (spec.width > 0)
      host += std::to_string(spec.width);
    if (spec.precision >= 0)
      host += "." + std::to_string(spec.precision);
    char buffer[512];
    switch (conversion) {
      case 'd':
      case 'i': {
        long long v = size == kLongLong ? va_arg(args, long long) : va_arg(args, int);
        if (size == kShort)
          v = short(v);
        snprintf(buffer, sizeof buffer, (host + "lld").c_str(), v);
        out += buffer;
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        unsigned long long v =
            size == kLongLong ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
        if (size == kShort)
          v = static_cast<unsigned short>(v);
        snprintf(buffer, sizeof buffer, (host + "ll" + conversion).c_str(), v);
        out += buffer;
        break;
      }
      case 'p': {
        void* v = va_arg(args, void*);
        snprintf(buffer, sizeof buffer, "%08lX",
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(v)));
        Pad(out, buffer, spec);
        break;
      }
      case 'c':
      case 'C': {
        int v = va_arg(args, int);
        bool wide = conversion == 'C' ? size != kShort : (size == kLong || size == kWide);
        char c = wide ? ToAnsi(WCHAR(v)) : char(v);
        Pad(out, std::string(1, c), spec);
        break;
      }
      case 's':
      case 'S': {
        bool wide = conversion == 'S' ? size != kShort : (size == kLong || size == kWide);
        void* v = va_arg(args, void*);
        Pad(out,
            wide ? Wide(static_cast<const WCHAR*>(v), spec.precision)
                 : Narrow(static_cast<const char*>(v), spec.precision),
            spec);
        break;
      }
      case 'Z': {
        void* v = va_arg(args, void*);
        std::string text;
        if (v == nullptr) {
          text = "(null)";
        } else if (size == kWide || size == kLong) {
          auto* s = static_cast<PCUNICODE_STRING>(v);
          if (s->Buffer == nullptr) {
            text = "(null)";
          } else {
            for (USHORT i = 0; i < s->Length / sizeof(WCHAR); ++i) text += ToAnsi(s->Buffer[i]);
          }
        } else {
          auto* s = static_cast<PCANSI_STRING>(v);
          text = s->Buffer == nullptr ? "(null)" : std::string(s->Buffer, s->Length);
        }
        if (spec.precision >= 0 && int(text.size()) > spec.precision)
          text.resize(spec.precision);
        Pad(out, text, spec);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double v = va_arg(args, double);
        snprintf(buffer, sizeof buffer, (host + conversion).c_str(), v);
        out += buffer;
        break;
      }
      case 'n':
        (void)va_arg(args, void*);  // writes nothing: no format may write to memory
        break;
      default:
        out += conversion;  // unknown conversions print themselves
        break;
    }
  }
  return out;
}

}  // namespace

extern "C" int EmuRtlVsprintf(char* Buffer, const char* Format, va_list Arguments) noexcept {
  va_list copy;
  va_copy(copy, Arguments);
  std::string text = FormatText(Format, copy);
  va_end(copy);
  memcpy(Buffer, text.c_str(), text.size() + 1);
  return int(text.size());
}

extern "C" int EmuRtlSprintf(char* Buffer, const char* Format, ...) noexcept {
  va_list args;
  va_start(args, Format);
  int n = EmuRtlVsprintf(Buffer, Format, args);
  va_end(args);
  return n;
}

// As the kernel's _vsnprintf: the text and its NUL when it fits; exactly
// Count characters without a NUL when the text is Count long; otherwise
// Count characters and -1.
extern "C" int EmuRtlVsnprintf(char* Buffer, size_t Count, const char* Format,
                               va_list Arguments) noexcept {
  va_list copy;
  va_copy(copy, Arguments);
  std::string text = FormatText(Format, copy);
  va_end(copy);
  if (text.size() < Count) {
    memcpy(Buffer, text.c_str(), text.size() + 1);
    return int(text.size());
  }
  memcpy(Buffer, text.data(), Count);
  return text.size() == Count ? int(Count) : -1;
}

extern "C" int EmuRtlSnprintf(char* Buffer, size_t Count, const char* Format, ...) noexcept {
  va_list args;
  va_start(args, Format);
  int n = EmuRtlVsnprintf(Buffer, Count, Format, args);
  va_end(args);
  return n;
}

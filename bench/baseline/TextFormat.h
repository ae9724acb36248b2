// The code of capi/TextFormat.h as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
// A bounded printf-style formatter for kernel code. The kernel run-time's
// vsprintf cannot be told the size of its buffer, and all trace text is
// formatted into fixed buffers, so the driver formats with this instead.
//
// Conversions: %d %i %u %x %X %c %s %p %% and, for 16-bit wide strings,
// %ls and %S. Flags '-' (left-justify), '0' (pad with zeros), '+', ' ' and
// '#'; a field width and a precision, each a number or '*'; the length
// modifiers 'h', 'hh', 'l' and 'll'. %p renders an address as 8 upper-case
// hexadecimal digits without a prefix, as the NT run-time does on i386. A
// null string argument prints as "(null)". An unknown conversion is copied
// as it stands.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace pellinor_baseline {

struct FormatResult {
  size_t length;  // characters written, not counting the terminating NUL
  bool cut;       // the text did not fit and was cut at length
};

// Formats into buffer, which holds size bytes. Writes at most size - 1
// characters and always a terminating NUL (nothing at all when size is 0).
FormatResult FormatTextV(char* buffer, size_t size, const char* format, va_list args);

FormatResult FormatText(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace pellinor_baseline

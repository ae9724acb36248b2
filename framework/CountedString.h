// An owned wide string in the kernel's counted-string layout, grown by
// appending, with a sticky status: an append that cannot allocate empties
// the string and makes its status STATUS_INSUFFICIENT_RESOURCES until
// Clear, so a caller builds a path in several steps and tests once.
// PASSIVE_LEVEL only (the characters live in the paged pool).
#pragma once

#include <stddef.h>

#include <ntddk.h>

class CountedString {
 public:
  CountedString() : length(0), maximumLength(0), buffer(NULL), status(STATUS_SUCCESS) {}
  explicit CountedString(PCWSTR text);
  ~CountedString() { Clear(); }
  CountedString(const CountedString&) = delete;
  CountedString& operator=(const CountedString&) = delete;

  void Clear();
  void Assign(PCWSTR text);
  void Assign(PCUNICODE_STRING text);
  void Append(PCWSTR text);
  // Appends `count` bytes of UTF-16 text; an odd count loses its last byte.
  void AppendBytes(const void* bytes, ULONG count);

  NTSTATUS Status() const { return status; }
  // The text, NUL-terminated; null when the string has never held text.
  PCWSTR Text() const { return buffer; }
  USHORT Length() const { return length; }
  USHORT MaximumLength() const { return maximumLength; }
  // The object itself, as the kernel's counted string.
  PUNICODE_STRING Unicode() { return reinterpret_cast<PUNICODE_STRING>(this); }
  PCUNICODE_STRING Unicode() const { return reinterpret_cast<PCUNICODE_STRING>(this); }

 private:
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
  NTSTATUS status;

  friend struct CountedStringLayout;
};

struct CountedStringLayout {
  static_assert(offsetof(CountedString, length) == offsetof(UNICODE_STRING, Length),
                "CountedString.length");
  static_assert(offsetof(CountedString, maximumLength) == offsetof(UNICODE_STRING, MaximumLength),
                "CountedString.maximumLength");
  static_assert(offsetof(CountedString, buffer) == offsetof(UNICODE_STRING, Buffer),
                "CountedString.buffer");
  static_assert(sizeof(CountedString) == 12, "CountedString");
};

#include "framework/CountedString.h"

#include "framework/Pool.h"

namespace {
// The longest text whose length and maximum length (text + NUL) fit in 16 bits.
constexpr ULONG kMaximumTextBytes = 0xFFFC;
}  // namespace

CountedString::CountedString(PCWSTR text)
    : length(0), maximumLength(0), buffer(NULL), status(STATUS_SUCCESS) {
  Append(text);
}

void CountedString::Clear() {
  PoolFree(buffer);
  buffer = NULL;
  length = 0;
  maximumLength = 0;
  status = STATUS_SUCCESS;
}

void CountedString::Assign(PCWSTR text) {
  Clear();
  Append(text);
}

void CountedString::Assign(PCUNICODE_STRING text) {
  Clear();
  AppendBytes(text->Buffer, text->Length);
}

void CountedString::Append(PCWSTR text) {
  AppendBytes(text, ULONG(wcslen(text) * sizeof(WCHAR)));
}

void CountedString::AppendBytes(const void* bytes, ULONG count) {
  if (!NT_SUCCESS(status))
    return;
  count &= ~1UL;  // whole characters only
  ULONG newLength = ULONG(length) + count;
  // A text that a counted string cannot describe fails like an allocation.
  PWSTR newBuffer = newLength > kMaximumTextBytes
                        ? NULL
                        : static_cast<PWSTR>(PoolAlloc(newLength + sizeof(WCHAR), PagedPool));
  if (newBuffer == NULL) {
    Clear();
    status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  if (length != 0)
    RtlCopyMemory(newBuffer, buffer, length);
  if (count != 0)
    RtlCopyMemory(reinterpret_cast<UCHAR*>(newBuffer) + length, bytes, count);
  newBuffer[newLength / sizeof(WCHAR)] = 0;
  PoolFree(buffer);
  buffer = newBuffer;
  length = USHORT(newLength);
  maximumLength = USHORT(newLength + sizeof(WCHAR));
}

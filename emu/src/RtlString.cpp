// Counted strings of the run-time library. Characters outside ASCII convert
// as code page 1252 does for the Latin-1 range; others become '?'.
#include <cstring>

#include "KernelInternal.h"
#include "emu/Pool.h"

namespace {

// The tag of the strings the run-time library allocates for its callers.
constexpr ULONG kStringTag = emu::MakePoolTag("Strg");

char ToAnsi(WCHAR c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
    return char(c);
  return '?';
}

WCHAR ToUnicode(char c) {
  return WCHAR(static_cast<unsigned char>(c));
}

WCHAR Upcase(WCHAR c) {
  return (c >= L'a' && c <= L'z') ? WCHAR(c - 32) : c;
}

}  // namespace

extern "C" size_t EmuRtlWcslen(const WCHAR* String) noexcept {
  size_t n = 0;
  while (String[n] != 0) ++n;
  return n;
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t n = strlen(SourceString);
  if (n > 0xFFFE)
    n = 0xFFFE;
  DestinationString->Length = USHORT(n);
  DestinationString->MaximumLength = USHORT(n + 1);
}

extern "C" VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = EmuRtlWcslen(SourceString) * sizeof(WCHAR);
  if (bytes > 0xFFFC)
    bytes = 0xFFFC;
  DestinationString->Length = USHORT(bytes);
  DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                       PCANSI_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
  ULONG chars = SourceString->Length;
  ULONG bytes = chars * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF)
    return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    auto* buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (buffer == nullptr)
      return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < chars; ++i) {
    DestinationString->Buffer[i] = ToUnicode(SourceString->Buffer[i]);
  }
  DestinationString->Length = USHORT(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[chars] = 0;
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
  ULONG chars = SourceString->Length / sizeof(WCHAR);
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
    if (buffer == nullptr)
      return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = USHORT(chars + 1);
  } else if (chars > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < chars; ++i) DestinationString->Buffer[i] = ToAnsi(SourceString->Buffer[i]);
  DestinationString->Length = USHORT(chars);
  if (chars < DestinationString->MaximumLength)
    DestinationString->Buffer[chars] = 0;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr)
    ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != nullptr)
    ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength)
    bytes = DestinationString->MaximumLength & ~1;
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length)
    return FALSE;
  for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b)
      return FALSE;
  }
  return TRUE;
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  auto* a = static_cast<const unsigned char*>(Source1);
  auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

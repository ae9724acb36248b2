#include "framework/ErrorLogEntry.h"

#include "framework/Driver.h"
#include "framework/SystemRoutines.h"

namespace {

// The i386 limit, in both builds' headers alike.
static_assert(ERROR_LOG_MAXIMUM_SIZE == 152, "the largest error log entry on i386");
static_assert(ErrorLogEntry::STRING_OFFSET == 40, "the strings follow the packet's header");
static_assert(ErrorLogEntry::STRING_ROOM == 56, "room for 56 characters of strings");

constexpr WCHAR kEllipsis[] = L"...";
constexpr ULONG kEllipsisLength = 3;

ULONG Length(PCWSTR text) {
  ULONG n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool IsLowSurrogate(WCHAR c) {
  return c >= 0xDC00 && c < 0xE000;
}

}  // namespace

ULONG ErrorLogEntry::CopyFitting(PCWSTR text, WCHAR* to, ULONG room) {
  if (room == 0)
    return 0;
  ULONG length = Length(text);
  ULONG n = 0;
  PCWSTR from = text;
  if (length + 1 > room) {
    // The end is what tells one path or name from another; the start is
    // most often the drive or "\Device\".
    for (ULONG i = 0; i < kEllipsisLength && n + 1 < room; ++i) to[n++] = kEllipsis[i];
    ULONG keep = room - 1 - n;
    from = text + (length - keep);
    // Never half of a surrogate pair.
    if (keep != 0 && IsLowSurrogate(*from))
      ++from;
    length = Length(from);
  }
  for (ULONG i = 0; i < length; ++i) to[n++] = from[i];
  to[n++] = 0;
  return n;
}

void ErrorLogEntry::FormatHex(ULONG value, WCHAR* text) {
  constexpr WCHAR kDigits[] = L"0123456789ABCDEF";
  text[0] = L'0';
  text[1] = L'x';
  for (int i = 0; i < 8; ++i) text[2 + i] = kDigits[(value >> (28 - 4 * i)) & 0xF];
  text[10] = 0;
}

void ErrorLogEntry::FormatDecimal(ULONG value, WCHAR* text) {
  WCHAR reversed[NUMBER_CHARACTERS];
  ULONG n = 0;
  do {
    reversed[n++] = WCHAR(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (ULONG i = 0; i < n; ++i) text[i] = reversed[n - 1 - i];
  text[n] = 0;
}

bool ErrorLogEntry::Write(ULONG eventCode, NTSTATUS finalStatus, PCWSTR first, PCWSTR second) {
  SystemRoutines::AllocateErrorLogEntryRoutine allocate = SystemRoutines::AllocateErrorLogEntry();
  SystemRoutines::WriteErrorLogEntryRoutine write = SystemRoutines::WriteErrorLogEntry();
  if (allocate == NULL || write == NULL || theDriver == NULL || theDriver->DriverObject() == NULL)
    return false;
  // The strings are built first, so that the entry is allocated at its size.
  WCHAR strings[STRING_ROOM];
  ULONG used = 0;
  USHORT count = 0;
  if (first != NULL || second != NULL) {
    ULONG secondRoom = 0;
    if (second != NULL) {
      secondRoom = Length(second) + 1;
      if (secondRoom > NUMBER_CHARACTERS)
        secondRoom = NUMBER_CHARACTERS;
    }
    used = CopyFitting(first != NULL ? first : L"", strings, STRING_ROOM - secondRoom);
    ++count;
    if (second != NULL) {
      used += CopyFitting(second, strings + used, secondRoom);
      ++count;
    }
  }
  const ULONG size = STRING_OFFSET + used * sizeof(WCHAR);
  PIO_ERROR_LOG_PACKET packet = static_cast<PIO_ERROR_LOG_PACKET>(
      allocate(theDriver->DriverObject(),
               UCHAR(size < sizeof(IO_ERROR_LOG_PACKET) ? sizeof(IO_ERROR_LOG_PACKET) : size)));
  if (packet == NULL)
    return false;
  // The I/O manager does not clear the entry: every field is set here.
  RtlZeroMemory(packet, sizeof(IO_ERROR_LOG_PACKET));
  packet->ErrorCode = NTSTATUS(eventCode);
  packet->FinalStatus = finalStatus;
  packet->NumberOfStrings = count;
  packet->StringOffset = USHORT(STRING_OFFSET);
  WCHAR* to = reinterpret_cast<WCHAR*>(reinterpret_cast<UCHAR*>(packet) + STRING_OFFSET);
  for (ULONG i = 0; i < used; ++i) to[i] = strings[i];
  write(packet);
  return true;
}

bool ErrorLogEntry::WriteWithStatus(ULONG eventCode, PCWSTR text, NTSTATUS status) {
  WCHAR number[NUMBER_CHARACTERS];
  FormatHex(ULONG(status), number);
  return Write(eventCode, status, text, number);
}

bool ErrorLogEntry::WriteWithCount(ULONG eventCode, PCWSTR text, ULONG count) {
  WCHAR number[NUMBER_CHARACTERS];
  FormatDecimal(count, number);
  return Write(eventCode, STATUS_SUCCESS, text, number);
}

bool ErrorLogEntry::WriteStatusOnly(ULONG eventCode, NTSTATUS status) {
  WCHAR number[NUMBER_CHARACTERS];
  FormatHex(ULONG(status), number);
  return Write(eventCode, status, number, NULL);
}

// Entries of the system event log: how the driver tells an administrator of
// a failure that no caller sees (an automatic start that failed, records
// lost, a log that cannot rotate). One entry is one IoAllocateErrorLogEntry
// and IoWriteErrorLogEntry for the driver object, with an event code of
// framework/EventCodes.h and up to two insertion strings (%2 and %3 of its
// message; %1 is the driver's name).
//
// Writing never blocks and never fails its caller: where the entry cannot
// be allocated (no memory, a system without the routines: Windows 98/Me,
// which have no event log) nothing is written and the caller goes on.
#pragma once

#include <stddef.h>

#include <ntddk.h>

class ErrorLogEntry {
 public:
  // Where the insertion strings start: right behind the packet's header,
  // without dump data.
  static constexpr ULONG STRING_OFFSET = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  // The characters both strings may take together, their NULs included.
  static constexpr ULONG STRING_ROOM = (ERROR_LOG_MAXIMUM_SIZE - STRING_OFFSET) / sizeof(WCHAR);
  // A number's text: "0x" and eight digits, or up to ten decimal digits.
  static constexpr ULONG NUMBER_CHARACTERS = 11;

  // Writes one entry: `eventCode`, `finalStatus`, and the strings `first`
  // and `second` (either may be null: an empty string stands in for a null
  // first when a second is given). `second` is a number's text and is kept
  // whole; a `first` too long for the rest of the entry keeps its end (the
  // file name of a path, the last part of a device name) behind "...".
  // True if written. Up to DISPATCH_LEVEL.
  static bool Write(ULONG eventCode, NTSTATUS finalStatus, PCWSTR first, PCWSTR second);
  // `text` as %2 and `status` as %3 (0xC000003A).
  static bool WriteWithStatus(ULONG eventCode, PCWSTR text, NTSTATUS status);
  // `text` as %2 and `count` in decimal as %3.
  static bool WriteWithCount(ULONG eventCode, PCWSTR text, ULONG count);
  // `status` as %2, the only string.
  static bool WriteStatusOnly(ULONG eventCode, NTSTATUS status);

  // "0x" and eight upper-case hexadecimal digits; decimal without leading
  // zeros. `text` holds NUMBER_CHARACTERS.
  static void FormatHex(ULONG value, WCHAR* text);
  static void FormatDecimal(ULONG value, WCHAR* text);

  // Copies `text` (or what of its end fits, behind "...") into `to`, which
  // holds `room` characters with the NUL; returns the characters written
  // with the NUL.
  static ULONG CopyFitting(PCWSTR text, WCHAR* to, ULONG room);
};

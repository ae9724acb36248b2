// The system event log of the emulated machine: what drivers wrote with
// IoWriteErrorLogEntry, kept for tests and scenarios to read.
//
// The I/O manager's side is strict as NT's: IoAllocateErrorLogEntry and
// IoWriteErrorLogEntry up to DISPATCH_LEVEL only; an entry of at least the
// packet header and at most ERROR_LOG_MAXIMUM_SIZE bytes (152 on i386),
// from a device or driver object; its dump data and its strings inside the
// entry, each string NUL-terminated UTF-16 at an even StringOffset behind
// the dump data; written once. The entry
// is non-paged pool with the kernel's tag "IoEr", charged to the
// allocating driver: pool fault injection fails it (IoAllocateErrorLogEntry
// returns NULL), and one still unwritten at the driver's unload stops the
// machine as a leak.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct EventLogEntry {
  // The driver whose object (or whose device object) the entry was
  // allocated for, without "\Driver\": what %1 of its message shows.
  std::string source;
  uint32_t errorCode = 0;  // the event code
  uint32_t finalStatus = 0;
  uint32_t uniqueErrorValue = 0;
  std::vector<std::u16string> strings;  // the insertion strings, %2 on
  std::vector<uint8_t> dumpData;
};

class EventLog {
 public:
  // Every entry written since the last Clear, oldest first.
  static std::vector<EventLogEntry> Entries();
  static void Clear();
  // Entries allocated and not yet written.
  static size_t Unwritten();
};

// UTF-16 as UTF-8, for messages and comparisons with scenario words.
std::string Utf8Of(const std::u16string& text);

}  // namespace emu

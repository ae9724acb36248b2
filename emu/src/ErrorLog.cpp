// The I/O manager's error log entries and the event log that keeps what
// drivers wrote (emu/EventLog.h).
#include "emu/EventLog.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include <ntddk.h>

#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/Pool.h"

namespace emu {
namespace {

constexpr uint32_t kEntryTag = MakePoolTag("IoEr");
constexpr size_t kPacketHeader = offsetof(IO_ERROR_LOG_PACKET, DumpData);

struct Allocated {
  UCHAR size;
  PDRIVER_OBJECT owner;  // the driver that allocated it
  std::string source;    // the driver the entry speaks for
};

struct State {
  std::mutex lock;
  std::map<const void*, Allocated> allocated;
  std::vector<EventLogEntry> written;
};

State& S() {
  static State* state = new State;  // never destroyed: threads may outlive main
  return *state;
}

std::string NameOf(PDRIVER_OBJECT driver) {
  if (driver == nullptr || driver->DriverName.Buffer == nullptr)
    return "";
  std::u16string name(reinterpret_cast<const char16_t*>(driver->DriverName.Buffer),
                      driver->DriverName.Length / sizeof(WCHAR));
  const std::u16string prefix = u"\\Driver\\";
  if (name.compare(0, prefix.size(), prefix) == 0)
    name.erase(0, prefix.size());
  return Utf8Of(name);
}

// The strings of a written entry, each checked to lie inside it and to end
// with its NUL: the event log service reads them from the copy it is sent.
std::vector<std::u16string> StringsOf(const IO_ERROR_LOG_PACKET* packet, size_t size) {
  std::vector<std::u16string> strings;
  if (packet->NumberOfStrings == 0)
    return strings;
  const size_t dumpEnd = kPacketHeader + packet->DumpDataSize;
  if (packet->StringOffset < dumpEnd || packet->StringOffset % sizeof(WCHAR) != 0 ||
      packet->StringOffset >= size) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "IoWriteErrorLogEntry of %p: StringOffset %u is not an even offset inside the "
             "%zu-byte entry behind its dump data (which ends at %zu)",
             static_cast<const void*>(packet), unsigned(packet->StringOffset), size, dumpEnd);
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(packet);
  size_t at = packet->StringOffset;
  for (USHORT n = 0; n < packet->NumberOfStrings; ++n) {
    std::u16string text;
    for (;;) {
      if (at + sizeof(WCHAR) > size) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                 "IoWriteErrorLogEntry of %p: insertion string %u of %u runs past the end of "
                 "the %zu-byte entry (no NUL)",
                 static_cast<const void*>(packet), unsigned(n) + 1,
                 unsigned(packet->NumberOfStrings), size);
      }
      char16_t c;
      std::memcpy(&c, bytes + at, sizeof c);
      at += sizeof c;
      if (c == 0)
        break;
      text.push_back(c);
    }
    strings.push_back(text);
  }
  return strings;
}

}  // namespace

std::vector<EventLogEntry> EventLog::Entries() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().written;
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> guard(S().lock);
  S().written.clear();
}

size_t EventLog::Unwritten() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().allocated.size();
}

std::string Utf8Of(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace internal {

void CheckDriverErrorLogEntries(PDRIVER_OBJECT driver, const char* name) {
  std::lock_guard<std::mutex> guard(S().lock);
  for (const auto& [entry, allocated] : S().allocated) {
    if (allocated.owner == driver) {
      BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
               "driver %s unloaded holding the error log entry %p (%u bytes) that it allocated "
               "and never wrote (IoWriteErrorLogEntry gives it back)",
               name, entry, unsigned(allocated.size));
    }
  }
}

}  // namespace internal
}  // namespace emu

extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
  if (IoObject == nullptr)
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "IoAllocateErrorLogEntry without an object");
  // Both objects begin with their type.
  const CSHORT type = *static_cast<const CSHORT*>(IoObject);
  PDRIVER_OBJECT speaksFor = nullptr;
  if (type == IO_TYPE_DEVICE) {
    speaksFor = static_cast<PDEVICE_OBJECT>(IoObject)->DriverObject;
  } else if (type == IO_TYPE_DRIVER) {
    speaksFor = static_cast<PDRIVER_OBJECT>(IoObject);
  } else {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "IoAllocateErrorLogEntry for %p, which is neither a device nor a driver object "
                  "(type %d)",
                  IoObject, int(type));
  }
  if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "IoAllocateErrorLogEntry of %u bytes: an entry holds the %u-byte packet and at "
                  "most ERROR_LOG_MAXIMUM_SIZE (%u) bytes in all",
                  unsigned(EntrySize), unsigned(sizeof(IO_ERROR_LOG_PACKET)),
                  unsigned(ERROR_LOG_MAXIMUM_SIZE));
  }
  void* entry = emu::internal::AllocateChargedKernelBlock(EntrySize, emu::kEntryTag,
                                                          "IoAllocateErrorLogEntry");
  if (entry == nullptr)
    return nullptr;
  std::lock_guard<std::mutex> guard(emu::S().lock);
  emu::S().allocated[entry] =
      emu::Allocated{EntrySize, emu::internal::CurrentDriverObject(), emu::NameOf(speaksFor)};
  return entry;
}

extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
  emu::Allocated allocated;
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    auto found = emu::S().allocated.find(ElEntry);
    if (found == emu::S().allocated.end()) {
      emu::BugCheck(emu::BAD_POOL_CALLER,
                    "IoWriteErrorLogEntry of %p, which is no entry of IoAllocateErrorLogEntry "
                    "(or one written already)",
                    ElEntry);
    }
    allocated = found->second;
    emu::S().allocated.erase(found);
  }
  const auto* packet = static_cast<const IO_ERROR_LOG_PACKET*>(ElEntry);
  const size_t size = allocated.size;
  if (emu::kPacketHeader + packet->DumpDataSize > size) {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "IoWriteErrorLogEntry of %p: %u bytes of dump data do not fit the %zu-byte "
                  "entry",
                  ElEntry, unsigned(packet->DumpDataSize), size);
  }
  emu::EventLogEntry entry;
  entry.source = allocated.source;
  entry.errorCode = uint32_t(packet->ErrorCode);
  entry.finalStatus = uint32_t(packet->FinalStatus);
  entry.uniqueErrorValue = packet->UniqueErrorValue;
  const auto* dump = reinterpret_cast<const uint8_t*>(packet->DumpData);
  entry.dumpData.assign(dump, dump + packet->DumpDataSize);
  entry.strings = emu::StringsOf(packet, size);
  emu::internal::FreeKernelBlock(ElEntry, emu::kEntryTag, "IoWriteErrorLogEntry");
  std::lock_guard<std::mutex> guard(emu::S().lock);
  emu::S().written.push_back(std::move(entry));
}

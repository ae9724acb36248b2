// What the targets that end in formatRecord share (FuzzCapture.cpp,
// FuzzFormatRecord.cpp): the input's little-endian words, and the two
// writers formatRecord is given, with a text sink that reads every text
// whole (which checks that it is NUL-terminated inside the buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "emu/Clock.h"

#include <ntddk.h>

#include "capi/TraceText.h"
#include "log/LogWriter.h"

namespace fuzzing {

inline uint32_t Dword(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

inline size_t textLength = 0;

inline void Sink(const char* text, uint32_t, const void*) {
  textLength += std::strlen(text);
}

struct FuzzWriters {
  LogWriter* plain;
  LogWriter* nrx;  // NrxTarget set
};

// formatRecord reads only the writer's NrxTarget. One writer may exist at a
// time, and its target mark cannot be cleared, so the maker's-target writer
// is a byte copy of the plain one with the mark set: it is only ever read,
// never queued to or destroyed. Made once, on a fixed clock.
inline FuzzWriters MakeWriters() {
  emu::Clock::Fix(emu::MakeSystemTime(2026, 3, 14, 15, 9, 26, 535));
  NTSTATUS status;
  // A log that cannot be opened: the writer installs no sink of its own.
  LogWriter* plain = new LogWriter(&status, L"Q:\\no-such-drive.log");
  alignas(LogWriter) static unsigned char copy[sizeof(LogWriter)];
  std::memcpy(copy, static_cast<void*>(plain), sizeof(LogWriter));
  LogWriter* nrx = reinterpret_cast<LogWriter*>(copy);
  nrx->SetNrxTarget();
  static char buffer[kTraceTextSize];
  TraceTextInit(buffer, sizeof buffer, Sink);
  return FuzzWriters{plain, nrx};
}

}  // namespace fuzzing

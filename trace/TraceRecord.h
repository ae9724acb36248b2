// One queued trace entry: a text (banner, start and stop notices, target
// query), a request on its way down to the traced device, or its completion
// on the way back up. A record owns copies of everything its text will show,
// because by the time the writer thread formats it the request has usually
// been completed and freed; the request's address is kept only to be printed.
#pragma once

#include <stdint.h>

#include <ntddk.h>

#include "capi/CapiMessage.h"
#include "control/TraceSettings.h"
#include "framework/PoolObject.h"
#include "log/TimeStamp.h"

// An owned block of non-paged pool and the number of bytes it holds; absent
// when `data` is null (not captured, or its allocation failed).
struct CapturedBlock {
  PUCHAR data;
  ULONG size;

  bool Present() const { return data != NULL; }
  // Whether the block holds the `width` bytes at `offset`.
  bool Holds(ULONG offset, ULONG width) const {
    return data != NULL && offset <= size && width <= size - offset;
  }
  USHORT Word(ULONG offset) const { return ReadWord(data + offset); }
  // Text formats take these as %u / %X, so they are plain 32-bit unsigned.
  uint32_t Dword(ULONG offset) const { return ReadDword(data + offset); }
};

enum TraceRecordKind : ULONG {
  TRACE_RECORD_TEXT = 0,
  TRACE_RECORD_REQUEST = 1,
  TRACE_RECORD_COMPLETION = 2,
};

// The copy of the request's current I/O stack location, read as the kernel
// lays it out on i386.
constexpr ULONG STACK_COPY_SIZE = 36;
constexpr ULONG STACK_MAJOR_FUNCTION = 0;
constexpr ULONG STACK_PARAMETER_1 = 4;   // read/write length; I/O control output length
constexpr ULONG STACK_PARAMETER_2 = 8;   // I/O control input length
constexpr ULONG STACK_PARAMETER_3 = 12;  // I/O control code
constexpr ULONG STACK_PARAMETER_4 = 16;  // the caller's parameter pointer
constexpr ULONG STACK_FILE_OBJECT = 24;

class TraceRecord : public PoolObject {
 public:
  // Zero-filled by the pool; the capture time is taken now.
  TraceRecord(TraceSettings settings, TraceRecordKind kind);
  // Frees the stack copy, the I/O buffer and the message, each if present.
  ~TraceRecord();
  TraceRecord(const TraceRecord&) = delete;
  TraceRecord& operator=(const TraceRecord&) = delete;

  // Allocates `size` bytes (non-paged, zero-filled) for a block of this
  // record; the block stays absent when that fails.
  static bool AllocateBlock(CapturedBlock* block, ULONG size);

  // Read from the stack copy; 0 when the record has none.
  UCHAR MajorFunction() const;
  uint32_t StackWord(ULONG offset) const;

  ULONG Flags() const { return SettingsFlags(settings); }

  TraceSettings settings;
  ULONG kind;
  CapturedBlock ioBuffer;
  CapturedBlock message;
  LIST_ENTRY link;
  NTSTATUS status;
  uint32_t information;
  CapturedBlock stack;
  TimeStamp captureTime;
  PVOID irp;
  UCHAR requestorMode;
  // Records lost (not allocated) since the record queued before this one;
  // set by LogWriter::Queue, told in front of this record's text. In what
  // was padding, so the record is no larger for it.
  USHORT lostBefore;
};

// One queued trace entry: a text (banner, start and stop notices, target
// query), a request on its way down to the traced device, or its completion
// on the way back up. A record owns copies of everything its text will show,
// because by the time the writer thread formats it the request has usually
// been completed and freed; the request's address is kept only to be printed.
#pragma once

#include <stddef.h>
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

enum TraceRecordKind : UCHAR {
  TRACE_RECORD_TEXT = 0,
  TRACE_RECORD_REQUEST = 1,
  TRACE_RECORD_COMPLETION = 2,
};

// What the text tells in place of a user-mode caller's message that was not
// copied.
enum UserMessageNote : UCHAR {
  USER_MESSAGE_COPIED = 0,     // copied, or not asked for
  USER_MESSAGE_UNREADABLE = 1,  // an address was not user memory, or the copy faulted
  USER_MESSAGE_ELSEWHERE = 2,   // completed outside the requester's thread, or at raised IRQL
};

// What a text record is to the log writer, which keeps the start of the
// session (the banner, the target query, the settings in force) to repeat
// it at the top of each new generation of a size-limited log.
enum TextRole : uint32_t {
  TEXT_ROLE_NONE = 0,
  TEXT_ROLE_SESSION_BEGIN = 1,    // the banner: the texts up to the first start follow it
  TEXT_ROLE_TRACING_STARTED = 2,  // "Start Tracing" with its settings
  TEXT_ROLE_TRACING_STOPPED = 3,  // "Stop Tracing"
};

// The words of the request's current I/O stack location that the text
// reads. They are kept in the record itself: a pool block of their own
// would cost a pool header, rounding and an allocation that can fail, for
// the sake of 17 bytes.
enum StackWordIndex : ULONG {
  STACK_PARAMETER_1 = 0,  // read/write length; I/O control output length
  STACK_PARAMETER_2 = 1,  // I/O control input length
  STACK_PARAMETER_3 = 2,  // I/O control code
  STACK_FILE_OBJECT = 3,
  STACK_WORD_COUNT = 4,
};

struct StackCopy {
  uint32_t words[STACK_WORD_COUNT];
  UCHAR majorFunction;
  // Zero until CopyStack has run: a text record has no stack location.
  UCHAR present;

  bool Present() const { return present != 0; }
};
static_assert(sizeof(StackCopy) == 20, "StackCopy: four words, the major function and its mark");

class TraceRecord : public PoolObject {
 public:
  // Zero-filled by the pool; the capture time is taken now.
  TraceRecord(TraceSettings settings, TraceRecordKind recordKind);
  // Frees the I/O buffer and the message, each if present.
  ~TraceRecord();
  TraceRecord(const TraceRecord&) = delete;
  TraceRecord& operator=(const TraceRecord&) = delete;

  // Allocates `size` bytes (non-paged, zero-filled) for a block of this
  // record; the block stays absent when that fails.
  static bool AllocateBlock(CapturedBlock* block, ULONG size);
  // Frees a block of this record, which becomes absent.
  static void FreeBlock(CapturedBlock* block);

  // Keeps what the text reads of a request's stack location.
  void CopyStack(const IO_STACK_LOCATION* location);

  // Read from the stack copy; 0 when the record has none.
  UCHAR MajorFunction() const { return stack.Present() ? stack.majorFunction : 0; }
  uint32_t StackWord(StackWordIndex which) const {
    return stack.Present() && which < STACK_WORD_COUNT ? stack.words[which] : 0;
  }

  ULONG Flags() const { return SettingsFlags(settings); }

  // The fields lie so that a record is 72 bytes in both builds (an
  // 80-byte pool block with its header); the time stamp's 64-bit value
  // sits on an 8-byte boundary, where the Windows build aligns it.
  //
  // A request has not been carried out yet: its status and Information
  // mean nothing, and no text reads them. With TRACE_CALLER_IDS a request
  // record holds the requester's process and thread ids in their place.
  LIST_ENTRY link;
  TraceSettings settings;
  union {
    NTSTATUS status;
    uint32_t callerProcess;
  };
  TimeStamp captureTime;
  CapturedBlock ioBuffer;
  CapturedBlock message;
  // A completion's Information. A text record has none; it carries its
  // TextRole here instead.
  union {
    uint32_t information;
    uint32_t textRole;
    uint32_t callerThread;
  };
  PVOID irp;
  StackCopy stack;
  TraceRecordKind kind;
  UCHAR requestorMode : 1;  // KernelMode or UserMode
  // Why the message of a user-mode caller's CAPI_PUT_MESSAGE or
  // CAPI_GET_MESSAGE I/O control is not in `message` although
  // TRACE_USER_MESSAGES asked for it (a UserMessageNote).
  UCHAR userMessageNote : 2;
  // Records lost (not allocated) since the record queued before this one;
  // set by LogWriter::Queue, told in front of this record's text.
  USHORT lostBefore;
};

static_assert(sizeof(CapturedBlock) == 8, "CapturedBlock: a pointer and a size");
static_assert(offsetof(TraceRecord, captureTime) % 8 == 0, "the time stamp on an 8-byte boundary");
static_assert(offsetof(TraceRecord, stack) == 48, "TraceRecord: the stack copy behind the blocks");
static_assert(offsetof(TraceRecord, kind) == 72 - 4, "TraceRecord: the small fields last");
static_assert(sizeof(TraceRecord) == 72, "TraceRecord: 72 bytes, an 80-byte pool block");

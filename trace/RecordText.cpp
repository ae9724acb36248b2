#include "trace/RecordText.h"

#include "capi/TextLine.h"
#include "capi/TraceText.h"
#include "control/TraceSettings.h"
#include "log/LogWriter.h"
#include "trace/CapiMessageCheck.h"
#include "trace/IoctlBufferText.h"
#include "trace/NameTables.h"
#include "trace/TraceRecord.h"

namespace {

struct StatusError {
  ULONG status;
  USHORT error;
};

constexpr StatusError kMessageErrors[] = {
    {0xC0000008, 0x1101},  // STATUS_INVALID_HANDLE
    {0xC00000AF, 0x1102},  // STATUS_ILLEGAL_FUNCTION
    {0xC00000C1, 0x1103},  // STATUS_TOO_MANY_COMMANDS
    {0xC000003C, 0x1105},  // STATUS_DATA_OVERRUN
    {0xC000000D, 0x1106},  // STATUS_INVALID_PARAMETER
    {0x80000011, 0x1107},  // STATUS_DEVICE_BUSY
    {0xC000009A, 0x1108},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC0000022, 0x1109},  // STATUS_ACCESS_DENIED
    {0xC0000056, 0x1109},  // STATUS_DELETE_PENDING
    {0xC0000080, 0x110A},  // STATUS_SERVER_DISABLED
    {0xC0000081, 0x110B},  // STATUS_SERVER_NOT_DISABLED
};
static_assert(sizeof(kMessageErrors) / sizeof(kMessageErrors[0]) == 11, "message errors");

constexpr StatusError kRegisterErrors[] = {
    {0xC00000CE, 0x1001},  // STATUS_TOO_MANY_SESSIONS
    {0xC000000D, 0x1002},  // STATUS_INVALID_PARAMETER
    {0xC0000023, 0x1004},  // STATUS_BUFFER_TOO_SMALL
    {0xC00000BB, 0x1005},  // STATUS_NOT_SUPPORTED
    {0xC00000BF, 0x1007},  // STATUS_NETWORK_BUSY
    {0xC000009A, 0x1008},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC0000022, 0x1009},  // STATUS_ACCESS_DENIED
    {0xC0000056, 0x1009},  // STATUS_DELETE_PENDING
    {0xC0000080, 0x100A},  // STATUS_SERVER_DISABLED
    {0xC0000081, 0x100B},  // STATUS_SERVER_NOT_DISABLED
};
static_assert(sizeof(kRegisterErrors) / sizeof(kRegisterErrors[0]) == 10, "register errors");

template <size_t N>
USHORT LookUpError(const StatusError (&table)[N], NTSTATUS status, USHORT otherFailure) {
  if (NT_SUCCESS(status)) {
    return 0;
  }
  for (const StatusError& row : table) {
    if (row.status == ULONG(status)) {
      return row.error;
    }
  }
  return otherFailure;
}

// The last time stamp text made, and the time it is for. The system time
// advances by whole clock ticks (10 to 15.6 ms on NT), so the records of a
// burst share their capture time, and its text is made once. Writer thread
// only, like the text sink; plain data, zero at load.
// Room for the lines made in place: a length line, and a summary with
// its names (longer names go on through the sink's appends).
constexpr size_t kLengthLineRoom = 64;
constexpr size_t kSummaryRoom = 256;

struct StampCache {
  LONGLONG time;
  bool valid;
  size_t length;
  char text[TimeStamp::kTextSize];
};
StampCache stampCache;

// The capture time as the trace prints it; `text` holds TimeStamp::kTextSize.
// Returns the length of the text.
size_t FormatCaptureTime(const TraceRecord* record, char* text) {
  LONGLONG time = record->captureTime.Time();
  if (!stampCache.valid || stampCache.time != time) {
    record->captureTime.Format(stampCache.text, kTraceStampFormat);
    size_t length = 0;
    while (length < TimeStamp::kTextSize - 1 && stampCache.text[length] != '\0') ++length;
    stampCache.length = length;
    stampCache.time = time;
    stampCache.valid = true;
  }
  __builtin_memcpy(text, stampCache.text, stampCache.length);
  return stampCache.length;
}

// TracePrint of `lineEnds` line ends, then the time stamp and a line end:
// "\n%s\n" or "\n\n%s\n".
void PrintStampLine(const TraceRecord* record, size_t lineEnds) {
  char line[2 + TimeStamp::kTextSize + 1];
  for (size_t i = 0; i < lineEnds; ++i) line[i] = '\n';
  size_t length = FormatCaptureTime(record, line + lineEnds);
  line[lineEnds + length] = '\n';
  TracePrintText(line, lineEnds + length + 1);
}

// "    ReadBufferLength: %u (0x%X)\n" and its kin, as one print.
template <size_t N>
void PrintLengthLine(const char (&label)[N], uint32_t length) {
  TraceTextReset();
  {
    TextLine line(kLengthLineRoom);
    line.Text(label);
    appendLength(line, length);
    line.Text("\n");
  }
  TraceTextEmit(TextKindPlain, nullptr);
}

// In place of a user-mode caller's message that was not copied.
constexpr char kMessageUnreadable[] = "  Message: not readable in the caller's memory\n";
constexpr char kMessageElsewhere[] =
    "  Message: not read here (completed outside the requesting thread)\n";

// The CAPI message a GET_MESSAGE completion returned is missing when no
// bytes came back or the parameter block's message pointer is absent or null.
// A block that could not be copied (its allocation failed) says nothing
// about the queue: only a copied block with a null message pointer does.
bool NoMessageReturned(const TraceRecord* record) {
  return record->information == 0 ||
         (record->ioBuffer.Holds(0, 4) && record->ioBuffer.Dword(0) == 0);
}

}  // namespace

void appendLength(TextLine& line, uint32_t length) {
  line.Decimal(length);
  line.Text(" (0x");
  line.Hex(length, 1, true);
  line.Text(")");
}

USHORT capiMessageError(NTSTATUS status) {
  return LookUpError(kMessageErrors, status, 0x1108);
}

USHORT capiRegisterError(NTSTATUS status) {
  return LookUpError(kRegisterErrors, status, 0x1008);
}

void writeRecordHeader(const TraceRecord* record) {
  ULONG flags = record->Flags();

  if (record->kind == TRACE_RECORD_TEXT) {
    if (flags & TRACE_NO_TIMESTAMP) {
      TracePrintText("\n", 1);
      return;
    }
    PrintStampLine(record, 1);
    return;
  }
  if (record->kind != TRACE_RECORD_REQUEST && record->kind != TRACE_RECORD_COMPLETION) {
    return;
  }
  // Every line of the summary reads the stack copy.
  if (!record->stack.Present()) {
    return;
  }

  bool completion = record->kind == TRACE_RECORD_COMPLETION;
  UCHAR major = record->MajorFunction();
  USHORT capiError = capiMessageError(record->status);
  bool show = (flags & TRACE_CAPI_FUNCTIONS) != 0;
  const char* name;

  switch (major) {
    case IRP_MJ_READ:
      name = "CAPI_GET_MESSAGE";
      if (NT_SUCCESS(record->status) && record->information == 0) {
        capiError = 0x1104;
      }
      break;
    case IRP_MJ_WRITE:
      name = "CAPI_PUT_MESSAGE";
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      uint32_t code = record->StackWord(STACK_PARAMETER_3);
      name = capiIoctlName(code);
      if (completion && code == CAPI_REGISTER) {
        capiError = capiRegisterError(record->status);
      }
      if (completion && code == CAPI_GET_MESSAGE && NT_SUCCESS(record->status) &&
          NoMessageReturned(record)) {
        capiError = 0x1104;
      }
      break;
    }
    default:
      // Only reads, writes and the CAPI I/O controls are ever recorded.
      return;
  }
  if (completion && !NT_SUCCESS(record->status)) {
    show = true;
  }
  bool dump = (flags & TRACE_CAPI_MESSAGES) &&
              (record->message.Present() || record->userMessageNote != USER_MESSAGE_COPIED);
  if (!show && !dump) {
    return;
  }
  PrintStampLine(record, 2);
  if (!show) {
    return;
  }

  const char* mode = record->requestorMode == UserMode ? "User" : "Kernel";
  PVOID fileObject = reinterpret_cast<PVOID>(record->StackWord(STACK_FILE_OBJECT));
  // "%s            (%s (%sMode, FileObj %p, Irp %p))\n" for a request
  // (with caller ids "..., Irp %p), Process %u, Thread %u)\n");
  // "COMPLETION %s (%s (%sMode, FileObj %p, Irp %p))\n   %s 0x%04X (0x%08X:
  // %s, Information: %u (0x%X))\n" for a completion: one print each.
  TraceTextReset();
  {
    TextLine line(kSummaryRoom);
    if (completion) {
      line.Text("COMPLETION ");
    }
    line.String(name);
    if (completion) {
      line.Text(" (");
    } else {
      line.Text("            (");
    }
    line.String(majorName(major));
    line.Text(" (");
    line.String(mode);
    line.Text("Mode, FileObj ");
    line.Address(fileObject);
    line.Text(", Irp ");
    line.Address(record->irp);
    line.Text(")");
    if (!completion && (flags & TRACE_CALLER_IDS)) {
      line.Text(", Process ");
      line.Decimal(record->callerProcess);
      line.Text(", Thread ");
      line.Decimal(record->callerThread);
    }
    line.Text(")\n");
    if (completion) {
      line.Text("   ");
      if (capiError != 0) {
        line.Text("CAPIError");
      }
      line.Text(" 0x");
      line.Hex(capiError, 4, true);
      line.Text(" (0x");
      line.Hex(uint32_t(record->status), 8, true);
      line.Text(": ");
      line.String(ntStatusName(uint32_t(record->status)));
      line.Text(", Information: ");
      appendLength(line, record->information);
      line.Text(")\n");
    }
  }
  TraceTextEmit(TextKindPlain, nullptr);
}

// The writer is part of the signature for the formatting context; the
// message check itself needs none of it.
void dumpCapiMessage(const LogWriter&, const TraceRecord* record) {
  if (!(record->Flags() & TRACE_CAPI_MESSAGES)) {
    return;
  }
  if (record->userMessageNote == USER_MESSAGE_UNREADABLE) {
    TracePrintText(kMessageUnreadable, sizeof kMessageUnreadable - 1);
    return;
  }
  if (record->userMessageNote == USER_MESSAGE_ELSEWHERE) {
    TracePrintText(kMessageElsewhere, sizeof kMessageElsewhere - 1);
    return;
  }
  if (!record->message.Present()) {
    return;
  }
  uint32_t available;
  switch (record->MajorFunction()) {
    case IRP_MJ_READ:
      available = record->information;
      break;
    case IRP_MJ_WRITE:
      available = record->StackWord(STACK_PARAMETER_1);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      // A user-mode caller's message, copied from its memory to its own
      // length as a kernel-mode caller's is (TRACE_USER_MESSAGES).
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      uint32_t code = record->StackWord(STACK_PARAMETER_3);
      if (code != CAPI_PUT_MESSAGE && code != CAPI_GET_MESSAGE) {
        return;
      }
      // A kernel-mode caller's message was captured to its own length. A
      // captured message had a pointer, even when the copy of the block
      // that held it could not be allocated.
      available = !record->ioBuffer.Present() ||
                          (record->ioBuffer.Holds(0, 4) && record->ioBuffer.Dword(0) != 0)
                      ? kKernelCallerLength
                      : 0;
      break;
    }
    default:
      return;
  }
  checkCapiMessage(record->message.data, record->message.size, available, record->settings);
}

void formatRecord(const LogWriter& writer, const TraceRecord* record) {
  writeRecordHeader(record);
  if (record->kind == TRACE_RECORD_TEXT) {
    if (record->ioBuffer.Present()) {
      // The text is printed verbatim, never taken as a format.
      TracePrintText(reinterpret_cast<const char*>(record->ioBuffer.data), record->ioBuffer.size);
    }
    return;
  }
  if (record->kind != TRACE_RECORD_REQUEST && record->kind != TRACE_RECORD_COMPLETION) {
    return;
  }
  if (!record->stack.Present()) {
    return;
  }
  bool request = record->kind == TRACE_RECORD_REQUEST;
  switch (record->MajorFunction()) {
    case IRP_MJ_READ:
      if (request) {
        if (record->Flags() & TRACE_CAPI_FUNCTIONS) {
          PrintLengthLine("    ReadBufferLength: ", record->StackWord(STACK_PARAMETER_1));
        }
        return;
      }
      dumpCapiMessage(writer, record);
      return;
    case IRP_MJ_WRITE:
      if (!request) {
        return;
      }
      if (record->Flags() & TRACE_CAPI_FUNCTIONS) {
        PrintLengthLine("    WriteBufferLength: ", record->StackWord(STACK_PARAMETER_1));
      }
      dumpCapiMessage(writer, record);
      return;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      decodeIoctlBuffers(writer, record);
      return;
    default:
      return;
  }
}

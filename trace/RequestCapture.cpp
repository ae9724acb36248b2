#include "trace/RequestCapture.h"

#include "capi/CapiMessage.h"
#include "framework/SystemRoutines.h"
#include "framework/UserMemoryCopy.h"
#include "trace/CapiIoctl.h"
#include "trace/CapiMessageCheck.h"
#include "trace/TraceRecord.h"

namespace {

void CopyBytes(UCHAR* to, const UCHAR* from, ULONG count) {
  for (ULONG i = 0; i < count; ++i) {
    to[i] = from[i];
  }
}

// Copies `count` bytes into a new block of the record; absent on failure.
void CaptureBlock(CapturedBlock* block, const void* from, ULONG count) {
  if (TraceRecord::AllocateBlock(block, count)) {
    CopyBytes(block->data, static_cast<const UCHAR*>(from), count);
  }
}

// The first step of both captures: the record with what the text reads of
// the request's stack location, its mode, address, status and information.
// Only the record's own allocation can fail here.
TraceRecord* NewRecord(PIRP irp, TraceSettings settings, TraceRecordKind kind) {
  TraceRecord* record = new TraceRecord(settings, kind);
  if (record == NULL) {
    return NULL;
  }
  record->irp = irp;
  record->requestorMode = UCHAR(irp->RequestorMode);
  record->status = irp->IoStatus.Status;
  record->information = ULONG(irp->IoStatus.Information);
  // A request is captured in the filter's dispatch routine, which the I/O
  // manager calls in the requester's thread: the current ids are the
  // caller's. A completion runs wherever the device completes it (a DPC,
  // another thread) and gets none.
  if (kind == TRACE_RECORD_REQUEST && (SettingsFlags(settings) & TRACE_CALLER_IDS) &&
      SystemRoutines::HasCallerIds()) {
    record->callerProcess = uint32_t(ULONG_PTR(SystemRoutines::CurrentProcessId()()));
    record->callerThread = uint32_t(ULONG_PTR(SystemRoutines::CurrentThreadId()()));
  }
  record->CopyStack(IoGetCurrentIrpStackLocation(irp));
  return record;
}

// How many DATA_B3 payload bytes the text dumps at most.
ULONG PayloadShown(TraceSettings settings) {
  ULONG bytes = MaxDataB3Bytes(settings);
  return bytes < kMaxPayloadDump ? bytes : kMaxPayloadDump;
}

// Of the `held` bytes of a read or write that start with a CAPI message, the
// ones its text can read: the message to its own length (its header at
// least, which the check and the decoder read whatever the length says),
// and behind it the DATA_B3 payload as far as the dump goes. A write or read
// of a DATA_B3 message carries its whole payload (2048 bytes are usual)
// behind the message, of which the log shows at most 32.
ULONG ShownBytes(const UCHAR* data, ULONG held, TraceSettings settings) {
  if (held < 2) {
    return held;
  }
  ULONG length = ReadWord(data + kCapiMessageLength);
  if (length < kCapiMessageHeaderSize) {
    length = kCapiMessageHeaderSize;
  }
  ULONG shown = length + PayloadShown(settings);
  return shown < held ? shown : held;
}

bool HideManufacturer(TraceSettings settings, const void* message) {
  return (SettingsFlags(settings) & TRACE_HIDE_MANU_MESSAGES) && isManufacturerMessage(message);
}

// The same for the `held` bytes of a read or write: fewer bytes than the
// shortest message are no MANUFACTURER message, and the check's reads of the
// length and command would lie past the caller's data.
bool HideManufacturer(TraceSettings settings, const UCHAR* data, ULONG held) {
  return held >= kCapiMinimumMessage && HideManufacturer(settings, data);
}

// The message of a kernel-mode caller's parameter block, followed by as
// much of its DATA_B3 payload as the dump shows (MaxDataB3Bytes, at most
// 32) when the message is a DATA_B3 of `subcommand` (REQ going down, IND
// coming up). The payload lies apart from the message, so the bound applies
// here.
void CaptureBlockMessage(TraceRecord* record, const CAPI_PARAMETER_BLOCK& block,
                         TraceSettings settings, UCHAR subcommand) {
  const UCHAR* message = reinterpret_cast<const UCHAR*>(block.message);
  if (message == NULL || !inSystemSpace(message, 2)) {
    return;
  }
  ULONG length = ReadWord(message + kCapiMessageLength);
  // Everything read below lies inside the message's own length; a shorter
  // message is read no further than its length word.
  if (!inSystemSpace(message, length) || HideManufacturer(settings, message)) {
    return;
  }
  ULONG payload = 0;
  const UCHAR* b3Data = reinterpret_cast<const UCHAR*>(block.b3Data);
  // The command bytes and the data length lie inside a message of at least
  // 18 bytes; a shorter one carries no payload we could size.
  if (b3Data != NULL && length >= kCapiDataB3Length + 2 &&
      message[kCapiMessageCommand] == kCapiCommandDataB3 &&
      message[kCapiMessageSubcommand] == subcommand) {
    payload = ReadWord(message + kCapiDataB3Length);
    if (payload > PayloadShown(settings)) {
      payload = PayloadShown(settings);
    }
    // A message without the payload it announces would read as a broken
    // one: unreadable payload leaves the whole message out.
    if (payload != 0 && !inSystemSpace(b3Data, payload)) {
      return;
    }
  }
  if (length == 0) {
    return;
  }
  if (!TraceRecord::AllocateBlock(&record->message, length + payload)) {
    return;
  }
  CopyBytes(record->message.data, message, length);
  CopyBytes(record->message.data + length, b3Data, payload);
}

// The message a read or write carries in its data buffer: of the first n
// bytes (the written length, or the bytes a read returned), as far as the
// request's buffer reaches, the message and what its text shows of any
// DATA_B3 payload behind it. The buffer is `requestLength` bytes (the
// read's or write's own length): a lower driver may report more bytes read
// than were asked for.
void CaptureDataMessage(TraceRecord* record, PIRP irp, LONG n, ULONG requestLength,
                        TraceSettings settings) {
  if (n <= 0) {
    return;
  }
  ULONG held;
  const UCHAR* data = requestDataBuffer(irp, requestLength, &held);
  if (data == NULL) {
    return;
  }
  if (ULONG(n) < held) {
    held = ULONG(n);
  }
  if (held == 0 || HideManufacturer(settings, data, held)) {
    return;
  }
  CaptureBlock(&record->message, data, ShownBytes(data, held, settings));
}

bool IsMessageCode(ULONG code) {
  return code == CAPI_PUT_MESSAGE || code == CAPI_GET_MESSAGE;
}

CAPI_PARAMETER_BLOCK BlockOf(const CapturedBlock& buffer) {
  CAPI_PARAMETER_BLOCK block = {0, 0};
  if (buffer.Holds(0, 8)) {
    block.message = buffer.Dword(0);
    block.b3Data = buffer.Dword(4);
  }
  return block;
}

// The message of a user-mode caller's CAPI_PUT_MESSAGE (`subcommand` REQ)
// or CAPI_GET_MESSAGE completion (IND), from the parameter block's pointers
// into the caller's memory: what CaptureBlockMessage takes from a
// kernel-mode caller's block, copied under the driver's exception frame in
// the requester's thread. Whatever the caller's pointers and lengths are,
// the request is not touched; a message that cannot be read leaves the
// record with a note instead. The length word is copied first and read from
// the copy: the caller may change its memory while the driver reads it, and
// every read of the message below is bounded by what was copied.
void CaptureUserMessage(TraceRecord* record, PIRP irp, const CAPI_PARAMETER_BLOCK& block,
                        TraceSettings settings, UCHAR subcommand) {
  if (!UserMemoryCopy::InRequesterContext(irp)) {
    record->userMessageNote = USER_MESSAGE_ELSEWHERE;
    return;
  }
  const void* message = reinterpret_cast<const void*>(ULONG_PTR(block.message));
  UCHAR lengthWord[2];
  if (!NT_SUCCESS(UserMemoryCopy::Read(lengthWord, message, sizeof lengthWord))) {
    record->userMessageNote = USER_MESSAGE_UNREADABLE;
    return;
  }
  ULONG length = ReadWord(lengthWord);
  if (length == 0) {
    return;  // as a kernel-mode caller's empty message: nothing to show
  }
  ULONG room = length + PayloadShown(settings);
  if (!TraceRecord::AllocateBlock(&record->message, room)) {
    return;
  }
  UCHAR* copy = record->message.data;
  bool readable = NT_SUCCESS(UserMemoryCopy::Read(copy, message, length));
  ULONG payload = 0;
  const void* b3Data = reinterpret_cast<const void*>(ULONG_PTR(block.b3Data));
  if (readable && b3Data != NULL && length >= kCapiDataB3Length + 2 &&
      copy[kCapiMessageCommand] == kCapiCommandDataB3 &&
      copy[kCapiMessageSubcommand] == subcommand) {
    payload = ReadWord(copy + kCapiDataB3Length);
    if (payload > PayloadShown(settings)) {
      payload = PayloadShown(settings);
    }
    // A message without the payload it announces would read as a broken
    // one: unreadable payload leaves the whole message out.
    readable = NT_SUCCESS(UserMemoryCopy::Read(copy + length, b3Data, payload));
  }
  if (!readable) {
    TraceRecord::FreeBlock(&record->message);
    record->userMessageNote = USER_MESSAGE_UNREADABLE;
    return;
  }
  record->message.size = length + payload;
  if (HideManufacturer(settings, copy, record->message.size)) {
    TraceRecord::FreeBlock(&record->message);
  }
}

// Whether the settings ask for the message behind a user-mode caller's
// parameter block of this record's I/O control.
bool WantsUserMessage(const TraceRecord* record, TraceSettings settings, ULONG code) {
  return (settings & TRACE_USER_MESSAGES) && record->requestorMode == UserMode &&
         IsMessageCode(code) && record->ioBuffer.Holds(0, sizeof(CAPI_PARAMETER_BLOCK));
}

}  // namespace

bool isManufacturerMessage(const void* message) {
  if (message == NULL) {
    return false;
  }
  const UCHAR* bytes = static_cast<const UCHAR*>(message);
  return ReadWord(bytes + kCapiMessageLength) >= kCapiMinimumMessage &&
         bytes[kCapiMessageCommand] == kCapiCommandManufacturer;
}

bool inSystemSpace(const void* address, ULONG length) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  ULONG_PTR lowest = SystemRoutines::UserProbeAddress();
  if (lowest == 0) {
    // Windows 98/Me export no MmUserProbeAddress. There each process's
    // private memory lies below 2 GB; above it are the arena all processes
    // share and, from 3 GB, the system's own memory, where the pool lies.
    // What lies at 2 GB or higher is the same in every context.
    lowest = 0x80000000;
  }
  if (start < lowest) {
    return false;
  }
  // The range must not wrap past the top of the address space.
  return length == 0 || length - 1 <= ~ULONG_PTR(0) - start;
}

namespace {

// The system address of an MDL's pages, or null when no mapping can be
// made now. An MDL of non-paged pool or one mapped already has it at hand.
// A new mapping takes system page-table entries, and the traced request's
// path must not be the one to bug-check when they run out: on NT the
// mapping is asked for with BugCheckOnFailure FALSE (the routine is
// Windows 2000's), on Windows 98/Me the MDL says for the call that the
// mapping may fail, as the DDK has it there.
const UCHAR* MdlSystemAddress(PMDL mdl) {
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return static_cast<const UCHAR*>(mdl->MappedSystemVa);
  }
  SystemRoutines::MapLockedPagesSpecifyCacheRoutine map =
      SystemRoutines::MapLockedPagesSpecifyCache();
  if (map != NULL) {
    return static_cast<const UCHAR*>(
        map(mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority));
  }
  if (SystemRoutines::IsNt()) {
    // Every NT the driver loads on exports the routine; should one not,
    // no mapping is better than one that may bug-check.
    return NULL;
  }
  const CSHORT flags = mdl->MdlFlags;
  mdl->MdlFlags = CSHORT(flags | MDL_MAPPING_CAN_FAIL);
  PVOID mapped = MmMapLockedPages(mdl, KernelMode);
  // The mapping sets flags of its own; only ours goes again.
  mdl->MdlFlags = CSHORT((mdl->MdlFlags & ~MDL_MAPPING_CAN_FAIL) | (flags & MDL_MAPPING_CAN_FAIL));
  return static_cast<const UCHAR*>(mapped);
}

}  // namespace

const UCHAR* requestDataBuffer(PIRP irp, ULONG requestLength, ULONG* length) {
  *length = 0;
  if (irp->AssociatedIrp.SystemBuffer != NULL) {
    *length = requestLength;
    return static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  }
  PMDL mdl = irp->MdlAddress;
  if (mdl == NULL) {
    return NULL;
  }
  const UCHAR* data = MdlSystemAddress(mdl);
  if (data != NULL) {
    *length = mdl->ByteCount;
  }
  return data;
}

TraceRecord* captureRequest(PIRP irp, TraceSettings settings) {
  TraceRecord* record = NewRecord(irp, settings, TRACE_RECORD_REQUEST);
  if (record == NULL) {
    return NULL;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_WRITE:
      CaptureDataMessage(record, irp, LONG(stack->Parameters.Write.Length),
                         stack->Parameters.Write.Length, settings);
      break;
    case IRP_MJ_DEVICE_CONTROL: {
      LONG n = LONG(stack->Parameters.DeviceIoControl.InputBufferLength);
      if (n <= 0 || irp->AssociatedIrp.SystemBuffer == NULL) {
        break;
      }
      CaptureBlock(&record->ioBuffer, irp->AssociatedIrp.SystemBuffer, ULONG(n));
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      if (code == CAPI_PUT_MESSAGE && WantsUserMessage(record, settings, code)) {
        CaptureUserMessage(record, irp, BlockOf(record->ioBuffer), settings, kCapiSubcommandReq);
      }
      break;
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      const void* block = stack->Parameters.DeviceIoControl.Type3InputBuffer;
      ULONG n = stack->Parameters.DeviceIoControl.InputBufferLength;
      if (block == NULL) {
        break;
      }
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      // A message's parameter block is 8 bytes whatever the caller's
      // lengths claim; nothing reads more of it.
      ULONG copied = IsMessageCode(code) ? ULONG(8) : n;
      if (n < sizeof(CAPI_PARAMETER_BLOCK) || !inSystemSpace(block, copied)) {
        break;
      }
      CaptureBlock(&record->ioBuffer, block, copied);
      if (code != CAPI_PUT_MESSAGE) {
        break;
      }
      // Read from the caller's block, whether or not its copy could be made.
      CAPI_PARAMETER_BLOCK parameters = *static_cast<const CAPI_PARAMETER_BLOCK*>(block);
      CaptureBlockMessage(record, parameters, settings, kCapiSubcommandReq);
      break;
    }
    default:
      break;
  }
  return record;
}

TraceRecord* captureCompletion(PIRP irp, TraceSettings settings) {
  TraceRecord* record = NewRecord(irp, settings, TRACE_RECORD_COMPLETION);
  if (record == NULL) {
    return NULL;
  }
  // A failed completion carries no buffers.
  if (!NT_SUCCESS(record->status)) {
    return record;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
      CaptureDataMessage(record, irp, LONG(record->information), stack->Parameters.Read.Length,
                         settings);
      break;
    case IRP_MJ_DEVICE_CONTROL: {
      ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      ULONG n = record->information < out ? record->information : out;
      if (n == 0 || irp->AssociatedIrp.SystemBuffer == NULL) {
        break;
      }
      CaptureBlock(&record->ioBuffer, irp->AssociatedIrp.SystemBuffer, n);
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      // A completion without a message to tell (none was waiting) has a
      // null message pointer; the text says so from the block.
      if (code == CAPI_GET_MESSAGE && WantsUserMessage(record, settings, code) &&
          record->ioBuffer.Dword(0) != 0) {
        CaptureUserMessage(record, irp, BlockOf(record->ioBuffer), settings, kCapiSubcommandInd);
      }
      break;
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      if (stack->Parameters.DeviceIoControl.IoControlCode != CAPI_GET_MESSAGE) {
        break;
      }
      ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
      if ((out > in ? out : in) < sizeof(CAPI_PARAMETER_BLOCK)) {
        break;
      }
      const void* block = stack->Parameters.DeviceIoControl.Type3InputBuffer;
      // A block in user memory, whose bytes this context may not read,
      // stays absent; a null one reads as a zero block.
      if (block != NULL && !inSystemSpace(block, sizeof(CAPI_PARAMETER_BLOCK))) {
        break;
      }
      // The block is 8 bytes, however large the caller's lengths are.
      if (!TraceRecord::AllocateBlock(&record->ioBuffer, sizeof(CAPI_PARAMETER_BLOCK))) {
        break;
      }
      if (block == NULL) {
        break;  // the copy stays zero: a null message pointer
      }
      CopyBytes(record->ioBuffer.data, static_cast<const UCHAR*>(block),
                sizeof(CAPI_PARAMETER_BLOCK));
      CaptureBlockMessage(record, BlockOf(record->ioBuffer), settings, kCapiSubcommandInd);
      break;
    }
    default:
      break;
  }
  return record;
}

TraceRecord* makeTextRecord(const char* text, TraceSettings settings) {
  TraceRecord* record = new TraceRecord(settings, TRACE_RECORD_TEXT);
  if (record == NULL) {
    return NULL;
  }
  ULONG length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  CaptureBlock(&record->ioBuffer, text, length + 1);
  // A text record without its text would print an empty block.
  if (!record->ioBuffer.Present()) {
    delete record;
    return NULL;
  }
  return record;
}

TraceRecord* makeTextRecord(const char* text) {
  return makeTextRecord(text, TRACE_NO_TIMESTAMP);
}

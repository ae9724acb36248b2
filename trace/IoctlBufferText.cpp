#include "trace/IoctlBufferText.h"

#include "capi/CapiMessage.h"
#include "capi/TextLine.h"
#include "capi/TraceText.h"
#include "control/TraceSettings.h"
#include "log/LogWriter.h"
#include "trace/CapiIoctl.h"
#include "trace/HexDump.h"
#include "trace/RecordText.h"
#include "trace/TraceRecord.h"

namespace {

// Prints "label" and the NUL-terminated text of the buffer, never reading
// past the captured bytes (a text without NUL ends with the capture).
void PrintReturnedText(const char* format, const CapturedBlock& buffer) {
  ULONG length = 0;
  while (length < buffer.size && buffer.data[length] != 0) {
    ++length;
  }
  TracePrint(format, int(length), reinterpret_cast<const char*>(buffer.data));
}

// TracePrint of label, "0x%p" of the pointer and a line end.
template <size_t N>
void PrintPointerLine(const char (&label)[N], uint32_t pointer) {
  TraceTextReset();
  {
    TextLine line(48);
    line.Text(label);
    line.Address(reinterpret_cast<PVOID>(pointer));
    line.Text("\n");
  }
  TraceTextEmit(TextKindPlain, nullptr);
}

void PrintParameterBlock(const CapturedBlock& buffer) {
  PrintPointerLine("  MessagePointer: 0x", buffer.Dword(0));
  PrintPointerLine("  B3DataPointer:  0x", buffer.Dword(4));
}

void DecodeRequest(const LogWriter& writer, const TraceRecord* record, uint32_t code) {
  ULONG flags = record->Flags();
  bool functions = (flags & TRACE_CAPI_FUNCTIONS) != 0;
  uint32_t in = record->StackWord(STACK_PARAMETER_2);
  uint32_t out = record->StackWord(STACK_PARAMETER_1);
  const CapturedBlock& buffer = record->ioBuffer;

  if (functions) {
    // "    InputBufferLength:  %u (0x%X)    OutputBufferLength: %u (0x%X)\n"
    TraceTextReset();
    {
      TextLine line(96);
      line.Text("    InputBufferLength:  ");
      appendLength(line, in);
      line.Text("    OutputBufferLength: ");
      appendLength(line, out);
      line.Text("\n");
    }
    TraceTextEmit(TextKindPlain, nullptr);
  }
  switch (code) {
    case CAPI_REGISTER:
      if (functions && in >= 8 && buffer.Holds(0, 8)) {
        TracePrint(
            "  MessageBufferSize:    %u\n  maxLogicalConnection: %u\n"
            "  maxBDataBLocks:       %u\n  maxBDataLength:       %u\n",
            buffer.Word(0), buffer.Word(2), buffer.Word(4), buffer.Word(6));
      }
      return;
    case CAPI_PUT_MESSAGE:
      if (functions) {
        if (in < 8) {
          TracePrint("Error: invalid InputBuffer\n");
        } else if (buffer.Holds(0, 8)) {
          PrintParameterBlock(buffer);
        }
      }
      dumpCapiMessage(writer, record);
      return;
    case CAPI_GET_MANUFACTURER:
    case CAPI_GET_VERSION:
    case CAPI_GET_SERIAL:
    case CAPI_GET_PROFILE:
      if (functions && in >= 4 && buffer.Holds(0, 4)) {
        TracePrint("  ControllerNr: %u (additional parameter)\n", buffer.Dword(0) & 0x7F);
      }
      return;
    case CAPI_MANUFACTURER:
      if (writer.NrxTarget() && functions && in >= 20 && buffer.Holds(0, 20)) {
        TracePrint(
            "  Class:     0x%08X\n  Function:  0x%08X\n  Card:      0x%08X\n"
            "  Length:    0x%08X\n  Unused:    0x%08X\n",
            buffer.Dword(0), buffer.Dword(4), buffer.Dword(8), buffer.Dword(12), buffer.Dword(16));
      }
      return;
    default:
      return;
  }
}

void DecodeCompletion(const LogWriter& writer, const TraceRecord* record, uint32_t code) {
  if (!NT_SUCCESS(record->status)) {
    return;
  }
  bool functions = (record->Flags() & TRACE_CAPI_FUNCTIONS) != 0;
  uint32_t n = record->information;
  const CapturedBlock& buffer = record->ioBuffer;

  if (code == CAPI_GET_MESSAGE) {
    if (functions) {
      if (n < 8) {
        TracePrint("Error: invalid OutputBuffer\n");
      } else if (buffer.Holds(0, 8)) {
        PrintParameterBlock(buffer);
      }
    }
    dumpCapiMessage(writer, record);
    return;
  }
  if (!functions) {
    return;
  }
  switch (code) {
    case CAPI_REGISTER:
      if (n >= 4 && buffer.Holds(0, 4)) {
        TracePrint("  ApplID: %u (additional return value)\n", buffer.Dword(0));
      }
      return;
    case CAPI_GET_MANUFACTURER:
      if (n >= 8 && buffer.Present()) {
        PrintReturnedText("  Manufacturer: %.*s\n", buffer);
      }
      return;
    case CAPI_GET_VERSION:
      if (n >= 8 && buffer.Holds(0, 8)) {
        printCapiVersion(writer, buffer.data);
      }
      return;
    case CAPI_GET_SERIAL:
      if (n >= 8 && buffer.Present()) {
        PrintReturnedText("  Serial Nr.: %.*s\n", buffer);
      }
      return;
    case CAPI_GET_PROFILE:
      if (n >= 64 && buffer.Present()) {
        // The profile as far as it was captured.
        uint32_t bytes = n < buffer.size ? n : buffer.size;
        TracePrint("  Profile (%u Bytes):\n", n);
        hexDump(buffer.data, bytes);
      }
      return;
    default:
      return;
  }
}

}  // namespace

void printCapiVersion(const LogWriter& writer, const UCHAR* block) {
  TracePrint("  CAPI Version:              %u.%u\n", unsigned(ReadWord(block)),
             unsigned(ReadWord(block + 2)));
  unsigned major = ReadWord(block + 4);
  unsigned minor = ReadWord(block + 6);
  if (writer.NrxTarget()) {
    TracePrint("  Manufacturer Version(NRX): %u.%1u%1u-%02u  (%u.%u)\n", (major >> 4) & 0xF,
               major & 0xF, (minor >> 4) & 0xF, minor & 0xF, major, minor);
    return;
  }
  TracePrint("  Manufacturer Version:      %u.%u\n", major, minor);
}

void decodeIoctlBuffers(const LogWriter& writer, const TraceRecord* record) {
  uint32_t code = record->StackWord(STACK_PARAMETER_3);
  if (record->kind == TRACE_RECORD_REQUEST) {
    DecodeRequest(writer, record, code);
    return;
  }
  if (record->kind == TRACE_RECORD_COMPLETION) {
    DecodeCompletion(writer, record, code);
  }
}

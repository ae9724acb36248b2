// The text of a trace record, formatted on the writer thread: the time stamp
// line, the one-line summary of a request or completion, and the checked and
// decoded CAPI message. All text leaves through TracePrint.
#pragma once

#include <stdint.h>

#include <ntddk.h>

class LogWriter;
class TextLine;
class TraceRecord;

// Formats one record taken from the queue. Of the writer only NrxTarget is
// read.
void formatRecord(const LogWriter& writer, const TraceRecord* record);

// The time stamp line and the summary line.
void writeRecordHeader(const TraceRecord* record);

// The CAPI error (class 0x11xx) a failed message exchange reports; 0 for a
// status that is not negative.
USHORT capiMessageError(NTSTATUS status);

// The CAPI error (class 0x10xx) of a failed CAPI_REGISTER; 0 for a status
// that is not negative.
USHORT capiRegisterError(NTSTATUS status);

// Appends a length as the request tracing prints lengths, "%u (0x%X)".
void appendLength(TextLine& line, uint32_t length);

// Checks the captured CAPI message against the length the request made
// available and decodes it, followed by the start of its DATA_B3 payload;
// an invalid message is reported and dumped raw, as far as it was captured.
void dumpCapiMessage(const LogWriter& writer, const TraceRecord* record);

// Builds trace records: copies of a request or completion that the trace
// device selected, taken at once in the context of whoever sends or
// completes the request (up to DISPATCH_LEVEL, non-paged pool only, no
// locks, no text work), and text records for the tracing control.
#pragma once

#include <ntddk.h>

#include "control/TraceSettings.h"

class TraceRecord;

// A request on its way down (kind 1) or its completion (kind 2), with the
// settings word in force. Null when the record cannot be allocated (the
// caller counts it lost: LogWriter::Submit); a block that cannot be
// allocated stays absent. A read's or write's message is copied as far as
// its text reads it: the message, and of a DATA_B3 payload behind it at
// most MaxDataB3Bytes (never more than 32).
TraceRecord* captureRequest(PIRP irp, TraceSettings settings);
TraceRecord* captureCompletion(PIRP irp, TraceSettings settings);

// A text record holding a copy of `text` (NUL included). The first form is
// a plain block of text, written without a time stamp line; the second
// carries `settings` (and so a time stamp line). Null when it cannot be
// allocated (the caller counts it lost: LogWriter::Submit). PASSIVE_LEVEL
// or DISPATCH_LEVEL.
TraceRecord* makeTextRecord(const char* text);
TraceRecord* makeTextRecord(const char* text, TraceSettings settings);

// A CAPI MANUFACTURER message: a message pointer that is not null, a total
// length of at least 12 and the command byte 0xFF.
bool isManufacturerMessage(const void* message);

// Whether [address, address + length) lies wholly in system space, at or
// above MmUserProbeAddress: the only pointers of a kernel-mode requester
// that the capture follows. It runs in whatever context sends or completes
// the request, where a user address is another process's memory or none.
bool inSystemSpace(const void* address, ULONG length);

// The memory that carries a read's or write's data: the system buffer, else
// the MDL's system address (mapped if need be; null when the mapping
// cannot be made now), else null. *length: how many
// bytes lie there (the MDL's byte count; the request's own length for a
// system buffer).
const UCHAR* requestDataBuffer(PIRP irp, ULONG requestLength, ULONG* length);

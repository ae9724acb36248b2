// The code of trace/IoctlBufferText.h as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
// The buffer lines of the CAPI I/O-control records: register parameters,
// parameter-block pointers, controller numbers, manufacturer, serial number,
// versions, profile and application ID, read only from the record's captured
// copy.
#pragma once

#include <ntddk.h>

class LogWriter;
class TraceRecord;

namespace pellinor_baseline {

// For records of major function 14 or 15.
void decodeIoctlBuffers(const LogWriter& writer, const TraceRecord* record);

// The version lines of an 8-byte CAPI_GET_VERSION block.
void printCapiVersion(const LogWriter& writer, const UCHAR* block);

}  // namespace pellinor_baseline

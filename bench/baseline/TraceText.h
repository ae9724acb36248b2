// The code of capi/TraceText.h as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
// The trace text sink: the one text buffer into which all trace text is
// formatted, and the callback through which finished text leaves for the
// log file. Used by the log writer's thread only; there is no lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace pellinor_baseline {

enum TextKind : uint32_t {
  TextKindMessage = 1,  // a decoded CAPI message
  TextKindPlain = 2,    // any other text
};

// text: the buffer's NUL-terminated contents; kind: a TextKind; message: the
// decoded message for TextKindMessage, null otherwise.
typedef void (*TraceTextSink)(const char* text, uint32_t kind, const void* message);

// The log writer's text buffer.
inline constexpr size_t kTraceTextSize = 9216;

// Text that would not fit is cut, and the cut shows: the text ends with
// this line. The buffer keeps room for it (and a line end before it).
inline constexpr char kTraceTextCutMark[] = "[text cut]\n";

// The smallest buffer TraceTextInit accepts; smaller ones leave the sink unset.
inline constexpr size_t kTraceTextMinSize = 64;

// Stores the buffer (size bytes, not owned) and the sink, and empties the
// text. A null buffer or sink, or a buffer below kTraceTextMinSize, unsets
// the sink: TracePrint and DecodeCapiMessage then do nothing.
void TraceTextInit(char* buffer, size_t size, TraceTextSink sink);

// Formats at the end of the text so far, without calling the sink. Used
// between TraceTextReset and TraceTextEmit.
void TraceAppend(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats from the buffer's start, replacing the previous text, and hands
// the text to the sink as TextKindPlain.
void TracePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Building blocks for composite texts such as a decoded message.
bool TraceTextReady();
void TraceTextReset();
void TraceTextEmit(uint32_t kind, const void* message);
// The text so far (for tests and for the decoder's own checks).
const char* TraceTextBuffer();
size_t TraceTextLength();

}  // namespace pellinor_baseline

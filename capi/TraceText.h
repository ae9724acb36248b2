// The trace text sink: the one text buffer into which all trace text is
// formatted, and the callback through which finished text leaves for the
// log file. Used by the log writer's thread only; there is no lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

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

// Direct appends for the hot paths (the decoder, hex dumps, record lines):
// the same text as TraceAppend would make of the equivalent format, cut at
// the same character when it does not fit, without parsing a format.
//
// length characters of text (no NUL needed; a NUL among them is copied).
void TraceAppendText(const char* text, size_t length);
// A NUL-terminated text ("%s").
void TraceAppendString(const char* text);
// count blanks.
void TraceAppendBlanks(size_t count);
// The text left-justified in a field of width characters ("%-*s").
void TraceAppendPadded(const char* text, size_t width);
// The value in hexadecimal, lower or upper case, with zeros in front to at
// least digits digits ("%02x", "%04x", "%08lx", "%08X", "%X" with 1).
void TraceAppendHex(uint32_t value, uint32_t digits, bool upper);
// An address as "%p" prints it: upper-case hexadecimal, two digits per
// byte of a pointer (eight on i386), no prefix.
void TraceAppendAddress(const void* address);
// The value in decimal, right-justified in a field of width characters
// ("%u", "%4u").
void TraceAppendDecimal(uint32_t value, size_t width);
// Like TracePrint("%.*s", length, text): replaces the text and hands it to
// the sink as TextKindPlain.
void TracePrintText(const char* text, size_t length);

// Writing in place, for text whose greatest length is known beforehand:
// TraceTextReserve gives the place at the cursor where up to count
// characters (and a NUL behind them) fit below the limit, or null when they
// might not (or there is no buffer, or the text was cut); the caller then
// makes the same text through the appends above, which cut it exactly.
// TraceTextCommit moves the cursor over the characters written (at most
// the count reserved) and terminates the text.
char* TraceTextReserve(size_t count);
void TraceTextCommit(size_t written);

// Building blocks for composite texts such as a decoded message.
bool TraceTextReady();
void TraceTextReset();
void TraceTextEmit(uint32_t kind, const void* message);
// The text so far (for tests and for the decoder's own checks).
const char* TraceTextBuffer();
size_t TraceTextLength();

// The text sink's state is plain data, so it needs no constructor at load.
#include "capi/TraceText.h"

#include "capi/TextFormat.h"

namespace {

// Room kept at the end of the buffer for a line end, the cut mark and the NUL.
constexpr size_t kCutRoom = sizeof(kTraceTextCutMark) + 1;

struct SinkState {
  char* buffer;
  size_t size;
  size_t length;  // the cursor, as an offset into buffer
  bool cut;       // the text was cut; nothing more is appended until a reset
  TraceTextSink sink;
};

SinkState state;

// Ends the text where the buffer's limit was reached: closes the line that
// was cut, then the mark.
void Cut() {
  if (state.length != 0 && state.buffer[state.length - 1] != '\n') {
    state.buffer[state.length++] = '\n';
  }
  for (const char* p = kTraceTextCutMark; *p != '\0'; ++p) state.buffer[state.length++] = *p;
  state.buffer[state.length] = '\0';
  state.cut = true;
}

void AppendV(const char* format, va_list args) {
  if (state.buffer == nullptr || state.cut)
    return;
  size_t limit = state.size - kCutRoom;
  FormatResult result =
      FormatTextV(state.buffer + state.length, limit - state.length + 1, format, args);
  state.length += result.length;
  if (result.cut)
    Cut();
}

// The one copy behind every direct append: as many characters as fit below
// the limit, and the cut when not all do, exactly where the formatter would
// have cut the same text.
void Put(const char* text, size_t length) {
  if (state.buffer == nullptr || state.cut)
    return;
  size_t room = state.size - kCutRoom - state.length;
  size_t fits = length <= room ? length : room;
  char* out = state.buffer + state.length;
  if (fits <= 16) {
    // Most pieces are a few characters: a call to a block copy would cost
    // more than the copy.
    for (size_t i = 0; i < fits; ++i) out[i] = text[i];
  } else {
    __builtin_memcpy(out, text, fits);
  }
  state.length += fits;
  state.buffer[state.length] = '\0';
  if (fits != length)
    Cut();
}

// The length of text, counted no further than one past what still fits:
// beyond that it makes no difference, since the text is cut there. (A
// bounded count, which also keeps the compiler from calling strlen, an
// import the driver does not have.)
size_t FittingLength(const char* text) {
  if (state.buffer == nullptr || state.cut)
    return 0;
  size_t limit = state.size - kCutRoom - state.length + 1;
  size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

constexpr char kBlanks[] = "                                                                ";
constexpr size_t kBlankRun = sizeof(kBlanks) - 1;
static_assert(kBlankRun == 64, "a run of 64 blanks");

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";

}  // namespace

void TraceTextInit(char* buffer, size_t size, TraceTextSink sink) {
  if (buffer == nullptr || sink == nullptr || size < kTraceTextMinSize) {
    state = SinkState{nullptr, 0, 0, false, nullptr};
    return;
  }
  state = SinkState{buffer, size, 0, false, sink};
  buffer[0] = '\0';
}

bool TraceTextReady() {
  return state.buffer != nullptr;
}

void TraceTextReset() {
  if (state.buffer == nullptr)
    return;
  state.length = 0;
  state.cut = false;
  state.buffer[0] = '\0';
}

void TraceTextEmit(uint32_t kind, const void* message) {
  if (state.buffer == nullptr)
    return;
  state.sink(state.buffer, kind, message);
}

const char* TraceTextBuffer() {
  return state.buffer;
}

size_t TraceTextLength() {
  return state.length;
}

void TraceAppend(const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendV(format, args);
  va_end(args);
}

void TracePrint(const char* format, ...) {
  if (state.buffer == nullptr)
    return;
  TraceTextReset();
  va_list args;
  va_start(args, format);
  AppendV(format, args);
  va_end(args);
  TraceTextEmit(TextKindPlain, nullptr);
}

void TraceAppendText(const char* text, size_t length) {
  Put(text, length);
}

void TraceAppendString(const char* text) {
  if (text == nullptr)
    text = "(null)";
  Put(text, FittingLength(text));
}

void TraceAppendBlanks(size_t count) {
  while (count > kBlankRun) {
    Put(kBlanks, kBlankRun);
    count -= kBlankRun;
  }
  Put(kBlanks, count);
}

void TraceAppendPadded(const char* text, size_t width) {
  if (text == nullptr)
    text = "(null)";
  size_t length = FittingLength(text);
  Put(text, length);
  if (width > length)
    TraceAppendBlanks(width - length);
}

void TraceAppendHex(uint32_t value, uint32_t digits, bool upper) {
  const char* set = upper ? kUpperDigits : kLowerDigits;
  char text[8];
  uint32_t count = 0;
  do {
    text[7 - count++] = set[value & 15];
    value >>= 4;
  } while (value != 0);
  uint32_t wanted = digits < 8 ? digits : 8;
  // cppcheck-suppress knownConditionTrueFalse ; true when the value has fewer digits than wanted
  while (count < wanted) text[7 - count++] = '0';
  Put(text + 8 - count, count);
}

void TraceAppendAddress(const void* address) {
  uintptr_t value = reinterpret_cast<uintptr_t>(address);
  char text[2 * sizeof(value)];
  for (size_t i = sizeof(text); i != 0; --i) {
    text[i - 1] = kUpperDigits[value & 15];
    value >>= 4;
  }
  Put(text, sizeof(text));
}

void TraceAppendDecimal(uint32_t value, size_t width) {
  char text[10];
  uint32_t count = 0;
  // 32-bit division by a constant: a multiplication, also on i386.
  do {
    text[9 - count++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (width > count)
    TraceAppendBlanks(width - count);
  Put(text + 10 - count, count);
}

char* TraceTextReserve(size_t count) {
  if (state.buffer == nullptr || state.cut || count > state.size - kCutRoom - state.length)
    return nullptr;
  return state.buffer + state.length;
}

void TraceTextCommit(size_t written) {
  state.length += written;
  state.buffer[state.length] = '\0';
}

void TracePrintText(const char* text, size_t length) {
  if (state.buffer == nullptr)
    return;
  TraceTextReset();
  // As "%.*s": the text ends at a NUL within the length.
  size_t end = 0;
  while (end < length && text[end] != '\0') ++end;
  Put(text, end);
  TraceTextEmit(TextKindPlain, nullptr);
}

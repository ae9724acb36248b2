// The code of capi/TraceText.cpp as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
// The text sink's state is plain data, so it needs no constructor at load.
#include "bench/baseline/TraceText.h"

#include "bench/baseline/TextFormat.h"

namespace pellinor_baseline {

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

void AppendV(const char* format, va_list args) {
  if (state.buffer == nullptr || state.cut)
    return;
  size_t limit = state.size - kCutRoom;
  FormatResult result =
      FormatTextV(state.buffer + state.length, limit - state.length + 1, format, args);
  state.length += result.length;
  if (!result.cut)
    return;
  // Close the line that was cut, then the mark.
  if (state.length != 0 && state.buffer[state.length - 1] != '\n') {
    state.buffer[state.length++] = '\n';
  }
  for (const char* p = kTraceTextCutMark; *p != '\0'; ++p) state.buffer[state.length++] = *p;
  state.buffer[state.length] = '\0';
  state.cut = true;
}

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

}  // namespace pellinor_baseline

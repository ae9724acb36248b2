// A piece of trace text written straight into the sink's buffer at its
// cursor: the room is reserved once, and each part (fixed text, string,
// number, address) is a few stores, with no call and no format to parse.
// Where a part does not fit the room (a long string, the end of the
// buffer), the text written so far is kept and the rest goes through the
// sink's appends, which cut it exactly where TraceAppend would: the text is
// the same either way. Writer thread only, like the sink; used between a
// reset or print and the sink call, and finished before the next append.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capi/TraceText.h"

class TextLine {
 public:
  // Reserves room for `room` characters at the cursor.
  explicit TextLine(size_t room) : start_(TraceTextReserve(room)), out_(start_), end_(start_) {
    if (start_ != nullptr)
      end_ = start_ + room;
  }
  // Moves the cursor over what was written in place.
  ~TextLine() { Flush(); }
  TextLine(const TextLine&) = delete;
  TextLine& operator=(const TextLine&) = delete;

  // length characters (no NUL among them).
  void Text(const char* text, size_t length) {
    if (length <= size_t(end_ - out_)) {
      for (size_t i = 0; i < length; ++i) out_[i] = text[i];
      out_ += length;
      return;
    }
    Flush();
    TraceAppendText(text, length);
  }
  template <size_t N>
  void Text(const char (&text)[N]) {
    Text(text, N - 1);
  }
  // A NUL-terminated string ("%s").
  void String(const char* text) {
    if (text != nullptr) {
      size_t room = size_t(end_ - out_);
      size_t length = 0;
      while (length < room && text[length] != '\0') ++length;
      if (text[length] == '\0') {
        Text(text, length);
        return;
      }
    }
    Flush();
    TraceAppendString(text);
  }
  // Hexadecimal with zeros to at least `digits` digits (1 to 8).
  void Hex(uint32_t value, uint32_t digits, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char text[8];
    uint32_t count = 0;
    do {
      text[7 - count++] = set[value & 15];
      value >>= 4;
    } while (value != 0);
    while (count < digits && count < 8) text[7 - count++] = '0';
    Text(text + 8 - count, count);
  }
  // Decimal ("%u").
  void Decimal(uint32_t value) {
    char text[10];
    uint32_t count = 0;
    do {
      text[9 - count++] = char('0' + value % 10);
      value /= 10;
    } while (value != 0);
    Text(text + 10 - count, count);
  }
  // An address as "%p": upper-case, two digits per byte of a pointer.
  void Address(const void* address) {
    uintptr_t value = reinterpret_cast<uintptr_t>(address);
    char text[2 * sizeof(value)];
    for (size_t i = sizeof(text); i != 0; --i) {
      text[i - 1] = "0123456789ABCDEF"[value & 15];
      value >>= 4;
    }
    Text(text, sizeof(text));
  }

 private:
  // Commits what was written in place; the rest of the line, if any, goes
  // through the appends.
  void Flush() {
    if (start_ != nullptr)
      TraceTextCommit(size_t(out_ - start_));
    start_ = out_ = end_ = nullptr;
  }

  char* start_;
  char* out_;
  char* end_;
};

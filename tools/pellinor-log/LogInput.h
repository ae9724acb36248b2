// One log file's bytes as the reader takes them: 8-bit text as the driver
// wrote it. A copy that a Windows editor saved as UTF-16 (or UTF-8 with a
// byte-order mark) is turned back into the driver's bytes; a compressed
// file, binary data and text that is no trace log are refused with a
// message saying what the file is.
#pragma once

#include "tools/pellinor-log/MappedLog.h"

#include <iosfwd>
#include <string>
#include <string_view>

namespace pellinorlog {

class LogInput {
 public:
  LogInput() = default;
  LogInput(const LogInput&) = delete;
  LogInput& operator=(const LogInput&) = delete;

  // Reads the file `name` ("-" reads `in`). False, with *error set to a
  // sentence naming the file, when it cannot be read or is not a log.
  bool Open(const std::string& name, std::istream& in, std::string* error);

  std::string_view Text() const { return text_; }
  // What was done to the bytes ("UTF-16LE", "gzip"), empty when nothing.
  const std::string& Converted() const { return converted_; }
  // Zero bytes that ended the file and were left out (a file the system
  // had extended when it stopped, before the driver's text reached it).
  size_t TrailingZeros() const { return trailingZeros_; }

  // Whether `text` holds at least one line the driver writes, or is empty:
  // the first 64 KB decide when they hold one, the whole text otherwise.
  static bool LooksLikeLog(std::string_view text);

 private:
  bool Prepare(const std::string& name, std::string_view bytes, std::string* error);
  bool PrepareText(const std::string& name, std::string_view bytes, std::string* error);

  MappedLog mapped_;
  std::string stdin_;  // what standard input held
  std::string input_;  // a compressed file's text
  std::string owned_;  // the text turned back into the driver's bytes
  std::string_view text_;
  std::string converted_;
  size_t trailingZeros_ = 0;
};

}  // namespace pellinorlog

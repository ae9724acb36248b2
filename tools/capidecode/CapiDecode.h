// capidecode: CAPI messages given as hexadecimal, one per line or as a
// dump over several lines, decoded into the trace's own text.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace capidecode {

// Settings of the trace that capidecode stands for: TRACE_CAPI_MESSAGES,
// with MaxDataB3Bytes in the high half.
constexpr uint32_t kTraceCapiMessages = 0x0001;
constexpr unsigned kDefaultB3Bytes = 32;
constexpr unsigned kMaxB3Bytes = 32;

// Exit statuses.
constexpr int kOk = 0;
constexpr int kBadInput = 1;    // a line that is no hexadecimal, or an invalid message
constexpr int kUnreadable = 2;  // bad usage, or an input that cannot be read as text

// The text the trace prints for a written CAPI message of these bytes,
// captured whole: the message check, then the decoded message and its
// payload dump, or the error line and the raw dump. Lines end in "\n".
std::string DecodeMessage(const uint8_t* bytes, size_t size, unsigned b3Bytes);

// Why the trace's check calls these bytes, captured whole, an invalid
// message ("DataLength 4 with 2 payload bytes"); empty when it does not.
std::string InvalidReason(const uint8_t* bytes, size_t size);

enum class LineKind { kMessage, kSkip, kBad };

// One input line read as hexadecimal bytes.
struct HexLine {
  enum class Shape {
    kPlain,    // the bytes of one whole message
    kOffset,   // od -A x -t x1, xxd or hexdump -C: an offset, bytes, characters
    kLogDump,  // the trace's own dump: "0C 00 01 00 ... - ... ..   ........"
  };
  Shape shape = Shape::kPlain;
  uint64_t offset = 0;        // kOffset: the offset read as hexadecimal
  bool octalOffset = false;   // its digits are octal digits too (od's default)
  uint64_t offsetOctal = 0;   // and read so
  size_t offsetColumn = 0;    // 1-based
  bool full = false;          // kLogDump: all 16 bytes of the line are there
  std::vector<uint8_t> bytes;
};

// A message line (bytes filled, possibly none for a dump's closing offset),
// a line to skip (blank, or a comment starting with '#'), or a bad line
// (reason filled, starting with its column).
LineKind ParseLine(const std::string& line, HexLine* parsed, std::string* reason);

// The whole program: options, files (or standard input), output. Returns
// the exit status.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

}  // namespace capidecode

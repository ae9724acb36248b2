// capidecode: CAPI messages given as hexadecimal, one per line, decoded
// into the trace's own text.
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

// The text the trace prints for a written CAPI message of these bytes,
// captured whole: the message check, then the decoded message and its
// payload dump, or the error line and the raw dump. Lines end in "\n".
std::string DecodeMessage(const uint8_t* bytes, size_t size, unsigned b3Bytes);

enum class LineKind { kMessage, kSkip, kBad };

// One input line: a message (bytes filled), a line to skip (blank, or a
// comment starting with '#'), or a bad line (reason filled).
LineKind ParseLine(const std::string& line, std::vector<uint8_t>* bytes, std::string* reason);

// The whole program: options, files (or standard input), output. Returns
// the exit status: 0, 1 when a line or file was bad, 2 for bad options.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

}  // namespace capidecode

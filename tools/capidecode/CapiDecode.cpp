#include "tools/capidecode/CapiDecode.h"

#include <fstream>
#include <istream>
#include <ostream>

#include "capi/TraceText.h"
#include "tools/common/Digits.h"
#include "trace/CapiMessageCheck.h"

namespace capidecode {
namespace {

using pellinortools::HexDigit;

const char kUsage[] =
    "usage: capidecode [--b3bytes N] [--crlf] [FILE...]\n"
    "Decodes CAPI 2.0 messages, one per line as hexadecimal bytes, into the\n"
    "trace's text. Reads standard input when no FILE is given (or for -).\n"
    "  --b3bytes N  dump at most N (0 to 32, default 32) bytes of DATA_B3 payload\n"
    "  --crlf       end lines with CR LF instead of LF\n";

// The sink collects the texts of one message; the trace writes them to the
// log file one after another, and so does capidecode.
std::string* collected = nullptr;

void Collect(const char* text, uint32_t /*kind*/, const void* /*message*/) {
  if (collected != nullptr)
    collected->append(text);
}

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == ':';
}

bool ParseB3Bytes(const std::string& text, unsigned* value) {
  if (text.empty() || text.size() > 2)
    return false;
  unsigned n = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    n = n * 10 + unsigned(c - '0');
  }
  if (n > kMaxB3Bytes)
    return false;
  *value = n;
  return true;
}

struct Options {
  unsigned b3Bytes = kDefaultB3Bytes;
  bool crlf = false;
  std::vector<std::string> files;
};

// Returns -1 to go on, or an exit status.
int ParseOptions(const std::vector<std::string>& args, Options* options, std::ostream& out,
                 std::ostream& err) {
  bool onlyFiles = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
      options->files.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (arg == "--crlf") {
      options->crlf = true;
    } else if (arg == "--b3bytes" || arg.rfind("--b3bytes=", 0) == 0) {
      std::string value;
      if (arg == "--b3bytes") {
        if (i + 1 == args.size()) {
          err << "capidecode: --b3bytes needs a number from 0 to 32\n" << kUsage;
          return 2;
        }
        value = args[++i];
      } else {
        value = arg.substr(sizeof("--b3bytes=") - 1);
      }
      if (!ParseB3Bytes(value, &options->b3Bytes)) {
        err << "capidecode: --b3bytes: not a number from 0 to 32: " << value << "\n" << kUsage;
        return 2;
      }
    } else if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return 0;
    } else {
      err << "capidecode: unknown option " << arg << "\n" << kUsage;
      return 2;
    }
  }
  return -1;
}

void Write(std::ostream& out, const std::string& text, bool crlf) {
  if (!crlf) {
    out << text;
    return;
  }
  for (char c : text) {
    if (c == '\n')
      out << '\r';
    out << c;
  }
}

// Decodes every line of one input; returns false if a line was bad.
bool DecodeStream(std::istream& in, const std::string& name, const Options& options,
                  std::ostream& out, std::ostream& err) {
  bool good = true;
  std::string line;
  std::vector<uint8_t> bytes;
  std::string reason;
  for (unsigned long number = 1; std::getline(in, line); ++number) {
    switch (ParseLine(line, &bytes, &reason)) {
      case LineKind::kSkip:
        break;
      case LineKind::kBad:
        err << "capidecode: " << name << ":" << number << ": " << reason << "\n";
        good = false;
        break;
      case LineKind::kMessage:
        Write(out, DecodeMessage(bytes.data(), bytes.size(), options.b3Bytes), options.crlf);
        break;
    }
  }
  return good;
}

}  // namespace

std::string DecodeMessage(const uint8_t* bytes, size_t size, unsigned b3Bytes) {
  static char buffer[kTraceTextSize];
  std::string text;
  collected = &text;
  TraceTextInit(buffer, sizeof(buffer), Collect);
  // The trace's available length is a 32-bit count; a line longer than
  // that cannot be a write anyway.
  uint32_t length = size > UINT32_MAX ? UINT32_MAX : uint32_t(size);
  if (b3Bytes > kMaxB3Bytes)
    b3Bytes = kMaxB3Bytes;
  checkCapiMessage(bytes, length, length, kTraceCapiMessages | uint32_t(b3Bytes) << 16);
  TraceTextInit(nullptr, 0, nullptr);
  collected = nullptr;
  return text;
}

LineKind ParseLine(const std::string& raw, std::vector<uint8_t>* bytes, std::string* reason) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\r')
    line.pop_back();  // a file with CR LF line ends
  size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#')
    return LineKind::kSkip;

  bytes->clear();
  for (size_t i = 0; i < line.size();) {
    char c = line[i];
    if (IsSeparator(c)) {
      ++i;
      continue;
    }
    int high = HexDigit(c);
    if (high < 0) {
      *reason = "column " + std::to_string(i + 1) + ": not a hexadecimal digit: '" +
                std::string(1, c) + "'";
      return LineKind::kBad;
    }
    if (i + 1 == line.size() || IsSeparator(line[i + 1])) {
      *reason = "column " + std::to_string(i + 1) + ": a byte needs two hexadecimal digits";
      return LineKind::kBad;
    }
    int low = HexDigit(line[i + 1]);
    if (low < 0) {
      *reason = "column " + std::to_string(i + 2) + ": not a hexadecimal digit: '" +
                std::string(1, line[i + 1]) + "'";
      return LineKind::kBad;
    }
    bytes->push_back(uint8_t(high << 4 | low));
    i += 2;
  }
  if (bytes->empty()) {
    *reason = "no bytes";
    return LineKind::kBad;
  }
  return LineKind::kMessage;
}

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
  Options options;
  int status = ParseOptions(args, &options, out, err);
  if (status >= 0)
    return status;

  bool good = true;
  if (options.files.empty())
    options.files.push_back("-");
  for (const std::string& file : options.files) {
    if (file == "-") {
      good = DecodeStream(in, "<stdin>", options, out, err) && good;
      continue;
    }
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
      err << "capidecode: " << file << ": cannot open\n";
      good = false;
      continue;
    }
    good = DecodeStream(stream, file, options, out, err) && good;
  }
  out.flush();
  return good ? 0 : 1;
}

}  // namespace capidecode

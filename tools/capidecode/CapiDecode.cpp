#include "tools/capidecode/CapiDecode.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "capi/CapiMessage.h"
#include "capi/TraceText.h"
#include "tools/common/Digits.h"
#include "tools/common/ProgramVersion.h"
#include "trace/CapiMessageCheck.h"

namespace capidecode {
namespace {

using pellinortools::HexDigit;

const char kUsage[] =
    "usage: capidecode [--b3bytes N] [--crlf] [FILE...]\n"
    "Decodes CAPI 2.0 messages given as hexadecimal bytes, one message a line or\n"
    "as a dump (od -A x -t x1, xxd, hexdump -C, the trace's own dump lines), into\n"
    "the trace's text. Reads standard input when no FILE is given (or for -).\n"
    "  --b3bytes N  dump at most N (0 to 32, default 32) bytes of DATA_B3 payload\n"
    "  --crlf       end lines with CR LF instead of LF\n"
    "  --version    print the version and build of capidecode\n"
    "Exit status: 0; 1 for a bad line or an invalid message; 2 for bad usage or\n"
    "an input that cannot be read.\n";

// The sink collects the texts of one message; the trace writes them to the
// log file one after another, and so does capidecode.
std::string* collected = nullptr;

void Collect(const char* text, uint32_t /*kind*/, const void* /*message*/) {
  if (collected != nullptr)
    collected->append(text);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Between the bytes of a message line: blanks, commas, colons, and the
// braces of a C array.
bool IsSeparator(char c) {
  return IsBlank(c) || c == ',' || c == ':' || c == '{' || c == '}';
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
          return kUnreadable;
        }
        value = args[++i];
      } else {
        value = arg.substr(sizeof("--b3bytes=") - 1);
      }
      if (!ParseB3Bytes(value, &options->b3Bytes)) {
        err << "capidecode: --b3bytes: not a number from 0 to 32: " << value << "\n" << kUsage;
        return kUnreadable;
      }
    } else if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return kOk;
    } else if (arg == "--version") {
      out << pellinortools::ProgramVersion("capidecode");
      return kOk;
    } else {
      err << "capidecode: unknown option " << arg << "\n" << kUsage;
      return kUnreadable;
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

std::string Column(size_t index) {
  return "column " + std::to_string(index + 1) + ": ";
}

std::string NotHex(size_t index, char c) {
  if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F) {
    char code[8];
    std::snprintf(code, sizeof(code), "0x%02X", uint8_t(c));
    return Column(index) + "not a hexadecimal digit: byte " + code;
  }
  return Column(index) + "not a hexadecimal digit: '" + std::string(1, c) + "'";
}

// The trace's dump line: 16 cells of two hex digits or "..", "- " after the
// eighth, then two blanks and the characters (trailing blanks may be gone).
bool ParseLogDump(const std::string& line, HexLine* parsed) {
  constexpr size_t kHexPart = 50;
  constexpr size_t kLineLength = 68;
  if (line.size() < kHexPart - 1 || line.size() > kLineLength || line[24] != '-' ||
      line[25] != ' ')
    return false;
  std::string l = line;
  l.resize(kLineLength, ' ');
  if (l[kHexPart] != ' ' || l[kHexPart + 1] != ' ')
    return false;
  std::vector<uint8_t> bytes;
  bool ended = false;
  for (size_t i = 0; i < 16; ++i) {
    size_t at = i * 3 + (i >= 8 ? 2 : 0);
    char a = l[at];
    char b = l[at + 1];
    if (l[at + 2] != ' ')
      return false;
    if (a == '.' && b == '.') {
      ended = true;
      continue;
    }
    if (HexDigit(a) < 0 || HexDigit(b) < 0 || ended)
      return false;
    bytes.push_back(uint8_t(HexDigit(a) << 4 | HexDigit(b)));
  }
  if (bytes.empty())
    return false;
  parsed->shape = HexLine::Shape::kLogDump;
  parsed->full = bytes.size() == 16;
  parsed->bytes = std::move(bytes);
  return true;
}

// Bytes from `at` to `end`. Runs of an even number of digits are bytes in
// order ("0c00" is 0C 00, as xxd groups them); a run may carry a 0x prefix
// when `prefixes` is set. `pairs` allows two digits a byte only.
bool ParseBytes(const std::string& line, size_t at, size_t end, bool separators, bool prefixes,
                bool pairs, std::vector<uint8_t>* bytes, std::string* reason) {
  auto separator = [&](char c) { return separators ? IsSeparator(c) : IsBlank(c); };
  size_t i = at;
  while (i < end) {
    if (separator(line[i])) {
      ++i;
      continue;
    }
    if (prefixes && line[i] == '0' && i + 2 < end && (line[i + 1] == 'x' || line[i + 1] == 'X') &&
        HexDigit(line[i + 2]) >= 0)
      i += 2;
    size_t j = i;
    while (j < end && HexDigit(line[j]) >= 0) ++j;
    if (j == i) {
      *reason = NotHex(i, line[i]);
      return false;
    }
    if (j < end && !separator(line[j])) {
      *reason = NotHex(j, line[j]);
      return false;
    }
    if ((j - i) % 2 != 0) {
      *reason = Column(j - 1) + "a byte needs two hexadecimal digits";
      return false;
    }
    if (pairs && j - i != 2) {
      *reason = Column(i) +
                (j - i == 4 ? "groups of four digits after an od or hexdump offset are 16-bit "
                              "words in the machine's byte order; dump single bytes "
                              "(od -A x -t x1, hexdump -C or xxd)"
                            : "a byte needs two hexadecimal digits, one byte a group");
      return false;
    }
    for (; i < j; i += 2) bytes->push_back(uint8_t(HexDigit(line[i]) << 4 | HexDigit(line[i + 1])));
  }
  return true;
}

size_t CommentAt(const std::string& line, size_t at, size_t end) {
  size_t hash = line.find('#', at);
  return hash < end ? hash : end;
}

// A dump with offsets: od -A x -t x1 ("000010 01 02"), od's octal offsets
// ("0000020 01 02"), xxd ("00000010: 0102 0304  .."), hexdump -C
// ("00000010  01 02 ...  01 02  |..|"), od -t x1z ("... >..<").
bool ParseOffsetLine(const std::string& line, size_t first, HexLine* parsed, LineKind* kind,
                     std::string* reason) {
  size_t digits = 0;
  while (first + digits < line.size() && HexDigit(line[first + digits]) >= 0) ++digits;
  size_t after = first + digits;
  bool xxd = after < line.size() && line[after] == ':' && digits >= 4;
  if (!xxd && (digits < 6 || (after < line.size() && !IsBlank(line[after]))))
    return false;
  // The character column, which may hold anything.
  size_t end = line.find("  |", after);
  if (end == std::string::npos)
    end = line.find("  >", after);
  if (end == std::string::npos && xxd)
    end = line.find("  ", after + 1);
  if (end == std::string::npos)
    end = line.size();
  end = CommentAt(line, after, end);
  if (!xxd) {
    // od and hexdump -C put bytes of two digits after the offset (words of
    // four when told to dump words); other groups make a line of plain
    // bytes whose first run is long.
    bool pairs = true;
    bool words = true;
    for (size_t i = after; i < end;) {
      if (IsBlank(line[i])) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < end && HexDigit(line[j]) >= 0) ++j;
      bool group = j == end || IsBlank(line[j]);
      pairs = pairs && group && j - i == 2;
      words = words && group && j - i == 4;
      while (j < end && !IsBlank(line[j])) ++j;
      i = j;
    }
    if (!pairs && !words)
      return false;
  }
  if (digits > 16) {
    *reason = Column(first) + "an offset of more than 16 digits";
    *kind = LineKind::kBad;
    return true;
  }
  parsed->shape = HexLine::Shape::kOffset;
  parsed->offsetColumn = first + 1;
  parsed->octalOffset = true;
  for (size_t i = first; i < after; ++i) {
    int d = HexDigit(line[i]);
    parsed->offset = parsed->offset << 4 | uint64_t(d);
    parsed->octalOffset = parsed->octalOffset && d < 8;
    parsed->offsetOctal = parsed->offsetOctal << 3 | uint64_t(d & 7);
  }
  size_t at = after + (xxd ? 1 : 0);
  *kind = ParseBytes(line, at, end, false, false, !xxd, &parsed->bytes, reason) ? LineKind::kMessage
                                                                                 : LineKind::kBad;
  return true;
}

// Joins the lines of a dump into messages and decodes each as it ends.
class Decoder {
 public:
  Decoder(const std::string& name, const Options& options, std::ostream& out, std::ostream& err)
      : name_(name), options_(options), out_(out), err_(err) {}
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  void Line(const std::string& line, unsigned long number) {
    HexLine parsed;
    std::string reason;
    switch (ParseLine(line, &parsed, &reason)) {
      case LineKind::kSkip:
        if (line.find_first_not_of(" \t\r") == std::string::npos && shape_ == HexLine::Shape::kLogDump)
          Close();
        return;
      case LineKind::kBad:
        Close();
        Problem(number, reason);
        broken_ = true;  // the rest of a dump that went wrong says nothing new
        return;
      case LineKind::kMessage:
        break;
    }
    if (parsed.shape != HexLine::Shape::kOffset || parsed.offset == 0)
      broken_ = false;
    switch (parsed.shape) {
      case HexLine::Shape::kPlain:
        Close();
        Start(parsed, number);
        Close();
        return;
      case HexLine::Shape::kLogDump:
        if (!open_ || shape_ != HexLine::Shape::kLogDump || !more_) {
          Close();
          Start(parsed, number);
        } else {
          bytes_.insert(bytes_.end(), parsed.bytes.begin(), parsed.bytes.end());
        }
        // A dump of a message goes on while its lines are full and its total
        // length is not reached.
        more_ = parsed.full && (bytes_.size() < 2 || bytes_.size() < ReadWord(bytes_.data()));
        if (!more_)
          Close();
        return;
      case HexLine::Shape::kOffset: {
        bool follows = open_ && shape_ == HexLine::Shape::kOffset &&
                       (parsed.offset == bytes_.size() ||
                        (parsed.octalOffset && parsed.offsetOctal == bytes_.size()));
        if (follows) {
          bytes_.insert(bytes_.end(), parsed.bytes.begin(), parsed.bytes.end());
          if (parsed.bytes.empty())
            Close();  // od's closing offset
          return;
        }
        size_t before = open_ && shape_ == HexLine::Shape::kOffset ? bytes_.size() : 0;
        Close();
        if (parsed.offset != 0 && broken_)
          return;
        if (parsed.offset != 0) {
          size_t at = parsed.offsetColumn - 1;
          size_t digits = line.find_first_not_of("0123456789abcdefABCDEF", at);
          std::string offset = line.substr(at, digits == std::string::npos ? digits : digits - at);
          Problem(number, Column(at) + "offset " + offset +
                              (before == 0 ? " does not start a dump (offset 0 does)"
                                           : " does not follow the " + std::to_string(before) +
                                                 " bytes before it"));
          broken_ = true;
          return;
        }
        if (!parsed.bytes.empty())
          Start(parsed, number);
        return;
      }
    }
  }

  void Finish() { Close(); }
  int Status() const { return status_; }

 private:
  void Start(const HexLine& parsed, unsigned long number) {
    open_ = true;
    shape_ = parsed.shape;
    bytes_ = parsed.bytes;
    line_ = number;
    more_ = false;
  }

  void Close() {
    if (!open_)
      return;
    open_ = false;
    shape_ = HexLine::Shape::kPlain;
    Write(out_, DecodeMessage(bytes_.data(), bytes_.size(), options_.b3Bytes), options_.crlf);
    std::string why = InvalidReason(bytes_.data(), bytes_.size());
    if (!why.empty())
      Problem(line_, "invalid CAPI message: " + why);
    bytes_.clear();
  }

  void Problem(unsigned long number, const std::string& reason) {
    err_ << "capidecode: " << name_ << ":" << number << ": " << reason << "\n";
    if (status_ < kBadInput)
      status_ = kBadInput;
  }

  const std::string& name_;
  const Options& options_;
  std::ostream& out_;
  std::ostream& err_;
  bool open_ = false;
  bool more_ = false;
  bool broken_ = false;
  HexLine::Shape shape_ = HexLine::Shape::kPlain;
  std::vector<uint8_t> bytes_;
  unsigned long line_ = 0;
  int status_ = kOk;
};

// Text as a Windows editor may have saved it: UTF-8 with a byte-order mark,
// or UTF-16 (with a mark, or told by its zero bytes). Hex input is ASCII, so
// any other character becomes '?', which the line parser then refuses with
// its place. False when the bytes are no text at all.
bool ToText(std::string* text, std::string* reason) {
  const std::string& t = *text;
  if (t.size() >= 3 && t.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text->erase(0, 3);
  } else {
    bool le = t.size() >= 2 && t.compare(0, 2, "\xFF\xFE") == 0;
    bool be = t.size() >= 2 && t.compare(0, 2, "\xFE\xFF") == 0;
    size_t skip = le || be ? 2 : 0;
    if (!le && !be && t.size() >= 4 && t[0] != 0 && t[1] == 0 && t[3] == 0)
      le = true;
    if (!le && !be && t.size() >= 4 && t[0] == 0 && t[1] != 0 && t[2] == 0)
      be = true;
    if (le || be) {
      std::string narrow;
      for (size_t i = skip; i + 1 < t.size(); i += 2) {
        unsigned unit = le ? uint8_t(t[i]) | uint8_t(t[i + 1]) << 8
                           : uint8_t(t[i]) << 8 | uint8_t(t[i + 1]);
        narrow.push_back(unit != 0 && unit < 0x80 ? char(unit) : unit == 0 ? '\0' : '?');
      }
      text->swap(narrow);
    }
  }
  size_t nul = text->find('\0');
  if (nul != std::string::npos) {
    *reason = "binary data, not text (a zero byte at offset " + std::to_string(nul) + ")";
    return false;
  }
  return true;
}

int DecodeText(std::string text, const std::string& name, const Options& options,
               std::ostream& out, std::ostream& err) {
  std::string reason;
  if (!ToText(&text, &reason)) {
    err << "capidecode: " << name << ": " << reason << "\n";
    return kUnreadable;
  }
  Decoder decoder(name, options, out, err);
  std::istringstream lines(text);
  std::string line;
  for (unsigned long number = 1; std::getline(lines, line); ++number) decoder.Line(line, number);
  decoder.Finish();
  return decoder.Status();
}

// The whole file, or why it cannot be read.
bool ReadFile(const std::string& path, std::string* text, std::string* reason) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *reason = "is a directory, not a file";
    return false;
  }
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    *reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  if (stream.bad()) {
    *reason = "cannot read";
    return false;
  }
  return true;
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

std::string InvalidReason(const uint8_t* bytes, size_t size) {
  // The check of checkCapiMessage for a message captured whole, in words.
  if (size < kCapiMinimumMessage)
    return std::to_string(size) + (size == 1 ? " byte" : " bytes") +
           ", less than the 12-byte message header";
  uint32_t length = ReadWord(bytes + kCapiMessageLength);
  if (size < length)
    return "total length " + std::to_string(length) + " with " + std::to_string(size) + " bytes";
  uint8_t command = bytes[kCapiMessageCommand];
  uint8_t subcommand = bytes[kCapiMessageSubcommand];
  if (command == kCapiCommandDataB3 &&
      (subcommand == kCapiSubcommandReq || subcommand == kCapiSubcommandInd) &&
      size >= kCapiMinimumDataB3 && length >= kCapiMinimumDataB3) {
    uint32_t data = ReadWord(bytes + kCapiDataB3Length);
    if (size < size_t(length) + data)
      return "DataLength " + std::to_string(data) + " with " + std::to_string(size - length) +
             " payload bytes";
  }
  return std::string();
}

LineKind ParseLine(const std::string& raw, HexLine* parsed, std::string* reason) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\r')
    line.pop_back();  // a file with CR LF line ends
  *parsed = HexLine();
  size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#')
    return LineKind::kSkip;
  if (ParseLogDump(line, parsed))
    return LineKind::kMessage;
  LineKind kind = LineKind::kMessage;
  if (ParseOffsetLine(line, first, parsed, &kind, reason))
    return kind;
  size_t end = CommentAt(line, first, line.size());
  if (!ParseBytes(line, first, end, true, true, false, &parsed->bytes, reason))
    return LineKind::kBad;
  if (parsed->bytes.empty()) {
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

  status = kOk;
  if (options.files.empty())
    options.files.push_back("-");
  for (const std::string& file : options.files) {
    std::string text;
    std::string name = file == "-" ? "<stdin>" : file;
    if (file == "-") {
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
      std::string reason;
      if (!ReadFile(file, &text, &reason)) {
        err << "capidecode: " << file << ": " << reason << "\n";
        status = kUnreadable;
        continue;
      }
    }
    int fileStatus = DecodeText(std::move(text), name, options, out, err);
    if (fileStatus > status)
      status = fileStatus;
  }
  out.flush();
  return status;
}

}  // namespace capidecode

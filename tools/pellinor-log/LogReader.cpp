#include "tools/pellinor-log/LogReader.h"

#include "capi/CapiTables.h"
#include "tools/common/Digits.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace pellinorlog {
namespace {

using pellinortools::DecimalDigits;
using pellinortools::HexDigit;
using std::string_view;

constexpr string_view kRule80 =
    "--------------------------------------------------------------------------------";
constexpr string_view kRule49 = "-------------------------------------------------";
// In place of a user-mode caller's message that the driver did not copy.
constexpr string_view kMessageUnreadable = "  Message: not readable in the caller's memory";
constexpr string_view kMessageNotReadHere =
    "  Message: not read here (completed outside the requesting thread)";
static_assert(kRule80.size() == 80 && kRule49.size() == 49,
              "the rules of the start and query blocks");

// Where the decoder puts " = " on a parameter line: two blanks, the name
// padded to 31 (depth 1), or three blanks and 30 (depth 2).
constexpr size_t kParamEquals = 33;
constexpr size_t kParamValue = kParamEquals + 3;
// A hex dump line: 16 bytes, "- " after the eighth, two blanks, 16 characters.
constexpr size_t kHexLineLength = 68;

// Prefixes are literals: their length is known where they are compared, so
// the comparison compiles to a few instructions rather than a call.
template <size_t N>
bool StartsWith(string_view s, const char (&prefix)[N]) {
  return s.size() >= N - 1 && std::memcmp(s.data(), prefix, N - 1) == 0;
}

template <size_t N>
bool Eat(string_view& s, const char (&prefix)[N]) {
  if (!StartsWith(s, prefix))
    return false;
  s.remove_prefix(N - 1);
  return true;
}

void SkipBlanks(string_view& s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
}

bool Decimal(string_view& s, uint32_t* value) {
  size_t i = 0;
  uint64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i < 10) {
    v = v * 10 + uint32_t(s[i] - '0');
    ++i;
  }
  if (i == 0 || v > 0xFFFFFFFFu)
    return false;
  *value = uint32_t(v);
  s.remove_prefix(i);
  return true;
}

bool Hex(string_view& s, uint32_t* value) {
  size_t i = 0;
  uint32_t v = 0;
  while (i < s.size() && i < 8 && HexDigit(s[i]) >= 0) {
    v = v << 4 | uint32_t(HexDigit(s[i]));
    ++i;
  }
  if (i == 0)
    return false;
  *value = v;
  s.remove_prefix(i);
  return true;
}

// Up to (not including) the stop character; false when it does not occur.
bool Token(string_view& s, char stop, string_view* token) {
  size_t at = s.find(stop);
  if (at == string_view::npos || at == 0)
    return false;
  *token = s.substr(0, at);
  s.remove_prefix(at);
  return true;
}

bool IsHexLine(string_view line, uint32_t* bytes) {
  if (line.size() != kHexLineLength || line[24] != '-' || line[25] != ' ' || line[50] != ' ' ||
      line[51] != ' ')
    return false;
  uint32_t count = 0;
  for (uint32_t i = 0; i < 16; ++i) {
    size_t at = i * 3 + (i >= 8 ? 2 : 0);
    char a = line[at];
    char b = line[at + 1];
    if (line[at + 2] != ' ')
      return false;
    if (a == '.' && b == '.')
      continue;
    if (HexDigit(a) < 0 || HexDigit(b) < 0 || count != i)
      return false;
    ++count;
  }
  *bytes = count;
  return true;
}

const CapiMessage* MessageByName(string_view name) {
  static const std::unordered_map<string_view, const CapiMessage*> names = [] {
    std::unordered_map<string_view, const CapiMessage*> map;
    for (const CapiMessage& m : CapiMessageTable)
      if (m.listed)
        map.emplace(m.name, &m);
    return map;
  }();
  auto it = names.find(name);
  return it != names.end() ? it->second : nullptr;
}

// "CONNECT_REQ                   40 Byte  ApplID: 1   MsgNr: 7"
bool ParseMessageHeader(string_view line, MessageView* m) {
  if (line.size() < 40 || line[0] < 'A' || line[0] > 'Z')
    return false;
  string_view s = line;
  string_view name;
  if (!Token(s, ' ', &name))
    return false;
  SkipBlanks(s);
  uint32_t length = 0;
  uint32_t appl = 0;
  uint32_t number = 0;
  if (!Decimal(s, &length) || !Eat(s, " Byte  ApplID:"))
    return false;
  SkipBlanks(s);
  if (!Decimal(s, &appl) || !Eat(s, "   MsgNr: ") || !Decimal(s, &number) || !s.empty())
    return false;
  // Busy logs repeat a handful of messages: a small cache by name spares
  // most lookups in the table of all names.
  static struct {
    string_view name;
    const CapiMessage* entry;
  } recent[16];
  size_t slot =
      (name.size() * 7 + uint8_t(name[name.size() - 1]) + uint8_t(name[name.size() / 2])) & 15;
  if (recent[slot].entry != nullptr && recent[slot].name == name) {
    m->entry = recent[slot].entry;
  } else {
    m->entry = MessageByName(name);
    if (m->entry != nullptr)
      recent[slot] = {m->entry->name, m->entry};
  }
  if (m->entry != nullptr) {
    m->command = m->entry->command;
    m->subcommand = m->entry->subcommand;
  } else {
    // "UNKNOWN_06_81": a message the decoder's tables do not list.
    string_view rest = name;
    uint32_t command = 0;
    uint32_t subcommand = 0;
    if (!Eat(rest, "UNKNOWN_") || rest.size() != 5 || !Hex(rest, &command) || !Eat(rest, "_") ||
        !Hex(rest, &subcommand) || !rest.empty() || command > 0xFF || subcommand > 0xFF)
      return false;
    m->command = uint8_t(command);
    m->subcommand = uint8_t(subcommand);
  }
  m->name = name;
  m->length = length;
  m->appl = appl;
  m->number = number;
  return true;
}

// "(MJ_WRITE (UserMode, FileObj 81F2C3A8, Irp 81E0A008))", a request's with
// caller ids "(MJ_WRITE (UserMode, FileObj 81F2C3A8, Irp 81E0A008), Process
// 1004, Thread 1008)"
bool ParseRequestTail(string_view s, LogRecord* r, bool request) {
  if (!Eat(s, "(") || !Token(s, ' ', &r->major) || !Eat(s, " ("))
    return false;
  if (Eat(s, "UserMode"))
    r->userMode = true;
  else if (Eat(s, "KernelMode"))
    r->userMode = false;
  else
    return false;
  if (!Eat(s, ", FileObj ") || !Token(s, ',', &r->fileObject) || !Eat(s, ", Irp ") ||
      !Token(s, ')', &r->irp))
    return false;
  if (Eat(s, "))"))
    return s.empty();
  if (!request || !Eat(s, "), Process ") || !Decimal(s, &r->callerProcess) ||
      !Eat(s, ", Thread ") || !Decimal(s, &r->callerThread) || !Eat(s, ")") || !s.empty())
    return false;
  r->hasCaller = true;
  return true;
}

bool ParseRequest(string_view line, LogRecord* r) {
  if (!StartsWith(line, "CAPI_"))
    return false;
  string_view s = line;
  if (!Token(s, ' ', &r->function))
    return false;
  SkipBlanks(s);
  return ParseRequestTail(s, r, true);
}

bool ParseCompletion(string_view line, LogRecord* r) {
  string_view s = line;
  if (!Eat(s, "COMPLETION ") || !Token(s, ' ', &r->function) || !Eat(s, " "))
    return false;
  return ParseRequestTail(s, r, false);
}

// "   CAPIError 0x1004 (0xC0000023: STATUS_BUFFER_TOO_SMALL, Information: 0 (0x0))"
// "    0x0000 (0x00000000: STATUS_SUCCESS, Information: 0 (0x0))"
bool ParseStatus(string_view line, LogRecord* r) {
  string_view s = line;
  uint32_t error = 0;
  uint32_t status = 0;
  uint32_t info = 0;
  uint32_t infoHex = 0;
  if (!Eat(s, "   CAPIError 0x") && !Eat(s, "    0x"))
    return false;
  if (!Hex(s, &error) || error > 0xFFFF || !Eat(s, " (0x") || !Hex(s, &status) || !Eat(s, ": "))
    return false;
  size_t at = s.find(", Information: ");
  if (at == string_view::npos)
    return false;
  r->statusName = s.substr(0, at);
  s.remove_prefix(at + 15);
  if (!Decimal(s, &info) || !Eat(s, " (0x") || !Hex(s, &infoHex) || !Eat(s, "))") || !s.empty())
    return false;
  r->hasStatus = true;
  r->capiError = uint16_t(error);
  r->status = status;
  r->information = info;
  return true;
}

bool ParseNotice(string_view line, LogRecord* r) {
  string_view s = line;
  if (!Eat(s, "*** ") || s.size() < 4 || s.substr(s.size() - 4) != " ***")
    return false;
  s.remove_suffix(4);
  string_view body = s;
  uint32_t lost = 0;
  if (Decimal(body, &lost) && body == " trace records lost") {
    r->text = TextKind::kRecordsLost;
    r->lost = lost;
    return true;
  }
  if (Eat(s, "log continued: ")) {
    // "part N of the log begun STAMP; older parts are kept in NAMES"
    size_t end = s.find("; ");
    string_view rest = s.substr(0, end);
    uint32_t part = 0;
    if (end == string_view::npos || !Eat(rest, "part ") || !Decimal(rest, &part) || part < 2 ||
        !Eat(rest, " of the log begun "))
      return false;
    r->text = TextKind::kContinued;
    r->part = part;
    r->begun.valid = ParseStamp(rest, &r->begun.ms);
    r->note = s.substr(0, end);
    return true;
  }
  if (body == "the start of the session, repeated") {
    r->text = TextKind::kRepeatStart;
    return true;
  }
  if (body == "end of the repeated start") {
    r->text = TextKind::kRepeatEnd;
    return true;
  }
  if (Eat(s, "older generation not kept, could not rename: ")) {
    r->text = TextKind::kNotKept;
    r->note = s;
    return true;
  }
  if (Eat(s, "log continued from ")) {
    r->text = TextKind::kContinued;
    r->note = s;
    return true;
  }
  if (Eat(s, "log limit reached, could not rename: ")) {
    r->text = TextKind::kLimitReached;
    r->note = s;
    return true;
  }
  return false;
}

bool YesNo(string_view s, bool* value) {
  if (s == "YES") {
    *value = true;
    return true;
  }
  if (s == "NO") {
    *value = false;
    return true;
  }
  return false;
}

// The parameter names of the decoder's table with their lengths, so that a
// line's name compares without measuring the table's string each time.
struct ParamNames {
  string_view name[kCapiParamCount];
  constexpr ParamNames() : name() {
    for (size_t i = 0; i < kCapiParamCount; ++i)
      if (CapiParamTable[i].name != nullptr)
        name[i] = CapiParamTable[i].name;
  }
};
constexpr ParamNames kParamNames;

// Walks a parameter sequence the way the decoder does: every code with the
// depth at which the decoder prints it, groups entered.
struct SequenceWalk {
  const uint8_t* sequence;
  uint32_t step;
  uint32_t depth;

  uint32_t Type() const { return CapiParamLookup(sequence[step]).type; }
  bool AtEnd() const { return Type() == ParamEnd && depth == 1; }
  // Past the code at step, which was printed as its own line (a group's
  // line enters the group).
  void Next(bool enterGroup) {
    if (enterGroup) {
      step += 1;
      depth = 2;
    } else {
      step += 1;
    }
    if (Type() == ParamEnd && depth == 2) {
      step += 1;
      depth = 1;
    }
  }
};

}  // namespace

namespace {

// "14:03:07.123 " of a 29-character stamp: milliseconds of the day.
bool StampClock(string_view line, int64_t* ms) {
  int hour = 0, minute = 0, second = 0, milli = 0;
  if (line[2] != ':' || line[5] != ':' || line[8] != '.' || line[12] != ' ' ||
      !DecimalDigits(line, 0, 2, &hour) || !DecimalDigits(line, 3, 2, &minute) ||
      !DecimalDigits(line, 6, 2, &second) || !DecimalDigits(line, 9, 3, &milli) || hour > 23 ||
      minute > 59 || second > 59)
    return false;
  *ms = ((hour * 60LL + minute) * 60 + second) * 1000 + milli;
  return true;
}

// "Sun, Jan 05 2003" of a stamp: days since 1970. The year has four digits,
// or five in a stamp one character longer. The weekday must be the date's:
// the driver cuts a year past 9999 to its first four digits, and a date
// that is not the one the weekday was printed for is refused rather than
// read as a time centuries off (so is a year before 1601, where system time
// begins).
enum class DateText { kDate, kNone, kInconsistent };

DateText StampDate(string_view line, int64_t* days) {
  int day = 0, year = 0;
  size_t yearDigits = line.size() - 25;
  if (line[16] != ',' || line[17] != ' ' || line[21] != ' ' || line[24] != ' ' ||
      !DecimalDigits(line, 22, 2, &day) || !DecimalDigits(line, 25, yearDigits, &year))
    return DateText::kNone;
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  int month = 0;
  for (int i = 0; i < 12 && month == 0; ++i)
    if (kMonths[3 * i] == line[18] && kMonths[3 * i + 1] == line[19] &&
        kMonths[3 * i + 2] == line[20])
      month = i + 1;
  int weekday = -1;
  for (int i = 0; i < 7 && weekday < 0; ++i)
    if (kDays[3 * i] == line[13] && kDays[3 * i + 1] == line[14] && kDays[3 * i + 2] == line[15])
      weekday = i;
  if (month == 0 || weekday < 0 || day < 1 || day > 31)
    return DateText::kNone;
  *days = DaysSince1970(year, month, day);
  // 1 January 1970 was a Thursday.
  int64_t actual = ((*days + 4) % 7 + 7) % 7;
  if (actual != weekday || year < 1601)
    return DateText::kInconsistent;
  return DateText::kDate;
}

}  // namespace

int64_t DaysSince1970(int year, int month, int day) {
  // Years counted from March, so that the leap day ends a year; 400-year
  // eras of 146097 days; 719468 days from 0000-03-01 to 1970-01-01.
  int y = year - (month <= 2 ? 1 : 0);
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return int64_t(era) * 146097 + doe - 719468;
}

bool ParseStamp(string_view line, int64_t* ms) {
  // "14:03:07.123 Sun, Jan 05 2003"
  int64_t clock = 0;
  int64_t days = 0;
  if ((line.size() != 29 && line.size() != 30) || !StampClock(line, &clock) ||
      StampDate(line, &days) != DateText::kDate)
    return false;
  *ms = days * 86400000 + clock;
  return true;
}

LogPart FindLogPart(string_view text) {
  LogPart found;
  // A part line is the file's first block; the first stamp comes with it.
  size_t pos = 0;
  for (int line = 0; line < 64 && pos < text.size(); ++line) {
    size_t nl = text.find('\n', pos);
    string_view content = text.substr(pos, nl == string_view::npos ? string_view::npos : nl - pos);
    if (!content.empty() && content.back() == '\r')
      content.remove_suffix(1);
    pos = nl == string_view::npos ? text.size() : nl + 1;
    int64_t ms = 0;
    if (!found.hasStamp && ParseStamp(content, &ms)) {
      found.hasStamp = true;
      found.firstStampMs = ms;
      continue;
    }
    LogRecord notice;
    if (ParseNotice(content, &notice) && notice.text == TextKind::kContinued && notice.part != 0 &&
        notice.begun.valid) {
      found.part = notice.part;
      found.begunMs = notice.begun.ms;
      break;
    }
    if (!content.empty() && found.hasStamp)
      break;
  }
  return found;
}

void LogReader::Read(string_view text) {
  BeginFile();
  streaming_ = false;
  text_ = text;
  ReadLines(text, false);
  EndText(text.size());
  stats_.bytes += text.size();
}

void LogReader::BeginFile() {
  stats_.files += 1;
  previousPart_ = filePart_;
  previousBegun_ = fileBegun_;
  filePart_ = 0;
  fileBegun_ = 0;
  skipRepeat_ = false;
  repeating_ = false;
  leaveOut_ = false;
  state_ = State::kIdle;
  open_ = false;
  closed_ = false;
  pendingEmpty_ = false;
  inMessage_ = false;
  lineNo_ = 0;
  base_ = 0;
}

size_t LogReader::ReadGrowing(string_view text, bool settled) {
  streaming_ = true;
  text_ = text;
  // Nothing is held where the last call left off: that is the first place
  // to come back to.
  safe_.offset = base_;
  safe_.line = lineNo_;
  safe_.stats = stats_;
  size_t end = ReadLines(text, true);
  if (settled && end == text.size()) {
    // The writer has paused after a whole line. It writes a record's text
    // at once, so the block that ends there is whole: handed on now, not
    // when the next record begins. Empty lines after it belong to the
    // next block and are read again with it.
    if (open_) {
      if (!closed_) {
        if (inMessage_)
          EndMessage();
        record_.end = base_ + end;
      }
      Flush();
    }
    open_ = false;
    if (pendingEmpty_) {
      MarkSafe(emptyBegin_, emptyLine_, lineNo_ - emptyLine_ + 1, lineNo_ - emptyLine_ + 1);
    } else {
      safe_.offset = base_ + end;
      safe_.line = lineNo_;
      safe_.stats = stats_;
    }
  }
  // Back to the last place before which everything was handed on: what
  // follows it is read again, with more lines, next time.
  stats_ = safe_.stats;
  lineNo_ = safe_.line;
  open_ = false;
  closed_ = false;
  pendingEmpty_ = false;
  inMessage_ = false;
  state_ = State::kIdle;
  size_t done = size_t(safe_.offset - base_);
  base_ = safe_.offset;
  stats_.bytes += done;
  streaming_ = false;
  return done;
}

void LogReader::EndFile(string_view text) {
  streaming_ = false;
  text_ = text;
  ReadLines(text, false);
  EndText(text.size());
  stats_.bytes += text.size();
  base_ += text.size();
}

size_t LogReader::ReadLines(string_view text, bool wholeLinesOnly) {
  size_t pos = 0;
  while (pos < text.size()) {
    const char* start = text.data() + pos;
    const void* nl = std::memchr(start, '\n', text.size() - pos);
    if (nl == nullptr && wholeLinesOnly)
      break;
    size_t lineEnd =
        nl != nullptr ? size_t(static_cast<const char*>(nl) - text.data()) : text.size();
    size_t next = nl != nullptr ? lineEnd + 1 : text.size();
    size_t contentEnd = lineEnd;
    if (contentEnd > pos && text[contentEnd - 1] == '\r')
      --contentEnd;
    lineNo_ += 1;
    stats_.lines += 1;
    if (nl == nullptr) {
      stats_.cutFiles += 1;
      if (open_ && !closed_)
        record_.truncated = true;
    }
    HandleLine(text.substr(pos, contentEnd - pos), base_ + pos);
    pos = next;
  }
  return pos;
}

void LogReader::EndText(size_t size) {
  uint64_t end = base_ + size;
  if (!open_ && pendingEmpty_) {
    // Nothing but empty lines since the last block (or in the whole file):
    // they make a block of their own, so that no byte goes missing.
    StartRecord(end);
    record_.text = TextKind::kNone;
    closed_ = true;
  }
  if (open_) {
    if (inMessage_ && !closed_)
      EndMessage();
    // Empty lines at the end of the file belong to its last block.
    record_.end = end;
    if (record_.lastLine < lineNo_)
      record_.lastLine = lineNo_;
    Flush();
  }
  pendingEmpty_ = false;
}

// What the state was just before line `firstLine` (at file offset
// `offset`): `lines` lines since, `empty` of them empty, were counted.
void LogReader::MarkSafe(uint64_t offset, uint32_t firstLine, uint32_t lines, uint32_t empty) {
  safe_.offset = offset;
  safe_.line = firstLine - 1;
  safe_.stats = stats_;
  safe_.stats.lines -= lines;
  safe_.stats.emptyLines -= empty;
}

void LogReader::HandleLine(string_view line, uint64_t at) {
  if (line.empty()) {
    stats_.emptyLines += 1;
    if (open_ && !closed_ && state_ == State::kText && TextTakesEmptyLine()) {
      textLines_ += 1;
      record_.lastLine = lineNo_;
      return;
    }
    if (open_ && !closed_)
      CloseRecord(at);
    if (!pendingEmpty_) {
      pendingEmpty_ = true;
      emptyBegin_ = at;
      emptyLine_ = lineNo_;
    }
    return;
  }

  int64_t ms = 0;
  bool consistent = true;
  if ((line.size() == 29 || line.size() == 30) && ParseStampCached(line, &ms, &consistent)) {
    StartRecord(at);
    record_.stamp.valid = consistent;
    record_.stamp.ms = ms;
    record_.stampText = line;
    state_ = State::kAfterStamp;
    if (!consistent) {
      // The block is read; its time is not.
      stats_.badStamps += 1;
      if (stats_.firstBadStamp.size() < ReadStats::kPlacesKept)
        stats_.firstBadStamp.push_back(LinePlace{stats_.files, lineNo_});
    }
    return;
  }

  if (!open_ || closed_) {
    StartRecord(at);
    FirstLine(line);
    return;
  }
  record_.lastLine = lineNo_;
  switch (state_) {
    case State::kAfterStamp:
      FirstLine(line);
      return;
    case State::kBody:
      BodyLine(line);
      return;
    case State::kText:
      if (!TextLine(line)) {
        // The block ended without an empty line; this line starts the next.
        CloseRecord(at);
        StartRecord(at);
        FirstLine(line);
      }
      return;
    case State::kIdle:
      FirstLine(line);
      return;
  }
}

// Time stamps of one day share their date part: it is read once.
bool LogReader::ParseStampCached(string_view line, int64_t* ms, bool* consistent) {
  int64_t clock = 0;
  if (!StampClock(line, &clock))
    return false;
  size_t dateLength = line.size() - 13;
  if (!stampKnown_ || stampDateLength_ != dateLength ||
      std::memcmp(stampDate_, line.data() + 13, dateLength) != 0) {
    DateText date = StampDate(line, &stampDays_);
    if (date == DateText::kNone)
      return false;
    stampConsistent_ = date == DateText::kDate;
    std::memcpy(stampDate_, line.data() + 13, dateLength);
    stampDateLength_ = dateLength;
    stampKnown_ = true;
  }
  *ms = stampDays_ * 86400000 + clock;
  *consistent = stampConsistent_;
  return true;
}

void LogReader::StartRecord(uint64_t at) {
  if (open_ && !closed_)
    CloseRecord(at);
  uint64_t begin = pendingEmpty_ ? emptyBegin_ : at;
  if (open_) {
    record_.end = begin;
    Flush();
  }
  if (streaming_) {
    // Everything before this block has been handed on.
    uint32_t first = pendingEmpty_ ? emptyLine_ : lineNo_;
    MarkSafe(begin, first, lineNo_ - first + 1, pendingEmpty_ ? lineNo_ - emptyLine_ : 0);
  }
  record_.Clear();
  record_.file = stats_.files - 1;
  record_.begin = begin;
  record_.firstLine = pendingEmpty_ ? emptyLine_ : lineNo_;
  record_.lastLine = lineNo_;
  record_.contentLine = lineNo_;
  pendingEmpty_ = false;
  open_ = true;
  closed_ = false;
  inMessage_ = false;
  paramsOver_ = false;
  textStage_ = 0;
  textLines_ = 0;
  afterDump_ = false;
  state_ = State::kIdle;
}

void LogReader::CloseRecord(uint64_t end) {
  if (inMessage_)
    EndMessage();
  record_.end = end;
  closed_ = true;
  state_ = State::kIdle;
}

void LogReader::Flush() {
  if (!open_)
    return;
  open_ = false;
  stats_.records += 1;
  if (Repeated()) {
    stats_.repeatedRecords += 1;
    return;
  }
  sink_.OnRecord(record_,
                 text_.substr(size_t(record_.begin - base_), size_t(record_.end - record_.begin)));
}

bool LogReader::Repeated() {
  const LogRecord& r = record_;
  if (r.text == TextKind::kContinued && r.part != 0) {
    if (filePart_ == 0) {
      filePart_ = r.part;
      fileBegun_ = r.begun.ms;
    }
    // The part before was read just now: the repeat adds nothing. Part 1
    // has no part line of its own.
    skipRepeat_ = stats_.files > 1 &&
                  (r.part == 2 ? previousPart_ == 0
                               : previousPart_ + 1 == r.part && previousBegun_ == r.begun.ms);
    return false;
  }
  if (r.text == TextKind::kRepeatStart) {
    repeating_ = true;
    leaveOut_ = skipRepeat_;
    skipRepeat_ = false;
    return leaveOut_;
  }
  if (!repeating_)
    return false;
  // The repeat holds texts only: anything else means its end notice is
  // missing, and the reading goes on from here.
  if (r.kind != RecordKind::kText) {
    repeating_ = false;
    return false;
  }
  if (r.text == TextKind::kRepeatEnd) {
    repeating_ = false;
    return leaveOut_;
  }
  record_.repeated = true;
  return leaveOut_;
}

void LogReader::Unknown() {
  stats_.unknownLines += 1;
  if (stats_.firstUnknown.size() < ReadStats::kPlacesKept)
    stats_.firstUnknown.push_back(LinePlace{stats_.files, lineNo_});
}

void LogReader::Mismatched(uint32_t line) {
  stats_.mismatchedMessages += 1;
  if (stats_.firstMismatched.size() < ReadStats::kPlacesKept)
    stats_.firstMismatched.push_back(LinePlace{stats_.files, line});
}

// The first line after the empty lines and the time stamp decides the kind.
void LogReader::FirstLine(string_view line) {
  record_.lastLine = lineNo_;
  if (ParseRequest(line, &record_)) {
    record_.kind = RecordKind::kRequest;
    state_ = State::kBody;
    return;
  }
  if (ParseCompletion(line, &record_)) {
    record_.kind = RecordKind::kCompletion;
    state_ = State::kBody;
    return;
  }
  MessageView header;
  if (ParseMessageHeader(line, &header)) {
    record_.kind = RecordKind::kMessages;
    state_ = State::kBody;
    BeginMessage(header);
    return;
  }
  if (line == "Error: invalid CAPI message!" || line == kMessageUnreadable ||
      line == kMessageNotReadHere) {
    record_.kind = RecordKind::kMessages;
    state_ = State::kBody;
    BodyLine(line);
    return;
  }
  record_.kind = RecordKind::kText;
  state_ = State::kText;
  textStage_ = 0;
  textLines_ = 1;
  string_view s = line;
  uint32_t n = 0;
  if (line == kRule80) {
    record_.text = TextKind::kOther;  // banner, start or stop: the next line tells
    textStage_ = 1;
  } else if (line == "=== Target Device Query ===") {
    record_.text = TextKind::kTargetQuery;
  } else if (Eat(s, "--- Controller Nr. ") && Decimal(s, &n) && s == " ---") {
    record_.text = TextKind::kController;
    record_.controllerNumber = int32_t(n);
  } else if (Eat(s, "Total Number of BChannels: ") && Decimal(s, &n) && s.empty()) {
    record_.text = TextKind::kTotal;
    record_.bChannels = int32_t(n);
  } else if (ParseNotice(line, &record_)) {
    // kind and fields set
  } else if (Eat(s, "Tracing CAPI device \"") && !s.empty() && s.back() == '"') {
    // A banner whose head is missing.
    record_.text = TextKind::kBanner;
    record_.target = s.substr(0, s.size() - 1);
    textStage_ = 4;
  } else {
    record_.text = TextKind::kOther;
    textStage_ = 100;
    Unknown();
  }
}

bool LogReader::TextTakesEmptyLine() const {
  // The banner's empty line before the owner's notice, and the one the
  // settings text leaves before the start block's closing rule.
  if (record_.text == TextKind::kBanner)
    return textStage_ == 2 && textLines_ < 6;
  if (record_.text == TextKind::kStartTracing)
    return textStage_ == 3;
  return false;
}

// A line of a text block; false when it cannot belong to this block.
bool LogReader::TextLine(string_view line) {
  textLines_ += 1;
  string_view s = line;
  uint32_t a = 0;
  if (StartsWith(line, "CAPI_") || StartsWith(line, "COMPLETION ")) {
    LogRecord probe;
    if (ParseRequest(line, &probe) || ParseCompletion(line, &probe))
      return false;  // a summary line right after a text: the empty lines between were lost
  }
  switch (record_.text) {
    case TextKind::kOther:
      if (textStage_ == 1) {
        if (StartsWith(line, "Pellinor CAPI 2.0 Kernel Trace Driver")) {
          record_.text = TextKind::kBanner;
          string_view build = line;
          size_t at = build.find("Build Date ");
          if (at != string_view::npos)
            record_.buildDate = build.substr(at + 11);
          textStage_ = 2;
          return true;
        }
        if (line == "Start Tracing") {
          record_.text = TextKind::kStartTracing;
          textStage_ = 2;
          return true;
        }
        if (line == "Stop Tracing") {
          record_.text = TextKind::kStopTracing;
          textStage_ = 2;
          return true;
        }
        if (line == "Traced Device Removed") {
          record_.text = TextKind::kDeviceRemoved;
          textStage_ = 2;
          return true;
        }
      }
      Unknown();
      return true;
    case TextKind::kBanner:
      if (textStage_ == 2) {
        // The owner's notice, free text, up to the closing rule.
        if (line == kRule80)
          textStage_ = 3;
        else if (textLines_ > 6)
          Unknown();
        return true;
      }
      if (textStage_ == 3 && Eat(s, "Tracing CAPI device \"") && !s.empty() && s.back() == '"') {
        record_.target = s.substr(0, s.size() - 1);
        textStage_ = 4;
        return true;
      }
      Unknown();
      return true;
    case TextKind::kStartTracing: {
      SettingsView& set = record_.settings;
      if (textStage_ == 2 && line == "Settings:") {
        set.valid = true;
        return true;
      }
      if (Eat(s, "  CAPI functions: "))
        set.valid &= YesNo(s, &set.functions);
      else if (Eat(s, "  CAPI messages:  "))
        set.valid &= YesNo(s, &set.messages);
      else if (Eat(s, "  MaxDataB3Bytes: "))
        set.valid &= Decimal(s, &set.b3Bytes) && s.empty();
      else if (Eat(s, "  CAPI ManuMessages:   "))
        set.valid &= YesNo(s, &set.manuMessages);
      else if (Eat(s, "  UserMode Appls: ")) {
        set.valid &= YesNo(s, &set.userMode);
        textStage_ = 3;  // an empty line and the closing rule follow
      } else if (textStage_ == 3 && Eat(s, "  Caller ids:     ")) {
        set.valid &= YesNo(s, &set.callerIds);
      } else if (textStage_ == 3 && Eat(s, "  User messages:  ")) {
        set.valid &= YesNo(s, &set.userMessages);
      } else if (line == kRule80 && textStage_ >= 2) {
        textStage_ = 4;
      } else {
        Unknown();
      }
      return true;
    }
    case TextKind::kStopTracing:
    case TextKind::kDeviceRemoved:
      if (line == kRule80 && textStage_ == 2) {
        textStage_ = 3;
        return true;
      }
      Unknown();
      return true;
    case TextKind::kTargetQuery:
      if (Eat(s, "Manufacturer:          ")) {
        record_.manufacturer = s;
        return true;
      }
      if (Eat(s, "Number of Controllers: ") && Decimal(s, &a) && s.empty()) {
        record_.controllers = int32_t(a);
        return true;
      }
      Unknown();
      return true;
    case TextKind::kController: {
      uint32_t bytes = 0;
      if (Eat(s, "Serial Number:              ")) {
        record_.serial = s;
      } else if (StartsWith(line, "CAPI Version:               ") ||
                 StartsWith(line, "Manufacturer Version:       ") ||
                 StartsWith(line, "Manufacturer Version (NRX): ")) {
      } else if (line == "Profile:") {
        afterDump_ = true;
      } else if (afterDump_ && IsHexLine(line, &bytes)) {
      } else if (line == "Error calling target device:") {
        record_.queryError = true;
      } else if (record_.queryError && Eat(s, "     (0x") && Hex(s, &a) && Eat(s, ": ") &&
                 !s.empty() && s.back() == ')') {
        record_.status = a;
        record_.statusName = s.substr(0, s.size() - 1);
      } else {
        Unknown();
      }
      return true;
    }
    case TextKind::kTotal:
      if (line == kRule49 && textStage_ == 0) {
        textStage_ = 1;
        return true;
      }
      Unknown();
      return true;
    default:
      Unknown();
      return true;
  }
}

void LogReader::BeginMessage(const MessageView& header) {
  if (inMessage_)
    EndMessage();
  record_.messages.push_back(header);
  MessageView& m = record_.messages.back();
  m.line = lineNo_;
  m.firstParam = uint32_t(record_.params.size());
  inMessage_ = true;
  paramsOver_ = false;
  afterDump_ = false;
  sequence_ = m.entry != nullptr ? m.entry->params : nullptr;
  step_ = 0;
  depth_ = 1;
}

void LogReader::EndMessage() {
  if (!inMessage_)
    return;
  inMessage_ = false;
  MessageView& m = record_.messages.back();
  m.paramCount = uint32_t(record_.params.size()) - m.firstParam;
  if (sequence_ != nullptr && !m.cut) {
    SequenceWalk walk{sequence_, step_, depth_};
    if (!walk.AtEnd())
      m.complete = false;
  }
  if (!m.complete)
    Mismatched(m.line);
}

// A parameter line of the open message, checked against the decoder's table.
bool LogReader::ParamLine(string_view line) {
  bool groupLine = line.size() == kParamEquals && line.back() == ' ';
  bool valueLine = line.size() >= kParamValue && line.compare(kParamEquals, 3, " = ") == 0;
  if (!groupLine && !valueLine)
    return false;
  if (line[0] != ' ' || line[1] != ' ' || (line[2] == ' ' && line[3] == ' '))
    return false;
  uint32_t depth = line[2] == ' ' ? 2 : 1;
  string_view name = line.substr(1 + depth, kParamEquals - 1 - depth);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  if (name.empty())
    return false;

  MessageView& m = record_.messages.back();
  if (sequence_ == nullptr || paramsOver_) {
    m.complete = false;
    Unknown();
    return true;
  }
  SequenceWalk walk{sequence_, step_, depth_};
  auto matches = [&](const SequenceWalk& w) {
    uint8_t code = w.sequence[w.step];
    return code < kCapiParamCount && CapiParamTable[code].type != ParamEnd && w.depth == depth &&
           name == kParamNames.name[code];
  };
  if (!matches(walk)) {
    // A line missing or out of order: find the name further on, so one
    // edited line does not spoil the rest of the message.
    SequenceWalk ahead = walk;
    bool found = false;
    while (!ahead.AtEnd()) {
      ahead.Next(ahead.Type() == ParamGroup);
      if (matches(ahead)) {
        found = true;
        break;
      }
    }
    m.complete = false;
    if (!found) {
      Unknown();
      return true;
    }
    walk = ahead;
  }
  uint8_t code = walk.sequence[walk.step];
  uint32_t type = CapiParamLookup(code).type;
  ParamValue v;
  v.code = code;
  v.depth = uint8_t(depth);
  if (groupLine) {
    if (type != ParamGroup) {
      m.complete = false;
      Unknown();
      return true;
    }
    v.groupOpen = true;
    walk.Next(true);
  } else {
    v.text = line.substr(kParamValue);
    string_view t = v.text;
    if (t.size() >= 5 && t.substr(t.size() - 5) == "[cut]") {
      v.cut = true;
      m.cut = true;
      paramsOver_ = true;
    }
    if (type == ParamWord || type == ParamDword || type == ParamByte) {
      uint32_t value = 0;
      if (Eat(t, "0x") && Hex(t, &value) && t.empty()) {
        v.number = true;
        v.value = value;
      } else if (!v.cut) {
        m.complete = false;
      }
      walk.Next(false);
    } else if (type == ParamGroup) {
      if (v.text != "default" && !v.cut)
        m.complete = false;
      // An empty group: its members are not printed.
      uint32_t count = 1;
      uint32_t step = walk.step + 1;
      while (count != 0 && walk.sequence[step] != 0) {
        step += 1;
        uint32_t t2 = CapiParamLookup(walk.sequence[step]).type;
        if (t2 == ParamGroup)
          count += 1;
        else if (t2 == ParamEnd)
          count -= 1;
      }
      walk.step = step;
      walk.Next(false);
    } else {
      walk.Next(false);
    }
  }
  step_ = walk.step;
  depth_ = walk.depth;
  record_.params.push_back(v);
  return true;
}

void LogReader::BodyLine(string_view line) {
  if (record_.kind == RecordKind::kCompletion && !record_.hasStatus && ParseStatus(line, &record_))
    return;
  if (inMessage_ && ParamLine(line))
    return;
  uint32_t bytes = 0;
  if (IsHexLine(line, &bytes)) {
    if (inMessage_ && !afterDump_) {
      record_.messages.back().payloadBytes += bytes;
      paramsOver_ = true;
    } else if (!afterDump_) {
      Unknown();
    }
    return;
  }
  MessageView header;
  if (ParseMessageHeader(line, &header)) {
    BeginMessage(header);
    return;
  }
  string_view s = line;
  uint32_t a = 0;
  if (line == "Error: invalid CAPI message!") {
    if (inMessage_)
      EndMessage();
    record_.invalidMessage = true;
    afterDump_ = true;
  } else if (line == kMessageUnreadable) {
    record_.messageUnreadable = true;
  } else if (line == kMessageNotReadHere) {
    record_.messageNotReadHere = true;
  } else if (line == "Error: invalid InputBuffer") {
    record_.invalidInput = true;
  } else if (line == "Error: invalid OutputBuffer") {
    record_.invalidOutput = true;
  } else if (line == "[cut]" && !inMessage_) {
    // The decoder got less than a header.
  } else if (line == "[text cut]") {
    record_.textCut = true;
    if (inMessage_) {
      record_.messages.back().cut = true;
      paramsOver_ = true;
    }
  } else if (Eat(s, "    WriteBufferLength: ") || Eat(s, "    ReadBufferLength: ") ||
             Eat(s, "    InputBufferLength:  ")) {
  } else if (Eat(s, "  ApplID: ") && Decimal(s, &a) && s == " (additional return value)") {
    record_.hasApplId = true;
    record_.applId = a;
  } else if (Eat(s, "  ControllerNr: ") && Decimal(s, &a) && s == " (additional parameter)") {
    record_.hasController = true;
    record_.controller = a;
  } else if (Eat(s, "  MessageBufferSize:    ") && Decimal(s, &a)) {
    record_.hasRegister = true;
    record_.registerParams[0] = a;
  } else if (Eat(s, "  maxLogicalConnection: ") && Decimal(s, &a)) {
    record_.registerParams[1] = a;
  } else if (Eat(s, "  maxBDataBLocks:       ") && Decimal(s, &a)) {
    record_.registerParams[2] = a;
  } else if (Eat(s, "  maxBDataLength:       ") && Decimal(s, &a)) {
    record_.registerParams[3] = a;
  } else if (Eat(s, "  Manufacturer: ")) {
    record_.manufacturer = s;
  } else if (Eat(s, "  Serial Nr.: ")) {
    record_.serial = s;
  } else if (Eat(s, "  Profile (") && Decimal(s, &a) && s == " Bytes):") {
    afterDump_ = true;
  } else if (StartsWith(line, "  MessagePointer: 0x") || StartsWith(line, "  B3DataPointer:  0x") ||
             StartsWith(line, "  CAPI Version:              ") ||
             StartsWith(line, "  Manufacturer Version:      ") ||
             StartsWith(line, "  Manufacturer Version(NRX): ") ||
             StartsWith(line, "  Class:     0x") || StartsWith(line, "  Function:  0x") ||
             StartsWith(line, "  Card:      0x") || StartsWith(line, "  Length:    0x") ||
             StartsWith(line, "  Unused:    0x")) {
  } else {
    Unknown();
  }
}

}  // namespace pellinorlog

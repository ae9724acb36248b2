#include "tools/pellinor-log/LogCommand.h"

#include "tools/common/Digits.h"
#include "tools/common/ProgramVersion.h"
#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/JsonWriter.h"
#include "tools/pellinor-log/LogInput.h"
#include "tools/pellinor-log/LogReader.h"
#include "tools/pellinor-log/ReportWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <istream>
#include <memory>
#include <iterator>
#include <ostream>

namespace pellinorlog {
namespace {

// The generations of a size-limited log, given in any order, are read in
// the order they were written: by the time each file begins (a part's own
// line is stamped when the part began, after everything of the part
// before). Within one log (its parts name when it was begun) the part
// numbers decide, so that a clock set back cannot reorder them. Without any
// part line the files are read as given.
void OrderGenerations(std::vector<std::string>* files,
                      std::vector<std::unique_ptr<LogInput>>* inputs) {
  struct Entry {
    int64_t ms;
    uint32_t part;  // 1: no part line
    int64_t begun;
    size_t given;
  };
  std::vector<Entry> entries;
  bool anyPart = false;
  for (size_t i = 0; i < inputs->size(); ++i) {
    LogPart p = FindLogPart((*inputs)[i]->Text());
    anyPart = anyPart || p.part != 0;
    entries.push_back(
        {p.hasStamp ? p.firstStampMs : INT64_MIN, p.part != 0 ? p.part : 1, p.begunMs, i});
  }
  if (!anyPart)
    return;
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.ms != b.ms ? a.ms < b.ms : a.part < b.part;
  });
  // The places the parts of one log took, given to them in part order.
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].part < 2)
      continue;
    std::vector<size_t> places;
    std::vector<Entry> group;
    for (size_t j = i; j < entries.size(); ++j) {
      if (entries[j].part >= 2 && entries[j].begun == entries[i].begun) {
        places.push_back(j);
        group.push_back(entries[j]);
      }
    }
    std::stable_sort(group.begin(), group.end(),
                     [](const Entry& a, const Entry& b) { return a.part < b.part; });
    for (size_t k = 0; k < places.size(); ++k) {
      entries[places[k]] = group[k];
      entries[places[k]].part = 0;  // placed
    }
  }
  std::vector<std::string> sortedFiles;
  std::vector<std::unique_ptr<LogInput>> sortedInputs;
  for (const Entry& e : entries) {
    sortedFiles.push_back((*files)[e.given]);
    sortedInputs.push_back(std::move((*inputs)[e.given]));
  }
  files->swap(sortedFiles);
  inputs->swap(sortedInputs);
}

using pellinortools::DecimalDigits;

constexpr char kUsage[] =
    "usage: pellinor-log COMMAND [--json] [options] LOGFILE...\n"
    "  summary   sessions, applications, connections with their flow and outcome\n"
    "  calls     one line per call\n"
    "  errors    failed completions, non-zero Info, abnormal disconnects, lost records\n"
    "  grep      the blocks that match, as they stand in the log:\n"
    "            [--appl N] [--plci X] [--ncci X] [--command NAME] [--from TIME] [--to TIME]\n"
    "  X is hexadecimal (0x0101 or 0101); TIME is YYYY-MM-DD HH:MM[:SS[.mmm]] or\n"
    "  HH:MM[:SS[.mmm]] on the day of the log's first time stamp.\n"
    "pellinor-log --version prints the version and build of pellinor-log.\n";

// "HH:MM[:SS[.mmm]]" from `at` to the end.
bool ParseClock(const std::string& s, size_t at, long long* ms) {
  int hour = 0, minute = 0, second = 0, milli = 0;
  if (!DecimalDigits(s, at, 2, &hour) || at + 2 >= s.size() || s[at + 2] != ':' ||
      !DecimalDigits(s, at + 3, 2, &minute))
    return false;
  size_t end = at + 5;
  if (end < s.size()) {
    if (s[end] != ':' || !DecimalDigits(s, end + 1, 2, &second))
      return false;
    end += 3;
    if (end < s.size()) {
      if (s[end] != '.' || !DecimalDigits(s, end + 1, 3, &milli) || end + 4 != s.size())
        return false;
      end += 4;
    }
  }
  if (end != s.size() || hour > 23 || minute > 59 || second > 59)
    return false;
  *ms = ((hour * 60LL + minute) * 60 + second) * 1000 + milli;
  return true;
}

bool ParseHex(const std::string& s, uint32_t* value) {
  std::string digits = s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0 ? s.substr(2) : s;
  if (digits.empty() || digits.size() > 8)
    return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(digits.c_str(), &end, 16);
  if (*end != '\0')
    return false;
  *value = uint32_t(v);
  return true;
}

bool ParseDecimal(const std::string& s, uint32_t* value) {
  if (s.empty() || s.size() > 9)
    return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str(), &end, 10);
  if (*end != '\0')
    return false;
  *value = uint32_t(v);
  return true;
}

struct GrepFilter {
  bool appl = false;
  uint32_t applValue = 0;
  bool plci = false;
  uint32_t plciValue = 0;
  bool ncci = false;
  uint32_t ncciValue = 0;
  std::string command;
  bool from = false;
  bool fromOfDay = false;
  long long fromMs = 0;
  bool to = false;
  bool toOfDay = false;
  long long toMs = 0;
};

// The analysis runs first, so that a block's application is known from its
// file object too (CAPI_REGISTER, CAPI_RELEASE). A registration's request
// comes before its ApplID is known (from the completion, or a kernel-mode
// caller's first message): with --appl, blocks on a file object that is
// registering wait, and so does everything that matches after them, so that
// the blocks still come out in log order.
class GrepSink : public LogSink {
 public:
  // Blocks held at most; past that the oldest undecided is let go.
  static constexpr size_t kMostHeld = 10000;

  GrepSink(const GrepFilter& filter, const std::vector<std::string>& files, std::ostream& out,
           JsonWriter* json)
      : filter_(filter), files_(files), out_(out), json_(json) {
    analysis_.TrackFileObjects();
  }

  void OnRecord(const LogRecord& record, std::string_view raw) override {
    analysis_.OnRecord(record, raw);
    if (MatchesAllButAppl(record)) {
      bool byAppl = !filter_.appl;
      for (uint32_t a : analysis_.RecordApplications()) byAppl = byAppl || a == filter_.applValue;
      std::string fileObject(record.fileObject);
      bool onRequest =
          record.kind == RecordKind::kRequest || record.kind == RecordKind::kCompletion;
      if (byAppl && held_.empty()) {
        Emit(record.file, record.contentLine, analysis_.HasTime(), analysis_.Time(), raw);
      } else if (byAppl || (onRequest && analysis_.Registering(fileObject))) {
        Held h;
        h.decided = byAppl;
        h.match = byAppl;
        h.session = analysis_.CurrentSessionNumber();
        h.fileObject = std::move(fileObject);
        h.file = record.file;
        h.line = record.contentLine;
        h.hasTime = analysis_.HasTime();
        h.time = analysis_.Time();
        h.raw = std::string(raw);
        held_.push_back(std::move(h));
      }
    }
    if (!held_.empty())
      Resolve(false);
  }

  // After the last file: what is still undecided has no ApplID in the log.
  void Finish() { Resolve(true); }

  uint64_t Matches() const { return matches_; }
  CallAnalyzer& Analysis() { return analysis_; }

 private:
  struct Held {
    bool decided = false;
    bool match = false;
    uint32_t session = 0;
    std::string fileObject;
    uint32_t file = 0;
    uint32_t line = 0;
    bool hasTime = false;
    int64_t time = 0;
    std::string raw;
  };

  void Resolve(bool atEnd) {
    for (Held& h : held_) {
      if (h.decided)
        continue;
      int64_t appl = analysis_.ApplicationOf(h.session, h.fileObject);
      if (appl >= 0) {
        h.decided = true;
        h.match = uint32_t(appl) == filter_.applValue;
      } else if (atEnd || h.session != analysis_.CurrentSessionNumber() ||
                 !analysis_.Registering(h.fileObject)) {
        h.decided = true;  // the registration failed, or its ApplID never came
      }
    }
    if (held_.size() > kMostHeld)
      held_.front().decided = true;
    while (!held_.empty() && held_.front().decided) {
      const Held& h = held_.front();
      if (h.match)
        Emit(h.file, h.line, h.hasTime, h.time, h.raw);
      held_.pop_front();
    }
  }

  void Emit(uint32_t file, uint32_t line, bool hasTime, int64_t time, std::string_view raw) {
    matches_ += 1;
    if (json_ == nullptr) {
      out_.write(raw.data(), std::streamsize(raw.size()));
      return;
    }
    json_->BeginObject();
    json_->Key("file").String(files_[file]);
    json_->Key("line").Unsigned(line);
    if (hasTime)
      json_->Key("time").String(FormatIsoTime(time));
    json_->Key("text").String(raw);
    json_->EndObject();
  }

  bool MatchesAllButAppl(const LogRecord& record) {
    if (filter_.from || filter_.to) {
      if (!analysis_.HasTime())
        return false;
      long long now = analysis_.Time();
      if (!dayKnown_) {
        dayKnown_ = true;
        day_ = now >= 0 ? now / 86400000 * 86400000 : 0;
      }
      long long from = filter_.fromMs + (filter_.fromOfDay ? day_ : 0);
      long long to = filter_.toMs + (filter_.toOfDay ? day_ : 0);
      if (filter_.from && now < from)
        return false;
      if (filter_.to && now > to)
        return false;
    }
    if (filter_.plci || filter_.ncci) {
      bool found = false;
      for (const MessageView& m : record.messages) {
        const ParamValue* address = m.Find(record.params, 0x03);
        if (address == nullptr || !address->number)
          continue;
        bool plciOk = !filter_.plci || (address->value & 0xFFFF) == filter_.plciValue;
        bool ncciOk = !filter_.ncci || address->value == filter_.ncciValue;
        found = found || (plciOk && ncciOk);
      }
      if (!found)
        return false;
    }
    if (!filter_.command.empty()) {
      const std::string& c = filter_.command;
      bool found = record.function == c;
      for (const MessageView& m : record.messages) {
        if (m.name == c)
          found = true;
        std::string_view n = m.name;
        if (n.size() > c.size() && n.compare(0, c.size(), c) == 0 && n[c.size()] == '_') {
          std::string_view sub = n.substr(c.size() + 1);
          found = found || sub == "REQ" || sub == "CONF" || sub == "IND" || sub == "RESP";
        }
      }
      if (!found)
        return false;
    }
    return true;
  }

  const GrepFilter& filter_;
  const std::vector<std::string>& files_;
  std::ostream& out_;
  JsonWriter* json_;
  CallAnalyzer analysis_;
  std::deque<Held> held_;
  uint64_t matches_ = 0;
  bool dayKnown_ = false;
  long long day_ = 0;
};

}  // namespace

bool ParseTimeOption(const std::string& text, long long* ms, bool* timeOfDay) {
  if (text.size() >= 5 && text[2] == ':') {
    *timeOfDay = true;
    return ParseClock(text, 0, ms);
  }
  int year = 0, month = 0, day = 0;
  if (text.size() < 16 || !DecimalDigits(text, 0, 4, &year) || text[4] != '-' ||
      !DecimalDigits(text, 5, 2, &month) || text[7] != '-' || !DecimalDigits(text, 8, 2, &day) ||
      (text[10] != ' ' && text[10] != 'T') || month < 1 || month > 12 || day < 1 || day > 31)
    return false;
  long long clock = 0;
  if (!ParseClock(text, 11, &clock))
    return false;
  *ms = (long long)DaysSince1970(year, month, day) * 86400000 + clock;
  *timeOfDay = false;
  return true;
}

int LogCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                    std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return kFailed;
  }
  const std::string command = args[0];
  if (command == "--help" || command == "-h") {
    out << kUsage;
    return kOk;
  }
  if (command == "--version") {
    out << pellinortools::ProgramVersion("pellinor-log");
    return kOk;
  }
  if (command != "summary" && command != "calls" && command != "errors" && command != "grep") {
    err << "pellinor-log: unknown command \"" << command << "\"\n" << kUsage;
    return kFailed;
  }
  bool json = false;
  GrepFilter filter;
  std::vector<std::string> files;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size())
        return false;
      *v = args[++i];
      return true;
    };
    std::string v;
    bool ok = true;
    if (a == "--json") {
      json = true;
    } else if (command == "grep" && a == "--appl") {
      ok = value(&v) && ParseDecimal(v, &filter.applValue);
      filter.appl = true;
    } else if (command == "grep" && a == "--plci") {
      ok = value(&v) && ParseHex(v, &filter.plciValue);
      filter.plci = true;
    } else if (command == "grep" && a == "--ncci") {
      ok = value(&v) && ParseHex(v, &filter.ncciValue);
      filter.ncci = true;
    } else if (command == "grep" && a == "--command") {
      ok = value(&filter.command) && !filter.command.empty();
    } else if (command == "grep" && a == "--from") {
      ok = value(&v) && ParseTimeOption(v, &filter.fromMs, &filter.fromOfDay);
      filter.from = true;
    } else if (command == "grep" && a == "--to") {
      ok = value(&v) && ParseTimeOption(v, &filter.toMs, &filter.toOfDay);
      filter.to = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      err << "pellinor-log: unknown option \"" << a << "\"\n" << kUsage;
      return kFailed;
    } else {
      files.push_back(a);
    }
    if (!ok) {
      err << "pellinor-log: bad value for " << a << "\n" << kUsage;
      return kFailed;
    }
  }
  if (files.empty()) {
    err << "pellinor-log: no log file given\n" << kUsage;
    return kFailed;
  }

  CallAnalyzer analysis;
  JsonWriter grepJson(out);
  GrepSink grep(filter, files, out, json ? &grepJson : nullptr);
  LogSink& sink = command == "grep" ? static_cast<LogSink&>(grep) : analysis;
  LogReader reader(sink);
  // Every file is read and checked before any output, so that a file that
  // is no log stops the run before a report of the others begins.
  std::vector<std::unique_ptr<LogInput>> inputs;
  for (const std::string& name : files) {
    inputs.push_back(std::make_unique<LogInput>());
    std::string error;
    if (!inputs.back()->Open(name, in, &error)) {
      err << "pellinor-log: " << error << "\n";
      return kFailed;
    }
    if (inputs.back()->TrailingZeros() != 0)
      err << "pellinor-log: " << name << ": ends in " << inputs.back()->TrailingZeros()
          << " zero bytes, left out (the system stopped before the driver's text reached "
             "them)\n";
  }
  OrderGenerations(&files, &inputs);
  if (command == "grep" && json) {
    grepJson.BeginObject();
    grepJson.Key("blocks").BeginArray();
  }
  for (const auto& input : inputs) reader.Read(input->Text());
  grep.Finish();
  CallAnalyzer& result = command == "grep" ? grep.Analysis() : analysis;
  result.Finish();
  ReportWriter report(result, reader.Stats(), files, out);
  if (command == "summary") {
    json ? report.SummaryJson() : report.SummaryText();
  } else if (command == "calls") {
    json ? report.CallsJson() : report.CallsText();
  } else if (command == "errors") {
    json ? report.ErrorsJson() : report.ErrorsText();
  } else if (json) {
    grepJson.EndArray();
    grepJson.Key("matches").Unsigned(grep.Matches());
    report.NotUnderstoodJson(grepJson);
    grepJson.EndObject();
    grepJson.Finish();
  }
  // The reports (and grep's blocks, as they stand in the log) on standard
  // output; what could not be read, if anything, on standard error.
  if (report.HasDiagnostics())
    report.NotUnderstoodText(err);
  if (command == "grep")
    return grep.Matches() != 0 ? kOk : kNoMatch;
  if (command == "errors")
    return result.Errors().empty() ? kOk : kFoundErrors;
  return kOk;
}

}  // namespace pellinorlog

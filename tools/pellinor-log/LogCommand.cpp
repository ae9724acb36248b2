#include "tools/pellinor-log/LogCommand.h"

#include "tools/common/Digits.h"
#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/JsonWriter.h"
#include "tools/pellinor-log/LogReader.h"
#include "tools/pellinor-log/MappedLog.h"
#include "tools/pellinor-log/ReportWriter.h"

#include <cstdio>
#include <cstdlib>
#include <istream>
#include <iterator>
#include <ostream>

namespace pellinorlog {
namespace {

using pellinortools::DecimalDigits;

constexpr char kUsage[] =
    "usage: pellinor-log COMMAND [--json] [options] LOGFILE...\n"
    "  summary   sessions, applications, connections with their flow and outcome\n"
    "  calls     one line per call\n"
    "  errors    failed completions, non-zero Info, abnormal disconnects, lost records\n"
    "  grep      the blocks that match, as they stand in the log:\n"
    "            [--appl N] [--plci X] [--ncci X] [--command NAME] [--from TIME] [--to TIME]\n"
    "  X is hexadecimal (0x0101 or 0101); TIME is YYYY-MM-DD HH:MM[:SS[.mmm]] or\n"
    "  HH:MM[:SS[.mmm]] on the day of the log's first time stamp.\n";

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
// file object too (CAPI_REGISTER, CAPI_RELEASE).
class GrepSink : public LogSink {
 public:
  GrepSink(const GrepFilter& filter, const std::vector<std::string>& files, std::ostream& out,
           JsonWriter* json)
      : filter_(filter), files_(files), out_(out), json_(json) {
    analysis_.TrackFileObjects();
  }

  void OnRecord(const LogRecord& record, std::string_view raw) override {
    analysis_.OnRecord(record, raw);
    if (!Matches(record))
      return;
    matches_ += 1;
    if (json_ == nullptr) {
      out_.write(raw.data(), std::streamsize(raw.size()));
      return;
    }
    json_->BeginObject();
    json_->Key("file").String(files_[record.file]);
    json_->Key("line").Unsigned(record.contentLine);
    if (analysis_.HasTime())
      json_->Key("time").String(FormatIsoTime(analysis_.Time()));
    json_->Key("text").String(raw);
    json_->EndObject();
  }

  uint64_t Matches() const { return matches_; }
  CallAnalyzer& Analysis() { return analysis_; }

 private:
  bool Matches(const LogRecord& record) {
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
    if (filter_.appl) {
      bool found = false;
      for (uint32_t a : analysis_.RecordApplications()) found = found || a == filter_.applValue;
      if (!found)
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
  if (command == "grep" && json) {
    grepJson.BeginObject();
    grepJson.Key("blocks").BeginArray();
  }
  for (const std::string& name : files) {
    if (name == "-") {
      std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      reader.Read(text);
      continue;
    }
    MappedLog log;
    if (!log.Open(name)) {
      err << "pellinor-log: cannot read " << name << "\n";
      return kFailed;
    }
    reader.Read(log.Text());
  }
  CallAnalyzer& result = command == "grep" ? grep.Analysis() : analysis;
  result.Finish();
  ReportWriter report(result, reader.Stats(), files, out);
  if (command == "summary") {
    json ? report.SummaryJson() : report.SummaryText();
  } else if (command == "calls") {
    json ? report.CallsJson() : report.CallsText();
  } else if (command == "errors") {
    json ? report.ErrorsJson() : report.ErrorsText();
  } else {
    if (json) {
      grepJson.EndArray();
      grepJson.Key("matches").Unsigned(grep.Matches());
      report.NotUnderstoodJson(grepJson);
      grepJson.EndObject();
      grepJson.Finish();
    } else {
      // The blocks alone on standard output, as they stand in the log;
      // what could not be read, if anything, on standard error.
      const ReadStats& stats = reader.Stats();
      if (stats.unknownLines != 0 || stats.mismatchedMessages != 0 || stats.cutFiles != 0)
        report.NotUnderstoodText(err);
    }
    return grep.Matches() != 0 ? kOk : kNoMatch;
  }
  return kOk;
}

}  // namespace pellinorlog

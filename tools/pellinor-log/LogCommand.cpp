#include "tools/pellinor-log/LogCommand.h"

#include "tools/common/Digits.h"
#include "tools/common/ProgramVersion.h"
#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/GrepSink.h"
#include "tools/pellinor-log/LiveView.h"
#include "tools/pellinor-log/StopRequest.h"
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
    "            [--appl N] [--plci X] [--ncci X] [--command NAME] [--pid N] [--from TIME]\n"
    "            [--to TIME]; --pid: the requests of that process and their completions\n"
    "            (a log traced with pellinorctl set caller 1)\n"
    "  follow    LOGFILE as the driver writes it, across rotations: each call's progress\n"
    "            and each error as it appears, for the blocks that match grep's options;\n"
    "            [--blocks] the blocks themselves, [--new] only what is added from now,\n"
    "            [--until-stop] end after \"Stop Tracing\" (else at Ctrl-C)\n"
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

// The file is looked at this often while it does not grow.
constexpr unsigned kFollowPollMs = 100;

int Follow(const GrepFilter& filter, const FollowOptions& options, const std::string& path,
           std::ostream& out, std::ostream& err) {
  LiveView view(filter, options, path, out);
  StopRequest::Install();
  int status = LogCommand::kOk;
  while (!view.Done() && !StopRequest::Requested()) {
    std::string error;
    std::string notes;
    bool read = view.Look(&error, &notes);
    err << notes;
    if (!error.empty()) {
      err << "pellinor-log: " << error << "\n";
      status = LogCommand::kFailed;
      break;
    }
    if (!read)
      StopRequest::Wait(kFollowPollMs);
  }
  view.Finish();
  return status;
}

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
  if (command != "summary" && command != "calls" && command != "errors" && command != "grep" &&
      command != "follow") {
    err << "pellinor-log: unknown command \"" << command << "\"\n" << kUsage;
    return kFailed;
  }
  bool json = false;
  GrepFilter filter;
  FollowOptions follow;
  // follow takes grep's filters.
  const bool filters = command == "grep" || command == "follow";
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
    } else if (filters && a == "--appl") {
      ok = value(&v) && ParseDecimal(v, &filter.applValue);
      filter.appl = true;
    } else if (filters && a == "--plci") {
      ok = value(&v) && ParseHex(v, &filter.plciValue);
      filter.plci = true;
    } else if (filters && a == "--ncci") {
      ok = value(&v) && ParseHex(v, &filter.ncciValue);
      filter.ncci = true;
    } else if (filters && a == "--pid") {
      ok = value(&v) && ParseDecimal(v, &filter.pidValue);
      filter.pid = true;
    } else if (filters && a == "--command") {
      ok = value(&filter.command) && !filter.command.empty();
    } else if (filters && a == "--from") {
      ok = value(&v) && ParseTimeOption(v, &filter.fromMs, &filter.fromOfDay);
      filter.from = true;
    } else if (filters && a == "--to") {
      ok = value(&v) && ParseTimeOption(v, &filter.toMs, &filter.toOfDay);
      filter.to = true;
    } else if (command == "follow" && a == "--blocks") {
      follow.blocks = true;
    } else if (command == "follow" && a == "--new") {
      follow.fromNow = true;
    } else if (command == "follow" && a == "--until-stop") {
      follow.untilStop = true;
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
  if (command == "follow") {
    if (files.size() != 1 || files[0] == "-" || json) {
      err << "pellinor-log: follow takes one log file (not standard input), and no --json\n"
          << kUsage;
      return kFailed;
    }
    return Follow(filter, follow, files[0], out, err);
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
  if (command == "grep" && filter.pid && !grep.CallerIdsSeen())
    err << "pellinor-log: --pid: no request in the log carries caller ids (the driver adds "
           "them after 'pellinorctl set caller 1' and a start)\n";
  if (command == "grep")
    return grep.Matches() != 0 ? kOk : kNoMatch;
  if (command == "errors")
    return result.Errors().empty() ? kOk : kFoundErrors;
  return kOk;
}

}  // namespace pellinorlog

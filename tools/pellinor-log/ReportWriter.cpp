#include "tools/pellinor-log/ReportWriter.h"

#include <cinttypes>
#include <cstdio>

namespace pellinorlog {
namespace {

struct Civil {
  int year, month, day, hour, minute, second, milli;
};

Civil ToCivil(int64_t ms) {
  int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  int64_t rest = ms - days * 86400000;
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  Civil c;
  c.day = int(doy - (153 * mp + 2) / 5 + 1);
  c.month = int(mp < 10 ? mp + 3 : mp - 9);
  c.year = int(yoe + era * 400 + (c.month <= 2 ? 1 : 0));
  c.hour = int(rest / 3600000);
  c.minute = int(rest / 60000 % 60);
  c.second = int(rest / 1000 % 60);
  c.milli = int(rest % 1000);
  return c;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

const char* DirectionName(Connection::Direction d) {
  switch (d) {
    case Connection::kOutgoing:
      return "out";
    case Connection::kIncoming:
      return "in";
    default:
      return "?";
  }
}

const char* YesNo(bool value) {
  return value ? "YES" : "NO";
}

// A duration between two stamps is known when the clock was not set back
// between them (the counts of clock steps at both ends agree).
bool Known(int64_t from, int64_t to, uint32_t stepsFrom, uint32_t stepsTo) {
  return stepsFrom == stepsTo && to >= from;
}

constexpr char kClockStepped[] = "clock set back";

std::string DurationText(int64_t from, int64_t to, uint32_t stepsFrom, uint32_t stepsTo) {
  return Known(from, to, stepsFrom, stepsTo) ? FormatDuration(to - from) : kClockStepped;
}

int64_t ConnectionEnd(const Connection& c) {
  return c.ended ? c.endMs : (c.flow.empty() ? c.startMs : c.flow.back().ms);
}

void DurationJson(JsonWriter& json, int64_t from, int64_t to, uint32_t stepsFrom,
                  uint32_t stepsTo) {
  if (Known(from, to, stepsFrom, stepsTo))
    json.Key("durationMs").Number(to - from);
  else
    json.Key("clockSetBack").Bool(true);
}

}  // namespace

std::string FormatTime(int64_t ms) {
  Civil c = ToCivil(ms);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", c.hour, c.minute, c.second, c.milli);
  return text;
}

std::string FormatDateTime(int64_t ms) {
  Civil c = ToCivil(ms);
  char text[48];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.milli);
  return text;
}

std::string FormatIsoTime(int64_t ms) {
  std::string text = FormatDateTime(ms);
  text[10] = 'T';
  return text + "Z";
}

std::string FormatDuration(int64_t ms) {
  char text[48];
  const char* sign = ms < 0 ? "-" : "";
  int64_t v = ms < 0 ? -ms : ms;
  std::snprintf(text, sizeof(text), "%s%" PRId64 ".%03d s", sign, v / 1000, int(v % 1000));
  return text;
}

std::string ReportWriter::Place(uint32_t file, uint32_t line) const {
  std::string name = file >= 1 && file <= files_.size() ? files_[file - 1] : "?";
  return name + ":" + std::to_string(line);
}

std::string ReportWriter::CallNumbers(const Connection& c) const {
  return CallNumbersText(c);
}

std::string CallNumbersText(const Connection& c) {
  std::string text;
  if (!c.called.empty())
    text = "to " + c.called;
  if (!c.calling.empty())
    text += std::string(text.empty() ? "" : " ") + "from " + c.calling;
  return text;
}

void ReportWriter::NotUnderstoodText(std::ostream& out) const {
  out << stats_.unknownLines << (stats_.unknownLines == 1 ? " line" : " lines")
      << " not understood";
  for (size_t i = 0; i < stats_.firstUnknown.size(); ++i)
    out << (i == 0 ? " (" : ", ")
        << Place(stats_.firstUnknown[i].file, stats_.firstUnknown[i].line);
  if (!stats_.firstUnknown.empty())
    out << (stats_.unknownLines > stats_.firstUnknown.size() ? ", ...)" : ")");
  out << "\n";
  if (stats_.mismatchedMessages != 0) {
    out << stats_.mismatchedMessages
        << (stats_.mismatchedMessages == 1 ? " message does" : " messages do")
        << " not match the decoder's tables";
    for (size_t i = 0; i < stats_.firstMismatched.size(); ++i)
      out << (i == 0 ? " (" : ", ")
          << Place(stats_.firstMismatched[i].file, stats_.firstMismatched[i].line);
    out << (stats_.mismatchedMessages > stats_.firstMismatched.size() ? ", ...)" : ")") << "\n";
  }
  if (stats_.cutFiles != 0)
    out << stats_.cutFiles << (stats_.cutFiles == 1 ? " file ends" : " files end")
        << " in the middle of a line\n";
  if (stats_.badStamps != 0) {
    out << stats_.badStamps << (stats_.badStamps == 1 ? " time stamp" : " time stamps")
        << " not read: the weekday is not that of the date, or the year is before 1601 (a year "
           "past 9999 is cut to four digits in the log)";
    for (size_t i = 0; i < stats_.firstBadStamp.size(); ++i)
      out << (i == 0 ? " (" : ", ")
          << Place(stats_.firstBadStamp[i].file, stats_.firstBadStamp[i].line);
    out << (stats_.badStamps > stats_.firstBadStamp.size() ? ", ...)" : ")") << "\n";
  }
}

bool ReportWriter::HasDiagnostics() const {
  return stats_.unknownLines != 0 || stats_.mismatchedMessages != 0 || stats_.cutFiles != 0 ||
         stats_.badStamps != 0;
}

void ReportWriter::NotUnderstoodJson(JsonWriter& json) const {
  auto places = [&](const std::vector<LinePlace>& list) {
    json.BeginArray();
    for (const LinePlace& p : list) {
      json.BeginObject();
      json.Key("file").String(p.file >= 1 && p.file <= files_.size() ? files_[p.file - 1] : "?");
      json.Key("line").Unsigned(p.line);
      json.EndObject();
    }
    json.EndArray();
  };
  json.Key("notUnderstood").BeginObject();
  json.Key("lines").Unsigned(stats_.unknownLines);
  json.Key("first");
  places(stats_.firstUnknown);
  json.Key("mismatchedMessages").Unsigned(stats_.mismatchedMessages);
  json.Key("firstMismatched");
  places(stats_.firstMismatched);
  json.Key("filesCutInALine").Unsigned(stats_.cutFiles);
  json.Key("badTimeStamps").Unsigned(stats_.badStamps);
  json.Key("firstBadTimeStamp");
  places(stats_.firstBadStamp);
  json.EndObject();
}

void ReportWriter::SummaryText() {
  out_ << "Log:";
  for (size_t i = 0; i < files_.size(); ++i) out_ << (i == 0 ? " " : ", ") << files_[i];
  out_ << ": " << stats_.lines << " lines, " << stats_.records << " blocks\n";

  const auto& apps = analysis_.Applications();
  const auto& conns = analysis_.Connections();
  for (const Session& s : analysis_.Sessions()) {
    out_ << "\nSession " << s.number << " (" << Place(s.file, s.line) << "): ";
    if (s.banner)
      out_ << "device \"" << s.target << "\", driver built " << s.buildDate << "\n";
    else if (s.continuedPart != 0)
      out_ << "no banner, log continued: " << s.continuedFrom << "\n";
    else if (!s.continuedFrom.empty())
      out_ << "no banner, log continued from " << s.continuedFrom << "\n";
    else
      out_ << "no banner\n";
    if (s.hasTime)
      out_ << "  Time: " << FormatDateTime(s.firstMs) << " to " << FormatDateTime(s.lastMs) << " ("
           << DurationText(s.firstMs, s.lastMs, 0, s.clockSteps) << ")\n";
    for (const ClockStep& step : analysis_.ClockSteps()) {
      if (step.session == s.number)
        out_ << "  Clock set back at " << Place(step.file, step.line) << ": from "
             << FormatDateTime(step.fromMs) << " to " << FormatDateTime(step.toMs)
             << "; durations across it are not given\n";
    }
    if (!s.manufacturer.empty() || s.controllers >= 0 || s.bChannels >= 0) {
      out_ << "  Target: \"" << s.manufacturer << "\", "
           << (s.controllers >= 0 ? std::to_string(s.controllers) : std::string("?"))
           << " controller(s), "
           << (s.bChannels >= 0 ? std::to_string(s.bChannels) : std::string("?")) << " B channels";
      if (s.queryErrors != 0)
        out_ << ", " << s.queryErrors << " query error(s)";
      out_ << "\n";
    }
    for (const StartEntry& st : s.starts) {
      out_ << "  Start " << (st.hasTime ? FormatTime(st.ms) : std::string("?")) << ": "
           << SettingsText(st.settings);
      if (st.stopped)
        out_ << "; stopped " << FormatTime(st.stopMs) << " after "
             << DurationText(st.ms, st.stopMs, st.steps, st.stopSteps) << "\n";
      else
        out_ << "; not stopped in the log\n";
    }
    if (s.removed)
      out_ << "  Traced device removed (Plug and Play) "
           << (s.removedHasTime ? FormatTime(s.removedMs) : std::string("?"))
           << ": nothing of it traced after that\n";
    out_ << "  Blocks: " << s.records << ", messages: " << s.messages
         << ", records lost: " << s.lost << "\n";

    for (const Application& a : apps) {
      if (a.session != s.number)
        continue;
      out_ << "  Application " << a.appl << ": ";
      if (a.registered) {
        out_ << "registered " << FormatTime(a.registerMs);
        if (a.hasRegisterParams)
          out_ << " (MessageBufferSize " << a.registerParams[0] << ", maxLogicalConnection "
               << a.registerParams[1] << ", maxBDataBlocks " << a.registerParams[2]
               << ", maxBDataLength " << a.registerParams[3] << ")";
      } else {
        out_ << "registration not in the log";
      }
      if (a.released)
        out_ << ", released " << FormatTime(a.releaseMs);
      else
        out_ << ", not released in the log";
      out_ << "; messages " << a.messagesOut << " out, " << a.messagesIn << " in\n";
      for (uint32_t index : a.connections) {
        const Connection& c = conns[index];
        out_ << "    PLCI " << (c.plci != 0 ? Hex(c.plci, 4) : std::string("?")) << ", "
             << (c.direction == Connection::kOutgoing   ? "outgoing"
                 : c.direction == Connection::kIncoming ? "incoming"
                                                        : "direction unknown");
        std::string numbers = CallNumbers(c);
        if (!numbers.empty())
          out_ << " " << numbers;
        int64_t end = ConnectionEnd(c);
        out_ << ", " << FormatTime(c.startMs) << " to " << FormatTime(end) << " ("
             << DurationText(c.startMs, end, c.startSteps, c.endSteps) << ")\n";
        size_t shown = 0;
        for (const FlowStep& f : c.flow) {
          if (shown++ == kFlowStepsShown) {
            out_ << "      ... " << (c.flow.size() - kFlowStepsShown) << " more steps\n";
            break;
          }
          out_ << "      " << FormatTime(f.ms) << " " << f.name;
          if (!f.detail.empty())
            out_ << " " << f.detail;
          out_ << "\n";
        }
        for (uint32_t ncci : c.nccis) out_ << "      NCCI " << Hex(ncci, 8) << "\n";
        if (c.b3Out != 0 || c.b3In != 0)
          out_ << "      DATA_B3: out " << c.b3Out << " blocks " << c.b3OutBytes << " bytes, in "
               << c.b3In << " blocks " << c.b3InBytes << " bytes\n";
        out_ << "      Outcome: " << c.outcome << "\n";
      }
    }
  }

  out_ << "\nSlowest confirmations:\n";
  if (analysis_.Slowest().empty())
    out_ << "  none\n";
  for (const SlowConfirmation& sc : analysis_.Slowest()) {
    char duration[32];
    std::snprintf(duration, sizeof(duration), "%10" PRId64 " ms", sc.durationMs);
    out_ << "  " << duration << "  " << sc.request << "  session " << sc.session << "  appl "
         << sc.appl << "  MsgNr " << sc.number << "  at " << FormatTime(sc.requestMs) << " ("
         << Place(sc.file, sc.line) << ")\n";
  }
  out_ << "\nErrors: " << analysis_.Errors().size() << ", records lost: " << analysis_.LostRecords()
       << "\n";
}

void ReportWriter::ConnectionJson(JsonWriter& json, const Connection& c) const {
  json.BeginObject();
  json.Key("session").Unsigned(c.session);
  json.Key("appl").Unsigned(c.appl);
  json.Key("plci").Unsigned(c.plci);
  json.Key("nccis").BeginArray();
  for (uint32_t n : c.nccis) json.Unsigned(n);
  json.EndArray();
  json.Key("direction")
      .String(c.direction == Connection::kOutgoing   ? "outgoing"
              : c.direction == Connection::kIncoming ? "incoming"
                                                     : "unknown");
  json.Key("called").String(c.called);
  json.Key("calling").String(c.calling);
  int64_t end = ConnectionEnd(c);
  json.Key("start").String(FormatIsoTime(c.startMs));
  json.Key("end").String(FormatIsoTime(end));
  DurationJson(json, c.startMs, end, c.startSteps, c.endSteps);
  json.Key("active").Bool(c.active);
  json.Key("ended").Bool(c.ended);
  json.Key("failed").Bool(c.failed);
  json.Key("outcome").String(c.outcome);
  json.Key("dataB3").BeginObject();
  json.Key("outBlocks").Unsigned(c.b3Out);
  json.Key("outBytes").Unsigned(c.b3OutBytes);
  json.Key("inBlocks").Unsigned(c.b3In);
  json.Key("inBytes").Unsigned(c.b3InBytes);
  json.EndObject();
  json.Key("flow").BeginArray();
  for (const FlowStep& f : c.flow) {
    json.BeginObject();
    json.Key("time").String(FormatIsoTime(f.ms));
    json.Key("message").String(f.name);
    json.Key("detail").String(f.detail);
    json.EndObject();
  }
  json.EndArray();
  json.Key("file").String(c.file >= 1 && c.file <= files_.size() ? files_[c.file - 1] : "?");
  json.Key("line").Unsigned(c.line);
  json.EndObject();
}

void ReportWriter::SummaryJson() {
  JsonWriter json(out_);
  json.BeginObject();
  json.Key("files").BeginArray();
  for (const std::string& f : files_) json.String(f);
  json.EndArray();
  json.Key("lines").Unsigned(stats_.lines);
  json.Key("blocks").Unsigned(stats_.records);
  json.Key("sessions").BeginArray();
  for (const Session& s : analysis_.Sessions()) {
    json.BeginObject();
    json.Key("number").Unsigned(s.number);
    json.Key("banner").Bool(s.banner);
    json.Key("file").String(s.file >= 1 && s.file <= files_.size() ? files_[s.file - 1] : "?");
    json.Key("line").Unsigned(s.line);
    json.Key("target").String(s.target);
    json.Key("buildDate").String(s.buildDate);
    json.Key("continuedFrom").String(s.continuedFrom);
    json.Key("manufacturer").String(s.manufacturer);
    json.Key("controllers").Number(s.controllers);
    json.Key("bChannels").Number(s.bChannels);
    json.Key("queryErrors").Unsigned(s.queryErrors);
    if (s.hasTime) {
      json.Key("start").String(FormatIsoTime(s.firstMs));
      json.Key("end").String(FormatIsoTime(s.lastMs));
      DurationJson(json, s.firstMs, s.lastMs, 0, s.clockSteps);
    }
    json.Key("clockSteps").BeginArray();
    for (const ClockStep& step : analysis_.ClockSteps()) {
      if (step.session != s.number)
        continue;
      json.BeginObject();
      json.Key("from").String(FormatIsoTime(step.fromMs));
      json.Key("to").String(FormatIsoTime(step.toMs));
      json.Key("file").String(step.file >= 1 && step.file <= files_.size() ? files_[step.file - 1]
                                                                           : "?");
      json.Key("line").Unsigned(step.line);
      json.EndObject();
    }
    json.EndArray();
    json.Key("starts").BeginArray();
    for (const StartEntry& st : s.starts) {
      json.BeginObject();
      if (st.hasTime)
        json.Key("time").String(FormatIsoTime(st.ms));
      json.Key("settings").BeginObject();
      json.Key("valid").Bool(st.settings.valid);
      json.Key("capiFunctions").Bool(st.settings.functions);
      json.Key("capiMessages").Bool(st.settings.messages);
      json.Key("maxDataB3Bytes").Unsigned(st.settings.b3Bytes);
      json.Key("manuMessages").Bool(st.settings.manuMessages);
      json.Key("userModeAppls").Bool(st.settings.userMode);
      if (st.settings.callerIds)
        json.Key("callerIds").Bool(true);
      json.EndObject();
      json.Key("stopped").Bool(st.stopped);
      if (st.stopped) {
        json.Key("stop").String(FormatIsoTime(st.stopMs));
        DurationJson(json, st.ms, st.stopMs, st.steps, st.stopSteps);
      }
      json.EndObject();
    }
    json.EndArray();
    if (s.removed) {
      json.Key("deviceRemoved").BeginObject();
      if (s.removedHasTime)
        json.Key("time").String(FormatIsoTime(s.removedMs));
      json.EndObject();
    }
    json.Key("blocks").Unsigned(s.records);
    json.Key("messages").Unsigned(s.messages);
    json.Key("recordsLost").Unsigned(s.lost);
    json.Key("applications").BeginArray();
    for (const Application& a : analysis_.Applications()) {
      if (a.session != s.number)
        continue;
      json.BeginObject();
      json.Key("appl").Unsigned(a.appl);
      json.Key("fileObject").String(a.fileObject);
      json.Key("registered").Bool(a.registered);
      if (a.registered)
        json.Key("registerTime").String(FormatIsoTime(a.registerMs));
      if (a.hasRegisterParams) {
        json.Key("register").BeginObject();
        json.Key("messageBufferSize").Unsigned(a.registerParams[0]);
        json.Key("maxLogicalConnection").Unsigned(a.registerParams[1]);
        json.Key("maxBDataBlocks").Unsigned(a.registerParams[2]);
        json.Key("maxBDataLength").Unsigned(a.registerParams[3]);
        json.EndObject();
      }
      json.Key("released").Bool(a.released);
      if (a.released)
        json.Key("releaseTime").String(FormatIsoTime(a.releaseMs));
      json.Key("messagesOut").Unsigned(a.messagesOut);
      json.Key("messagesIn").Unsigned(a.messagesIn);
      json.Key("connections").BeginArray();
      for (uint32_t index : a.connections) ConnectionJson(json, analysis_.Connections()[index]);
      json.EndArray();
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.Key("slowestConfirmations").BeginArray();
  for (const SlowConfirmation& sc : analysis_.Slowest()) {
    json.BeginObject();
    json.Key("durationMs").Number(sc.durationMs);
    json.Key("request").String(sc.request);
    json.Key("session").Unsigned(sc.session);
    json.Key("appl").Unsigned(sc.appl);
    json.Key("msgNr").Unsigned(sc.number);
    json.Key("time").String(FormatIsoTime(sc.requestMs));
    json.Key("file").String(sc.file >= 1 && sc.file <= files_.size() ? files_[sc.file - 1] : "?");
    json.Key("line").Unsigned(sc.line);
    json.EndObject();
  }
  json.EndArray();
  json.Key("errors").Unsigned(analysis_.Errors().size());
  json.Key("recordsLost").Unsigned(analysis_.LostRecords());
  NotUnderstoodJson(json);
  json.EndObject();
  json.Finish();
}

void ReportWriter::CallsText() {
  out_ << "START                    APPL  PLCI    DIR  NUMBERS                    DURATION  "
          "OUTCOME\n";
  for (const Connection& c : analysis_.Connections()) {
    char head[96];
    std::snprintf(head, sizeof(head), "%s  %4u  %-6s  %-3s  ", FormatDateTime(c.startMs).c_str(),
                  c.appl, c.plci != 0 ? Hex(c.plci, 4).c_str() : "?", DirectionName(c.direction));
    char tail[64];
    std::snprintf(tail, sizeof(tail), "%-24s %12s  ", CallNumbers(c).c_str(),
                  CallDurationText(c).c_str());
    out_ << head << tail << c.outcome << "\n";
  }
  out_ << analysis_.Connections().size()
       << (analysis_.Connections().size() == 1 ? " call\n" : " calls\n");
}

void ReportWriter::CallsJson() {
  JsonWriter json(out_);
  json.BeginObject();
  json.Key("calls").BeginArray();
  for (const Connection& c : analysis_.Connections()) ConnectionJson(json, c);
  json.EndArray();
  NotUnderstoodJson(json);
  json.EndObject();
  json.Finish();
}

std::string ErrorText(const ErrorEntry& e, const std::string& place) {
  std::string text =
      (e.hasTime ? FormatDateTime(e.ms) : std::string("(no time)                ")) + "  ";
  if (e.appl >= 0)
    text += "appl " + std::to_string(e.appl) + "  ";
  return text + e.what + "\n    " + e.explanation + "  (" + place + ")\n";
}

std::string CallDurationText(const Connection& c) {
  return DurationText(c.startMs, ConnectionEnd(c), c.startSteps, c.endSteps);
}

std::string SettingsText(const SettingsView& settings) {
  if (!settings.valid)
    return "settings not readable";
  return std::string("CAPI functions ") + YesNo(settings.functions) + ", CAPI messages " +
         YesNo(settings.messages) + ", MaxDataB3Bytes " + std::to_string(settings.b3Bytes) +
         ", ManuMessages " + YesNo(settings.manuMessages) + ", UserMode " +
         YesNo(settings.userMode) + (settings.callerIds ? ", Caller ids YES" : "") +
         (settings.userMessages ? ", User messages YES" : "");
}

void ReportWriter::ErrorsText() {
  for (const ErrorEntry& e : analysis_.Errors()) out_ << ErrorText(e, Place(e.file, e.line));
  out_ << analysis_.Errors().size() << (analysis_.Errors().size() == 1 ? " error" : " errors")
       << ", " << analysis_.LostRecords() << " records lost\n";
}

void ReportWriter::ErrorJson(JsonWriter& json, const ErrorEntry& e) const {
  json.BeginObject();
  if (e.hasTime)
    json.Key("time").String(FormatIsoTime(e.ms));
  json.Key("session").Unsigned(e.session);
  if (e.appl >= 0)
    json.Key("appl").Number(e.appl);
  json.Key("what").String(e.what);
  json.Key("explanation").String(e.explanation);
  json.Key("file").String(e.file >= 1 && e.file <= files_.size() ? files_[e.file - 1] : "?");
  json.Key("line").Unsigned(e.line);
  json.EndObject();
}

void ReportWriter::ErrorsJson() {
  JsonWriter json(out_);
  json.BeginObject();
  json.Key("errors").BeginArray();
  for (const ErrorEntry& e : analysis_.Errors()) ErrorJson(json, e);
  json.EndArray();
  json.Key("recordsLost").Unsigned(analysis_.LostRecords());
  NotUnderstoodJson(json);
  json.EndObject();
  json.Finish();
}

}  // namespace pellinorlog

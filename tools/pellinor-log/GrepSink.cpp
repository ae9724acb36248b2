#include "tools/pellinor-log/GrepSink.h"

#include "tools/pellinor-log/ReportWriter.h"

namespace pellinorlog {

GrepSink::GrepSink(const GrepFilter& filter, const std::vector<std::string>& files,
                   std::ostream& out, JsonWriter* json)
    : filter_(filter), files_(files), out_(out), json_(json) {
  analysis_.TrackFileObjects();
}

void GrepSink::OnRecord(const LogRecord& record, std::string_view raw) {
  analysis_.OnRecord(record, raw);
  std::string described;
  std::string_view text = raw;
  if (describe_) {
    described = describe_(record, raw);
    text = described;
  }
  if (!dayKnown_ && analysis_.HasTime()) {
    // The day a time of day alone (--from 14:03) lies on.
    dayKnown_ = true;
    long long now = analysis_.Time();
    day_ = now >= 0 ? now / 86400000 * 86400000 : 0;
  }
  bool quiet = record.file == 0 && record.end <= quietEnd_;
  if (record.text == TextKind::kStopTracing && !quiet)
    stopSeen_ = true;
  if (!quiet && MatchesAllButAppl(record)) {
    bool byAppl = !filter_.appl;
    for (uint32_t a : analysis_.RecordApplications()) byAppl = byAppl || a == filter_.applValue;
    std::string fileObject(record.fileObject);
    bool onRequest = record.kind == RecordKind::kRequest || record.kind == RecordKind::kCompletion;
    if (byAppl && held_.empty()) {
      Emit(record.file, record.contentLine, analysis_.HasTime(), analysis_.Time(), text);
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
      h.text = std::string(text);
      held_.push_back(std::move(h));
    }
  }
  if (!held_.empty())
    Resolve(false);
}

void GrepSink::Resolve(bool atEnd) {
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
      Emit(h.file, h.line, h.hasTime, h.time, h.text);
    held_.pop_front();
  }
}

void GrepSink::Emit(uint32_t file, uint32_t line, bool hasTime, int64_t time,
                    std::string_view text) {
  matches_ += 1;
  if (json_ == nullptr) {
    out_.write(text.data(), std::streamsize(text.size()));
    return;
  }
  json_->BeginObject();
  json_->Key("file").String(files_[file]);
  json_->Key("line").Unsigned(line);
  if (hasTime)
    json_->Key("time").String(FormatIsoTime(time));
  json_->Key("text").String(text);
  json_->EndObject();
}

bool GrepSink::SentByProcess(const LogRecord& record) {
  const auto key = std::make_pair(analysis_.CurrentSessionNumber(), std::string(record.irp));
  if (record.kind == RecordKind::kRequest) {
    if (!record.hasCaller || record.callerProcess != filter_.pidValue)
      return false;
    sentBy_.insert(key);
    return true;
  }
  if (record.kind == RecordKind::kCompletion)
    return sentBy_.erase(key) != 0;
  return false;
}

bool GrepSink::MatchesAllButAppl(const LogRecord& record) {
  if (record.hasCaller)
    callerIdsSeen_ = true;
  // First, whatever else does not match: a request's completion matches
  // when its request did, and the request must be seen for that.
  if (filter_.pid && !SentByProcess(record))
    return false;
  if (filter_.from || filter_.to) {
    if (!analysis_.HasTime())
      return false;
    long long now = analysis_.Time();
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

}  // namespace pellinorlog

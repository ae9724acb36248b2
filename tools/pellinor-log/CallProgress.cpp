#include "tools/pellinor-log/CallProgress.h"

#include "tools/pellinor-log/ReportWriter.h"

#include <cstdio>

namespace pellinorlog {

std::string CallProgress::Head(int64_t ms, bool hasTime) const {
  // Before the first time stamp (the banner): no time.
  return (hasTime ? FormatTime(ms) : std::string(12, ' ')) + "  ";
}

std::string CallProgress::CallHead(int64_t ms, const Connection& c) const {
  char text[64];
  char plci[16] = "?";
  if (c.plci != 0)
    std::snprintf(plci, sizeof(plci), "0x%04X", c.plci);
  std::snprintf(text, sizeof(text), "appl %u  PLCI %-6s  ", c.appl, plci);
  return Head(ms, true) + text;
}

std::string CallProgress::Describe(const LogRecord& record) {
  std::string text;
  std::string now = Head(analysis_.Time(), analysis_.HasTime());
  switch (record.text) {
    case TextKind::kBanner:
      text += now + "session " + std::to_string(analysis_.CurrentSessionNumber()) + ": device \"" +
              std::string(record.target) + "\", driver built " + std::string(record.buildDate) +
              "\n";
      break;
    case TextKind::kStartTracing:
      text += now + "Start Tracing: " + SettingsText(record.settings) + "\n";
      break;
    case TextKind::kStopTracing:
      text += now + "Stop Tracing\n";
      break;
    case TextKind::kDeviceRemoved:
      text += now + "Traced Device Removed\n";
      break;
    case TextKind::kContinued:
      text += now + "log continued" + (record.part != 0 ? ": " : " from ") +
              std::string(record.note) + "\n";
      break;
    default:
      break;
  }

  const std::vector<Connection>& connections = analysis_.Connections();
  if (seen_.size() < connections.size())
    seen_.resize(connections.size());
  for (uint32_t index : analysis_.RecordConnections()) {
    const Connection& c = connections[index];
    Seen& seen = seen_[index];
    for (size_t k = seen.steps; k < c.flow.size(); ++k) {
      const FlowStep& step = c.flow[k];
      text += CallHead(step.ms, c) + step.name;
      if (!step.detail.empty())
        text += " " + step.detail;
      std::string numbers = CallNumbersText(c);
      if (k == 0 && !numbers.empty())
        text += " " + numbers;
      text += "\n";
    }
    seen.steps = c.flow.size();
    if (c.ended && !seen.ended) {
      seen.ended = true;
      text += CallHead(c.endMs, c) + "call ended after " + CallDurationText(c) + ": " +
              (c.outcome.empty() ? std::string("ended") : c.outcome);
      if (c.b3Out != 0 || c.b3In != 0)
        text += "; DATA_B3 out " + std::to_string(c.b3Out) + " blocks " +
                std::to_string(c.b3OutBytes) + " bytes, in " + std::to_string(c.b3In) + " blocks " +
                std::to_string(c.b3InBytes) + " bytes";
      text += "\n";
    }
  }

  const std::vector<ErrorEntry>& errors = analysis_.Errors();
  for (size_t k = errorsSeen_; k < errors.size(); ++k) {
    const ErrorEntry& e = errors[k];
    std::string name = e.file >= 1 && e.file <= files_.size() ? files_[e.file - 1] : "?";
    text += ErrorText(e, name + ":" + std::to_string(e.line));
  }
  errorsSeen_ = errors.size();
  return text;
}

}  // namespace pellinorlog

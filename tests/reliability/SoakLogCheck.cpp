#include "tests/reliability/SoakLogCheck.h"

#include <algorithm>

#include "sim/CapiCodes.h"
#include "tools/pellinor-log/LogRecord.h"

namespace reliability {
namespace {

constexpr size_t kProblemsKept = 20;
constexpr uint32_t kMaxDump = 32;

}  // namespace

SoakLogCheck::SoakLogCheck(const std::vector<const SoakClient*>& clients, int64_t baseMs)
    : clients_(clients), baseMs_(baseMs), lastKey_(clients.size(), -1) {}

void SoakLogCheck::Problem(const pellinorlog::LogRecord& record, const std::string& what) {
  ++problemCount_;
  if (problems_.size() < kProblemsKept) {
    problems_.push_back("log piece " + std::to_string(pieces_) + ", line " +
                        std::to_string(record.contentLine) + ": " + what);
  }
}

void SoakLogCheck::Check(const std::string& log) {
  ++pieces_;
  bytes_ += log.size();
  const std::string piece = "log piece " + std::to_string(pieces_) + ": ";
  size_t lineNo = 1;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] != '\n')
      continue;
    if (i == 0 || log[i - 1] != '\r') {
      ++problemCount_;
      problems_.push_back(piece + "line " + std::to_string(lineNo) + " does not end in CR LF");
      break;
    }
    ++lineNo;
  }
  if (!log.empty() && log.back() != '\n') {
    ++problemCount_;
    problems_.push_back(piece + "the file ends inside a line");
  }
  pellinorlog::LogReader reader(*this);
  reader.Read(log);
  if (!pendingDumps_.empty()) {
    ++problemCount_;
    problems_.push_back(piece + "records of a trace device that never started");
    pendingDumps_.clear();
  }
  const pellinorlog::ReadStats& stats = reader.Stats();
  if (stats.unknownLines != 0) {
    ++problemCount_;
    problems_.push_back(piece + std::to_string(stats.unknownLines) +
                        " lines that belong to no record, the first at line " +
                        std::to_string(stats.firstUnknown.front().line));
  }
  if (stats.mismatchedMessages != 0) {
    ++problemCount_;
    problems_.push_back(
        piece + std::to_string(stats.mismatchedMessages) +
        " messages whose parameter lines are not their table's, the first at line " +
        std::to_string(stats.firstMismatched.front().line));
  }
}

void SoakLogCheck::OnRecord(const pellinorlog::LogRecord& record, std::string_view) {
  using pellinorlog::RecordKind;
  using pellinorlog::TextKind;
  if (record.truncated)
    Problem(record, "a record cut off by the end of the log");
  if (record.kind == RecordKind::kText) {
    switch (record.text) {
      case TextKind::kBanner:
        ++banners_;
        if (!pendingDumps_.empty())
          Problem(record, "records of a trace device that never started");
        pendingDumps_.clear();
        started_ = stopped_ = false;
        break;
      case TextKind::kStartTracing:
        ++starts_;
        if (!record.settings.valid)
          Problem(record, "a start block without its settings");
        previousB3Bytes_ = started_ ? b3Bytes_ : record.settings.b3Bytes;
        b3Bytes_ = record.settings.b3Bytes;
        started_ = true;
        stopped_ = false;
        for (const PendingDump& dump : pendingDumps_) {
          CheckDump(record, dump.what, dump.dumped, dump.payload);
        }
        pendingDumps_.clear();
        break;
      case TextKind::kStopTracing:
        ++stops_;
        stopped_ = true;
        break;
      case TextKind::kRecordsLost:
        lost_ += record.lost;
        break;
      case TextKind::kDeviceRemoved:
        ++removals_;
        if (!started_ || stopped_)
          Problem(record, "a removal told while not tracing");
        break;
      case TextKind::kTargetQuery:
      case TextKind::kController:
      case TextKind::kTotal:
        break;
      default:
        Problem(record, "a text block the driver does not write here");
        break;
    }
    return;
  }
  if (record.kind == RecordKind::kRequest)
    ++requests_;
  if (record.kind == RecordKind::kCompletion)
    ++completions_;
  if (record.kind == RecordKind::kMessages)
    ++messageOnly_;
  if (!record.stamp.valid)
    Problem(record, "a record without its time stamp");
  // A trace device switches tracing on before it queues its "Start
  // Tracing" block, and off before it queues "Stop Tracing": a request
  // captured in between stands on the other side of the block in the log.
  // Counted and printed, not taken for a fault.
  beforeStart_ += !started_;
  afterStop_ += stopped_;
  if (record.kind == RecordKind::kCompletion) {
    if (!record.hasStatus) {
      Problem(record, "a completion without its status line");
    } else if (record.status != 0) {
      // Every request of the clients succeeds; the trace must show that.
      Problem(record, "a completion with status " + std::to_string(record.status));
    }
  }
  if (record.invalidMessage || record.invalidInput || record.invalidOutput || record.textCut) {
    Problem(record, "a record that calls a valid request's buffers invalid or cut");
  }
  if (record.messages.size() > 1)
    Problem(record, "a record with more than one message");
  if (record.kind == RecordKind::kRequest)
    CheckRequestBuffers(record);
  if (record.kind == RecordKind::kCompletion)
    CheckCompletionBuffers(record);
  for (const pellinorlog::MessageView& message : record.messages) CheckMessage(record, message);
}

// The buffers of the I/O controls going down, as the clients fill them.
// Of a kernel-mode caller's internal I/O control only a parameter block of
// at least 8 bytes is captured: its controller number is not in the trace.
void SoakLogCheck::CheckRequestBuffers(const pellinorlog::LogRecord& record) {
  const std::string_view function = record.function;
  if (function == "CAPI_REGISTER") {
    const uint32_t expected[4] = {3072, 2, 7, 2048};
    if (!record.hasRegister || !std::equal(expected, expected + 4, record.registerParams)) {
      Problem(record, "CAPI_REGISTER without its four parameters as sent");
    }
  } else if (record.userMode && (function == "CAPI_GET_VERSION" || function == "CAPI_GET_SERIAL" ||
                                 function == "CAPI_GET_PROFILE")) {
    if (!record.hasController || record.controller != 1) {
      Problem(record, std::string(function) + " without controller 1");
    }
  }
}

// The answers of the information I/O controls and of the registration, as
// the device gives them. The answer of a kernel-mode caller's internal I/O
// control lies at its UserBuffer, which is not captured: only its
// information is in the trace.
void SoakLogCheck::CheckCompletionBuffers(const pellinorlog::LogRecord& record) {
  const std::string_view function = record.function;
  const uint32_t information = record.information;
  const bool user = record.userMode;
  bool ok = true;
  if (function == "CAPI_REGISTER") {
    ok = information == 4 && (!user || (record.hasApplId && record.applId != 0));
  } else if (function == "CAPI_GET_MANUFACTURER") {
    ok = information == sim::kManufacturerBytes &&
         (!user || record.manufacturer == "Pellinor CAPI 2.0 simulator");
  } else if (function == "CAPI_GET_SERIAL") {
    ok = information == sim::kSerialBytes && (!user || record.serial == "0000001");
  } else if (function == "CAPI_GET_VERSION") {
    ok = information == sim::kVersionBytes;
  } else if (function == "CAPI_GET_PROFILE") {
    ok = information == sim::kProfileBytes;
  } else if (function == "CAPI_MANUFACTURER" || function == "CAPI_RELEASE") {
    ok = information == 0;
  }
  if (!ok)
    Problem(record, "the completion of " + std::string(function) + " not as answered");
}

void SoakLogCheck::CheckMessage(const pellinorlog::LogRecord& record,
                                const pellinorlog::MessageView& message) {
  if (!message.complete || message.cut || message.entry == nullptr) {
    Problem(record, "message " + std::string(message.name) + " not whole");
    return;
  }
  if (message.subcommand != sim::kReq && message.subcommand != sim::kConf)
    return;
  // Only the clients put REQs, each numbered in its own sequence; the
  // device's CONF carries its REQ's number.
  const unsigned index = message.number >> kSoakSequenceBits;
  const uint32_t low = message.number & (kSoakSequenceSpan - 1);
  if (index >= clients_.size()) {
    Problem(record, "a message number of no client: " + std::to_string(message.number));
    return;
  }
  const int64_t at = record.stamp.ms - baseMs_;
  // The turn of the sequence: the one message with this number that the
  // client had under way when the record was captured. Turns are 8192
  // messages apart, which no client sends within a millisecond.
  uint64_t found = 0;
  SoakSentMessage mine;
  const unsigned matches = clients_[index]->Find(low, at, &found, &mine);
  const std::string what = std::string(message.name) + " number " + std::to_string(message.number) +
                           " of client " + std::to_string(index);
  if (matches != 1) {
    Problem(record, what + (matches == 0 ? " that the client did not have under way then"
                                         : " that more than one message of the client fits"));
    return;
  }
  if (message.command != mine.command || message.appl != mine.applId) {
    Problem(record, what + ": the client sent command " + std::to_string(mine.command) +
                        " of application " + std::to_string(mine.applId));
    return;
  }
  const int64_t key = 2 * int64_t(found) + (message.subcommand == sim::kConf ? 1 : 0);
  if (key <= lastKey_[index]) {
    Problem(record, what + " (sequence " + std::to_string(found) + ") after the " +
                        (lastKey_[index] % 2 != 0 ? "CONF" : "REQ") + " of sequence " +
                        std::to_string(lastKey_[index] / 2) + " of the same client");
  }
  lastKey_[index] = std::max(lastKey_[index], key);
  ++ordered_;
  if (message.command == sim::kDataB3 && message.subcommand == sim::kReq) {
    if (started_) {
      CheckDump(record, what, message.payloadBytes, mine.payload);
    } else {
      pendingDumps_.push_back(PendingDump{what, message.payloadBytes, mine.payload});
    }
  }
}

// A DATA_B3_REQ dumps as much of its payload as the settings it was
// captured with allow: those of the last start block, or of the one before
// it when the record was captured as a restart changed them.
void SoakLogCheck::CheckDump(const pellinorlog::LogRecord& record, const std::string& what,
                             uint32_t dumped, uint32_t payload) {
  const uint32_t now = std::min({b3Bytes_, kMaxDump, payload});
  const uint32_t before = std::min({previousB3Bytes_, kMaxDump, payload});
  if (dumped != now && dumped != before) {
    Problem(record, what + ": a dump of " + std::to_string(dumped) + " payload bytes, expected " +
                        std::to_string(now));
  }
}

}  // namespace reliability

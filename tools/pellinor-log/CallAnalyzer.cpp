#include "tools/pellinor-log/CallAnalyzer.h"

#include "capi/CapiTables.h"
#include "tools/common/Digits.h"
#include "tools/pellinor-log/CapiExplain.h"

#include <algorithm>
#include <cstdio>

namespace pellinorlog {
namespace {

using pellinortools::HexDigit;

// Parameter codes of the decoder's table that the analysis reads.
constexpr uint8_t kParamAddress = 0x03;
constexpr uint8_t kParamCalledNumber = 0x0E;
constexpr uint8_t kParamCallingNumber = 0x10;
constexpr uint8_t kParamDataLength = 0x1A;
constexpr uint8_t kParamInfo = 0x24;
constexpr uint8_t kParamReason = 0x2D;
constexpr uint8_t kParamReasonB3 = 0x2E;
constexpr uint8_t kParamReject = 0x2F;
static_assert(CapiParamLookup(kParamAddress).type == ParamDword &&
                  CapiParamLookup(kParamCalledNumber).type == ParamStruct &&
                  CapiParamLookup(kParamCallingNumber).type == ParamStruct &&
                  CapiParamLookup(kParamDataLength).type == ParamWord &&
                  CapiParamLookup(kParamInfo).type == ParamWord &&
                  CapiParamLookup(kParamReason).type == ParamWord &&
                  CapiParamLookup(kParamReasonB3).type == ParamWord &&
                  CapiParamLookup(kParamReject).type == ParamWord,
              "the codes name the parameters the analysis reads");

// Commands.
constexpr uint8_t kAlert = 0x01;
constexpr uint8_t kConnect = 0x02;
constexpr uint8_t kConnectActive = 0x03;
constexpr uint8_t kDisconnect = 0x04;
constexpr uint8_t kSelectBProtocol = 0x41;
constexpr uint8_t kConnectB3 = 0x82;
constexpr uint8_t kConnectB3Active = 0x83;
constexpr uint8_t kDisconnectB3 = 0x84;
constexpr uint8_t kDataB3 = 0x86;
constexpr uint8_t kResetB3 = 0x87;
constexpr uint8_t kConnectB3T90Active = 0x88;

constexpr uint8_t kReq = 0x80;
constexpr uint8_t kConf = 0x81;
constexpr uint8_t kInd = 0x82;
constexpr uint8_t kResp = 0x83;

bool BelongsToConnection(uint8_t command) {
  switch (command) {
    case kAlert:
    case kConnect:
    case kConnectActive:
    case kDisconnect:
    case kSelectBProtocol:
    case kConnectB3:
    case kConnectB3Active:
    case kDisconnectB3:
    case kDataB3:
    case kResetB3:
    case kConnectB3T90Active:
      return true;
    default:
      return false;
  }
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

uint64_t Key(uint32_t session, uint32_t appl, uint32_t a = 0, uint32_t b = 0) {
  return uint64_t(session & 0xFFFF) << 48 | uint64_t(appl & 0xFFFF) << 32 |
         uint64_t(a & 0xFFFF) << 16 | uint64_t(b & 0xFFFF);
}

}  // namespace

std::string StructBytes(std::string_view text) {
  std::string bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '<') {
      bytes.push_back(text[i++]);
      continue;
    }
    // A hex run: "<xx xx ...>"
    ++i;
    while (i + 1 < text.size() && HexDigit(text[i]) >= 0 && HexDigit(text[i + 1]) >= 0) {
      bytes.push_back(char(HexDigit(text[i]) << 4 | HexDigit(text[i + 1])));
      i += 2;
      if (i < text.size() && text[i] == ' ')
        ++i;
    }
    if (i < text.size() && text[i] == '>')
      ++i;
  }
  return bytes;
}

std::string PartyNumber(std::string_view text) {
  if (text == "default" || text.empty())
    return std::string();
  std::string bytes = StructBytes(text);
  size_t skip = 1;
  if (!bytes.empty() && (uint8_t(bytes[0]) & 0x80) == 0)
    skip = 2;
  if (bytes.size() <= skip)
    return std::string();
  std::string digits;
  for (size_t i = skip; i < bytes.size(); ++i) {
    unsigned char c = uint8_t(bytes[i]);
    if (c >= 0x20 && c < 0x7F) {
      digits.push_back(char(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "<%02x>", c);
      digits += hex;
    }
  }
  return digits;
}

Session& CallAnalyzer::CurrentSession(const LogRecord& record) {
  // A generation read alone: its part line opened the session, and the
  // banner it repeats belongs to that session.
  if (record.repeated && record.text == TextKind::kBanner && !sessions_.empty() &&
      !sessions_.back().banner && sessions_.back().continuedPart != 0 &&
      sessions_.back().records <= 2) {
    sessions_.back().banner = true;
    return sessions_.back();
  }
  if (sessions_.empty() || record.text == TextKind::kBanner) {
    // A banner that follows a session made only of its own query is no
    // new device; anything else after a banner is.
    Session s;
    s.number = uint32_t(sessions_.size() + 1);
    s.banner = record.text == TextKind::kBanner;
    s.file = record.file + 1;
    s.line = record.contentLine;
    sessions_.push_back(s);
  }
  return sessions_.back();
}

Application& CallAnalyzer::FindApplication(uint32_t appl) {
  uint32_t session = sessions_.back().number;
  auto it = applIndex_.find(Key(session, appl));
  if (it != applIndex_.end())
    return applications_[it->second];
  Application a;
  a.session = session;
  a.appl = appl;
  applications_.push_back(a);
  applIndex_[Key(session, appl)] = uint32_t(applications_.size() - 1);
  return applications_.back();
}

void CallAnalyzer::Error(const LogRecord& record, int64_t appl, std::string what,
                         std::string explanation) {
  ErrorEntry e;
  e.ms = nowMs_;
  e.hasTime = hasTime_;
  e.file = record.file + 1;
  e.line = record.contentLine;
  e.session = sessions_.back().number;
  e.appl = appl;
  e.what = std::move(what);
  e.explanation = std::move(explanation);
  errors_.push_back(std::move(e));
}

void CallAnalyzer::NoteSlow(const SlowConfirmation& s) {
  if (slowest_.size() == kSlowestKept && s.durationMs <= slowest_.back().durationMs)
    return;
  auto at = std::upper_bound(slowest_.begin(), slowest_.end(), s,
                             [](const SlowConfirmation& a, const SlowConfirmation& b) {
                               return a.durationMs > b.durationMs;
                             });
  slowest_.insert(at, s);
  if (slowest_.size() > kSlowestKept)
    slowest_.pop_back();
}

void CallAnalyzer::OnRecord(const LogRecord& record, std::string_view) {
  file_ = record.file + 1;
  Session& session = CurrentSession(record);
  session.records += 1;
  // A repeated text's stamp is older than the repeat: no clock step.
  if (record.stamp.valid && !record.repeated) {
    if (session.hasTime && record.stamp.ms <= session.lastMs - kClockStepMs) {
      ClockStep step;
      step.session = session.number;
      step.file = record.file + 1;
      step.line = record.contentLine;  // the stamp's line
      step.fromMs = session.lastMs;
      step.toMs = record.stamp.ms;
      clockSteps_.push_back(step);
      session.clockSteps += 1;
    }
    hasTime_ = true;
    nowMs_ = record.stamp.ms;
    if (!session.hasTime) {
      session.hasTime = true;
      session.firstMs = nowMs_;
    }
    session.lastMs = nowMs_;
  }
  recordAppls_.clear();
  recordConnections_.clear();

  switch (record.text) {
    case TextKind::kBanner:
      session.target = std::string(record.target);
      session.buildDate = std::string(record.buildDate);
      break;
    case TextKind::kTargetQuery:
      session.manufacturer = std::string(record.manufacturer);
      session.controllers = record.controllers;
      break;
    case TextKind::kController:
      if (record.queryError) {
        session.queryErrors += 1;
        Error(record, -1,
              "target query, controller " + std::to_string(record.controllerNumber) + ": " +
                  Hex(record.status, 8) + " " + std::string(record.statusName),
              "the traced device did not answer the query");
      }
      break;
    case TextKind::kTotal:
      session.bChannels = record.bChannels;
      break;
    case TextKind::kStartTracing: {
      StartEntry s;
      s.ms = record.repeated && record.stamp.valid ? record.stamp.ms : nowMs_;
      s.steps = uint32_t(clockSteps_.size());
      s.hasTime = record.stamp.valid;
      s.settings = record.settings;
      session.starts.push_back(s);
      break;
    }
    case TextKind::kStopTracing:
      if (!session.starts.empty() && !session.starts.back().stopped) {
        session.starts.back().stopped = true;
        session.starts.back().stopMs = nowMs_;
        session.starts.back().stopSteps = uint32_t(clockSteps_.size());
      }
      break;
    case TextKind::kDeviceRemoved:
      session.removed = true;
      session.removedHasTime = record.stamp.valid;
      session.removedMs = nowMs_;
      break;
    case TextKind::kRecordsLost:
      session.lost += record.lost;
      session.lostNotices += 1;
      lost_ += record.lost;
      Error(record, -1, "*** " + std::to_string(record.lost) + " trace records lost ***",
            "the driver could not record these requests or completions (out of memory or disk "
            "full); the log misses them");
      break;
    case TextKind::kContinued:
      if (session.continuedFrom.empty()) {
        session.continuedFrom = std::string(record.note);
        session.continuedPart = record.part;
      }
      break;
    case TextKind::kNotKept:
      Error(record, -1, "older generation not kept, could not rename: " + std::string(record.note),
            "an older generation of the log was replaced: its part is lost");
      break;
    case TextKind::kLimitReached:
      Error(record, -1, "log limit reached, could not rename: " + std::string(record.note),
            "the log file grows past its size limit");
      break;
    default:
      break;
  }

  // Requests and completions of the CAPI functions.
  if (record.kind == RecordKind::kRequest || record.kind == RecordKind::kCompletion) {
    // Which application a file object belongs to matters for registering,
    // releasing, failures and for grep; the busy rest goes without it.
    bool failed =
        record.kind == RecordKind::kCompletion && record.hasStatus && int32_t(record.status) < 0;
    bool lookUp = trackFileObjects_ || failed || record.function == "CAPI_REGISTER" ||
                  record.function == "CAPI_RELEASE" || record.invalidInput ||
                  record.invalidOutput || record.invalidMessage;
    std::string fileObject;
    int64_t appl = -1;
    if (lookUp) {
      fileObject = std::string(record.fileObject);
      auto known = fileObjects_.find({session.number, fileObject});
      if (known != fileObjects_.end())
        appl = known->second;
    }
    if (record.kind == RecordKind::kRequest && record.function == "CAPI_REGISTER" &&
        record.hasRegister) {
      registering_[{session.number, std::string(record.fileObject), std::string(record.irp)}] = {
          record.registerParams[0], record.registerParams[1], record.registerParams[2],
          record.registerParams[3]};
    }
    if (record.kind == RecordKind::kCompletion) {
      if (record.function == "CAPI_REGISTER" && failed)
        registering_.erase({session.number, std::string(record.fileObject), std::string(record.irp)});
      if (record.function == "CAPI_REGISTER" && !failed) {
        Unnamed reg;
        reg.ms = nowMs_;
        auto params = registering_.find(
            {session.number, std::string(record.fileObject), std::string(record.irp)});
        if (params != registering_.end()) {
          reg.hasParams = true;
          std::copy(params->second.begin(), params->second.end(), reg.params);
          registering_.erase(params);
        }
        if (record.hasApplId) {
          appl = record.applId;
          Registered(record.applId, fileObject, reg);
        } else {
          // A kernel-mode caller's ApplID is not in the log: the first
          // message on its file object tells it.
          unnamed_[{session.number, fileObject}] = reg;
        }
      }
      if (record.function == "CAPI_RELEASE" && !failed && appl >= 0) {
        Application& a = FindApplication(uint32_t(appl));
        a.released = true;
        a.releaseMs = nowMs_;
        fileObjects_.erase({session.number, fileObject});
      }
      if (failed) {
        std::string what = "COMPLETION " + std::string(record.function) + " " +
                           Hex(record.status, 8) + " " + std::string(record.statusName);
        std::string why = record.capiError != 0 ? "CAPI error " + Hex(record.capiError, 4) + ": " +
                                                      ExplainInfo(record.capiError)
                                                : std::string("no CAPI error");
        Error(record, appl, what, why);
      }
    }
    if (appl >= 0)
      recordAppls_.push_back(uint32_t(appl));
    if (record.invalidInput)
      Error(record, appl, std::string(record.function) + ": invalid InputBuffer",
            "the parameter block is shorter than 8 bytes");
    if (record.invalidOutput)
      Error(record, appl, std::string(record.function) + ": invalid OutputBuffer",
            "no message came back in the parameter block");
  }
  if (record.invalidMessage) {
    Error(record, recordAppls_.empty() ? -1 : int64_t(recordAppls_.front()), "invalid CAPI message",
          "the captured bytes do not cover the message's length (and payload); the log shows "
          "them raw");
  }
  if (!unnamed_.empty() && !record.messages.empty() &&
      (record.kind == RecordKind::kRequest || record.kind == RecordKind::kCompletion)) {
    auto it = unnamed_.find({session.number, std::string(record.fileObject)});
    if (it != unnamed_.end()) {
      Unnamed reg = it->second;
      unnamed_.erase(it);
      Registered(record.messages.front().appl, std::string(record.fileObject), reg);
    }
  }
  for (const MessageView& m : record.messages) {
    session.messages += 1;
    recordAppls_.push_back(m.appl);
    Message(record, m);
  }
}

bool CallAnalyzer::Registering(const std::string& fileObject) const {
  uint32_t session = CurrentSessionNumber();
  if (unnamed_.count({session, fileObject}) != 0)
    return true;
  auto it = registering_.lower_bound({session, fileObject, std::string()});
  return it != registering_.end() && std::get<0>(it->first) == session &&
         std::get<1>(it->first) == fileObject;
}

int64_t CallAnalyzer::ApplicationOf(uint32_t session, const std::string& fileObject) const {
  auto it = fileObjects_.find({session, fileObject});
  return it != fileObjects_.end() ? int64_t(it->second) : -1;
}

void CallAnalyzer::Registered(uint32_t appl, const std::string& fileObject, const Unnamed& reg) {
  uint32_t session = sessions_.back().number;
  // An ApplID given again after its release is a new application.
  auto it = applIndex_.find(Key(session, appl));
  if (it != applIndex_.end() && applications_[it->second].released)
    applIndex_.erase(it);
  Application& a = FindApplication(appl);
  a.registered = true;
  a.registerMs = reg.ms;
  a.fileObject = fileObject;
  if (reg.hasParams) {
    a.hasRegisterParams = true;
    std::copy(reg.params, reg.params + 4, a.registerParams);
  }
  fileObjects_[{session, fileObject}] = appl;
}

int64_t CallAnalyzer::ConnectionFor(uint32_t appl, uint32_t plci, bool create,
                                    const LogRecord& record) {
  uint32_t session = sessions_.back().number;
  auto it = plciIndex_.find(Key(session, appl, plci));
  if (it != plciIndex_.end())
    return it->second;
  if (!create)
    return -1;
  Connection c;
  c.session = session;
  c.appl = appl;
  c.plci = plci;
  c.startMs = nowMs_;
  c.startSteps = c.endSteps = uint32_t(clockSteps_.size());
  c.file = record.file + 1;
  c.line = record.contentLine;
  connections_.push_back(c);
  uint32_t index = uint32_t(connections_.size() - 1);
  plciIndex_[Key(session, appl, plci)] = index;
  FindApplication(appl).connections.push_back(index);
  return index;
}

void CallAnalyzer::Step(Connection& c, const MessageView& m, std::string detail) {
  FlowStep s;
  s.ms = nowMs_;
  s.name = m.entry->name;
  s.detail = std::move(detail);
  c.flow.push_back(std::move(s));
  c.endSteps = uint32_t(clockSteps_.size());
}

void CallAnalyzer::Touched(int64_t index) {
  if (std::find(recordConnections_.begin(), recordConnections_.end(), uint32_t(index)) ==
      recordConnections_.end())
    recordConnections_.push_back(uint32_t(index));
}

void CallAnalyzer::Message(const LogRecord& record, const MessageView& m) {
  Application& app = FindApplication(m.appl);
  bool out = m.subcommand == kReq || m.subcommand == kResp;
  (out ? app.messagesOut : app.messagesIn) += 1;
  if (m.entry == nullptr)
    return;
  const std::vector<ParamValue>& params = record.params;
  const ParamValue* address = m.Find(params, kParamAddress);
  if (address == nullptr || !address->number)
    return;
  uint32_t session = sessions_.back().number;
  const ParamValue* info = m.Find(params, kParamInfo);

  // Requests wait for their confirmation, which carries the same number.
  int64_t pendingConnection = -1;
  if (m.subcommand == kReq) {
    Pending p;
    p.ms = nowMs_;
    p.name = m.entry->name;
    p.file = record.file + 1;
    p.line = m.line;
    p.steps = uint32_t(clockSteps_.size());
    pending_[Key(session, m.appl, m.command, m.number)] = p;
  } else if (m.subcommand == kConf) {
    auto it = pending_.find(Key(session, m.appl, m.command, m.number));
    if (it != pending_.end()) {
      pendingConnection = it->second.connection;
      int64_t duration = nowMs_ - it->second.ms;
      bool known = it->second.steps == clockSteps_.size() && duration >= 0;
      if (known && (slowest_.size() < kSlowestKept || duration > slowest_.back().durationMs)) {
        SlowConfirmation s;
        s.durationMs = duration;
        s.requestMs = it->second.ms;
        s.session = session;
        s.appl = m.appl;
        s.number = m.number;
        s.request = it->second.name;
        s.file = it->second.file;
        s.line = it->second.line;
        NoteSlow(s);
      }
      pending_.erase(it);
    }
    if (info != nullptr && info->number && info->value != 0) {
      std::string what = std::string(m.name) + " Info " + Hex(info->value, 4);
      if ((address->value & 0xFF00) != 0)
        what += ", PLCI " + Hex(address->value & 0xFFFF, 4);
      Error(record, m.appl, what, ExplainInfo(uint16_t(info->value)));
    }
  }

  if (!BelongsToConnection(m.command))
    return;
  uint32_t plci = address->value & 0xFFFF;
  int64_t index = -1;
  if (m.command == kConnect && m.subcommand == kReq) {
    // The PLCI comes with the confirmation.
    Connection c;
    c.session = session;
    c.appl = m.appl;
    c.direction = Connection::kOutgoing;
    c.startMs = nowMs_;
    c.startSteps = c.endSteps = uint32_t(clockSteps_.size());
    c.file = record.file + 1;
    c.line = m.line;
    if (const ParamValue* p = m.Find(params, kParamCalledNumber))
      c.called = PartyNumber(p->text);
    if (const ParamValue* p = m.Find(params, kParamCallingNumber))
      c.calling = PartyNumber(p->text);
    connections_.push_back(c);
    index = int64_t(connections_.size() - 1);
    app.connections.push_back(uint32_t(index));
    pending_[Key(session, m.appl, m.command, m.number)].connection = index;
    Touched(index);
    Step(connections_[size_t(index)], m, std::string());
    return;
  }
  if (m.command == kConnect && m.subcommand == kConf && pendingConnection >= 0) {
    index = pendingConnection;
    Connection& c = connections_[size_t(index)];
    c.plci = plci;
    if ((plci & 0xFF00) != 0)
      plciIndex_[Key(session, m.appl, plci)] = uint32_t(index);
  } else if (m.command == kConnect && m.subcommand == kInd) {
    // A new call on this PLCI, even if an earlier one used it.
    plciIndex_.erase(Key(session, m.appl, plci));
    index = ConnectionFor(m.appl, plci, true, record);
    Connection& c = connections_[size_t(index)];
    c.direction = Connection::kIncoming;
    c.line = m.line;
    if (const ParamValue* p = m.Find(params, kParamCalledNumber))
      c.called = PartyNumber(p->text);
    if (const ParamValue* p = m.Find(params, kParamCallingNumber))
      c.calling = PartyNumber(p->text);
  } else {
    if ((plci & 0xFF00) == 0)
      return;  // addressed to the controller only
    index = ConnectionFor(m.appl, plci, true, record);
  }
  Touched(index);
  Connection& c = connections_[size_t(index)];
  if (c.line == 0 || c.flow.empty())
    c.line = m.line;

  uint32_t ncci = address->value;
  if ((ncci & 0xFFFF0000) != 0 && std::find(c.nccis.begin(), c.nccis.end(), ncci) == c.nccis.end())
    c.nccis.push_back(ncci);

  if (m.command == kDataB3) {
    const ParamValue* length = m.Find(params, kParamDataLength);
    uint32_t bytes = length != nullptr && length->number ? length->value : 0;
    if (m.subcommand == kReq) {
      c.b3Out += 1;
      c.b3OutBytes += bytes;
    } else if (m.subcommand == kInd) {
      c.b3In += 1;
      c.b3InBytes += bytes;
    }
    return;  // DATA_B3 is counted, not listed in the flow
  }

  std::string detail;
  if (info != nullptr && info->number)
    detail = "Info " + Hex(info->value, 4);
  if (m.command == kConnect && m.subcommand == kConf) {
    if (info != nullptr && info->number && info->value >= 0x1000) {
      // Info values of class 0x00xx still accept the request.
      c.ended = true;
      c.failed = true;
      c.endMs = nowMs_;
      c.endSteps = uint32_t(clockSteps_.size());
      c.outcome =
          "connect failed, Info " + Hex(info->value, 4) + ": " + ExplainInfo(uint16_t(info->value));
    }
  } else if (m.command == kConnect && m.subcommand == kResp) {
    if (const ParamValue* reject = m.Find(params, kParamReject);
        reject != nullptr && reject->number) {
      detail = "Reject " + std::to_string(reject->value);
      if (reject->value != 0)
        c.outcome = "rejected, Reject " + std::to_string(reject->value) + ": " +
                    ExplainReject(uint16_t(reject->value));
    }
  } else if (m.command == kConnectActive && m.subcommand == kInd) {
    c.active = true;
    c.activeMs = nowMs_;
  } else if (m.command == kDisconnect && m.subcommand == kReq) {
    if (!c.ended)
      c.clearedByApplication = true;
  } else if (m.command == kDisconnectB3 && m.subcommand == kInd) {
    const ParamValue* reason = m.Find(params, kParamReasonB3);
    if (reason != nullptr && reason->number) {
      detail = "Reason_B3 " + Hex(reason->value, 4);
      if (reason->value != 0)
        Error(record, m.appl,
              "DISCONNECT_B3_IND Reason_B3 " + Hex(reason->value, 4) + ", NCCI " +
                  Hex(address->value, 8),
              ExplainReasonB3(uint16_t(reason->value)));
    }
  } else if (m.command == kDisconnect && m.subcommand == kInd) {
    const ParamValue* reason = m.Find(params, kParamReason);
    uint16_t value = reason != nullptr && reason->number ? uint16_t(reason->value) : 0;
    if (reason != nullptr)
      detail = "Reason " + Hex(value, 4);
    bool wasFailed = c.failed;
    c.endMs = nowMs_;
    c.endSteps = uint32_t(clockSteps_.size());
    c.ended = true;
    bool normal = IsNormalReason(value);
    if (!wasFailed && c.outcome.empty()) {
      std::string who =
          c.clearedByApplication ? "cleared by the application" : "cleared by the network";
      c.outcome = std::string(normal ? "" : "failed, ") + who + ", Reason " + Hex(value, 4) + ": " +
                  ExplainReason(value);
      c.failed = !normal;
    }
    if (!normal)
      Error(record, m.appl, "DISCONNECT_IND Reason " + Hex(value, 4) + ", PLCI " + Hex(plci, 4),
            ExplainReason(value));
  }
  if (ncci != plci && (m.command == kConnectB3 || m.command == kConnectB3Active ||
                       m.command == kDisconnectB3 || m.command == kConnectB3T90Active)) {
    if (!detail.empty())
      detail += ", ";
    detail += "NCCI " + Hex(ncci, 8);
  }
  // Responses only acknowledge what the indication said; CONNECT_RESP alone
  // carries a decision.
  if (m.subcommand != kResp || m.command == kConnect)
    Step(c, m, std::move(detail));
}

void CallAnalyzer::Finish() {
  for (const auto& [key, p] : pending_) {
    ErrorEntry e;
    e.ms = p.ms;
    e.hasTime = true;
    e.file = p.file;
    e.line = p.line;
    e.session = uint32_t(key >> 48);
    e.appl = int64_t((key >> 32) & 0xFFFF);
    e.what = std::string(p.name) + " MsgNr " + std::to_string(key & 0xFFFF) + " never confirmed";
    e.explanation = "no confirmation with this message number follows in the log";
    errors_.push_back(std::move(e));
  }
  pending_.clear();
  std::stable_sort(errors_.begin(), errors_.end(), [](const ErrorEntry& a, const ErrorEntry& b) {
    return a.file != b.file ? a.file < b.file : a.line < b.line;
  });
  for (Connection& c : connections_) {
    if (c.outcome.empty())
      c.outcome = c.ended ? "ended" : "still open at the end of the log";
  }
}

}  // namespace pellinorlog

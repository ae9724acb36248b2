// Follows the records of a log as the CAPI traffic they show: trace
// sessions and their starts and stops, applications from CAPI_REGISTER to
// CAPI_RELEASE, connections (PLCI, NCCI) from CONNECT to DISCONNECT with
// their flow and outcome, DATA_B3 counts, request-to-confirmation times and
// every error with its explanation.
#pragma once

#include "tools/pellinor-log/LogReader.h"
#include "tools/pellinor-log/LogRecord.h"

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace pellinorlog {

// Durations are counted from one time stamp to another. Where the clock was
// set back between them (a stamp earlier by kClockStepMs or more than the
// one before it), or the difference would be negative, they are not known,
// and the report says so instead of computing through the step. Counts of
// the steps so far mark each end of a duration.
inline constexpr int64_t kClockStepMs = 1000;

struct ClockStep {
  uint32_t session = 0;
  uint32_t file = 0;
  uint32_t line = 0;
  int64_t fromMs = 0;  // the stamp before the step
  int64_t toMs = 0;    // the stamp after it
};

struct StartEntry {
  int64_t ms = 0;
  bool hasTime = false;
  SettingsView settings;
  bool stopped = false;
  int64_t stopMs = 0;
  uint32_t steps = 0;  // clock steps before the start, and before the stop
  uint32_t stopSteps = 0;
};

struct Session {
  uint32_t number = 0;  // 1, 2, ...
  bool banner = false;  // begins with the driver's banner (else: the log's start)
  uint32_t file = 0;    // where it begins
  uint32_t line = 0;
  std::string target;
  std::string buildDate;
  std::string manufacturer;
  std::string continuedFrom;   // of a fresh file: "part N of the log begun T", or an older NAME
  uint32_t continuedPart = 0;  // N; 0 for an older driver's "continued from NAME"
  int32_t controllers = -1;
  int32_t bChannels = -1;
  uint32_t queryErrors = 0;
  std::vector<StartEntry> starts;
  bool hasTime = false;
  int64_t firstMs = 0;
  int64_t lastMs = 0;
  uint64_t records = 0;
  uint64_t messages = 0;
  uint64_t lost = 0;  // records the driver reported lost
  uint32_t lostNotices = 0;
  uint32_t clockSteps = 0;  // in this session
  // The traced device's Plug and Play removal, when the log tells one.
  bool removed = false;
  bool removedHasTime = false;
  int64_t removedMs = 0;
};

struct FlowStep {
  int64_t ms = 0;
  const char* name = "";  // "CONNECT_CONF", the decoder's table entry's name
  std::string detail;     // "Info 0x0000", "Reason 0x3490", "NCCI 0x00010101"
};

struct Connection {
  enum Direction : uint8_t { kUnknown, kOutgoing, kIncoming };

  uint32_t session = 0;
  uint32_t appl = 0;  // ApplID
  uint32_t plci = 0;  // controller and PLCI, 0x0101; 0 until CONNECT_CONF
  Direction direction = kUnknown;
  std::string called;
  std::string calling;
  int64_t startMs = 0;
  int64_t activeMs = 0;
  int64_t endMs = 0;
  bool active = false;  // CONNECT_ACTIVE_IND came
  bool ended = false;   // DISCONNECT_IND came, or the connect failed
  bool failed = false;
  bool clearedByApplication = false;  // DISCONNECT_REQ before DISCONNECT_IND
  std::string outcome;
  std::vector<uint32_t> nccis;
  std::vector<FlowStep> flow;
  uint64_t b3Out = 0;
  uint64_t b3OutBytes = 0;
  uint64_t b3In = 0;
  uint64_t b3InBytes = 0;
  uint32_t file = 0;
  uint32_t line = 0;
  uint32_t startSteps = 0;  // clock steps before its first message, and before its last
  uint32_t endSteps = 0;
};

struct Application {
  uint32_t session = 0;
  uint32_t appl = 0;
  std::string fileObject;
  bool registered = false;  // its CAPI_REGISTER completion is in the log
  int64_t registerMs = 0;
  uint32_t registerParams[4] = {0, 0, 0, 0};
  bool hasRegisterParams = false;
  bool released = false;
  int64_t releaseMs = 0;
  uint64_t messagesOut = 0;
  uint64_t messagesIn = 0;
  std::vector<uint32_t> connections;  // indexes into CallAnalyzer::Connections
};

struct ErrorEntry {
  int64_t ms = 0;
  bool hasTime = false;
  uint32_t file = 0;
  uint32_t line = 0;
  uint32_t session = 0;
  int64_t appl = -1;        // -1: no application known
  std::string what;         // "COMPLETION CAPI_REGISTER 0xC0000023 STATUS_BUFFER_TOO_SMALL"
  std::string explanation;  // "CAPI error 0x1004: message buffer size too small, ..."
};

struct SlowConfirmation {
  int64_t durationMs = 0;
  int64_t requestMs = 0;
  uint32_t session = 0;
  uint32_t appl = 0;
  uint32_t number = 0;
  const char* request = "";  // "DATA_B3_REQ", the decoder's table entry's name
  uint32_t file = 0;
  uint32_t line = 0;
};

class CallAnalyzer : public LogSink {
 public:
  static constexpr size_t kSlowestKept = 5;

  CallAnalyzer() = default;
  CallAnalyzer(const CallAnalyzer&) = delete;
  CallAnalyzer& operator=(const CallAnalyzer&) = delete;

  void OnRecord(const LogRecord& record, std::string_view raw) override;
  // Looks up every request's file object, so that RecordApplications knows
  // the application of blocks without messages too (grep --appl).
  void TrackFileObjects() { trackFileObjects_ = true; }
  // After the last file: requests still waiting for their confirmation
  // become errors, and the errors are put in log order.
  void Finish();

  const std::vector<Session>& Sessions() const { return sessions_; }
  const std::vector<Application>& Applications() const { return applications_; }
  const std::vector<Connection>& Connections() const { return connections_; }
  const std::vector<ErrorEntry>& Errors() const { return errors_; }
  const std::vector<SlowConfirmation>& Slowest() const { return slowest_; }
  uint64_t LostRecords() const { return lost_; }
  const std::vector<ClockStep>& ClockSteps() const { return clockSteps_; }

  // The application of the last record, by its messages or by its file
  // object (CAPI_REGISTER and CAPI_RELEASE); -1 when none is known.
  const std::vector<uint32_t>& RecordApplications() const { return recordAppls_; }
  // The connections (indexes into Connections) that the last record's
  // messages belong to.
  const std::vector<uint32_t>& RecordConnections() const { return recordConnections_; }
  // Whether a file object of the current session is registering: its
  // CAPI_REGISTER request came, and its ApplID is not known yet (the
  // completion has not come, or a kernel-mode caller has sent no message).
  bool Registering(const std::string& fileObject) const;
  // The ApplID that a file object of a session belongs to; -1 when none is
  // known.
  int64_t ApplicationOf(uint32_t session, const std::string& fileObject) const;
  uint32_t CurrentSessionNumber() const { return sessions_.empty() ? 0 : sessions_.back().number; }
  // The time of the last record (its own stamp, or the one before it).
  bool HasTime() const { return hasTime_; }
  int64_t Time() const { return nowMs_; }

 private:
  struct Pending {
    int64_t ms = 0;
    const char* name = nullptr;  // the decoder's table entry's name
    uint32_t file = 0;
    uint32_t line = 0;
    int64_t connection = -1;
    uint32_t steps = 0;
  };

  // A successful CAPI_REGISTER: when, and with which parameters.
  struct Unnamed {
    int64_t ms = 0;
    bool hasParams = false;
    uint32_t params[4] = {0, 0, 0, 0};
  };

  Session& CurrentSession(const LogRecord& record);
  void Registered(uint32_t appl, const std::string& fileObject, const Unnamed& reg);
  Application& FindApplication(uint32_t appl);
  void Message(const LogRecord& record, const MessageView& m);
  void Connect(const LogRecord& record, const MessageView& m, uint32_t address);
  int64_t ConnectionFor(uint32_t appl, uint32_t plci, bool create, const LogRecord& record);
  void Step(Connection& c, const MessageView& m, std::string detail);
  void Touched(int64_t index);
  void Error(const LogRecord& record, int64_t appl, std::string what, std::string explanation);
  void NoteSlow(const SlowConfirmation& s);

  std::vector<Session> sessions_;
  std::vector<Application> applications_;
  std::vector<Connection> connections_;
  std::vector<ErrorEntry> errors_;
  std::vector<SlowConfirmation> slowest_;
  std::vector<ClockStep> clockSteps_;
  uint64_t lost_ = 0;

  // Keys pack the session, the ApplID and what follows into 64 bits.
  std::unordered_map<uint64_t, uint32_t> applIndex_;  // (session, appl)
  std::map<std::pair<uint32_t, std::string>, uint32_t>
      fileObjects_;                                   // (session, FileObj) to ApplID
  std::unordered_map<uint64_t, uint32_t> plciIndex_;  // (session, appl, plci)
  std::unordered_map<uint64_t, Pending> pending_;     // (session, appl, command, MsgNr)
  // (session, FileObj, Irp) of a CAPI_REGISTER request to its parameters
  std::map<std::tuple<uint32_t, std::string, std::string>, std::vector<uint32_t>> registering_;
  std::map<std::pair<uint32_t, std::string>, Unnamed>
      unnamed_;  // (session, FileObj), ApplID unknown

  std::vector<uint32_t> recordAppls_;
  std::vector<uint32_t> recordConnections_;
  bool trackFileObjects_ = false;
  bool hasTime_ = false;
  int64_t nowMs_ = 0;
  uint32_t file_ = 0;
};

// "<00 80>45" back to the bytes the decoder printed.
std::string StructBytes(std::string_view text);
// The digits of a party number struct: its type octet (and, when the type
// octet's bit 7 is clear, the presentation octet) skipped.
std::string PartyNumber(std::string_view text);

}  // namespace pellinorlog

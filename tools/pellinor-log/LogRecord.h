// One block of a trace log read back: what the writer thread printed for one
// trace record (a text, a request, a completion, or the decoded messages of a
// record without its summary line). Texts are views into the log's bytes and
// stay valid only while the reader hands the record to its sink.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

struct CapiMessage;

namespace pellinorlog {

enum class RecordKind : uint8_t {
  kText,        // banner, target query, start and stop blocks, notices
  kRequest,     // "CAPI_PUT_MESSAGE            (MJ_WRITE (...))"
  kCompletion,  // "COMPLETION CAPI_PUT_MESSAGE (MJ_WRITE (...))" and its status line
  kMessages,    // a time stamp and decoded messages without a summary line
};

enum class TextKind : uint8_t {
  kNone,
  kBanner,        // the driver's banner and "Tracing CAPI device "NAME""
  kTargetQuery,   // "=== Target Device Query ==="
  kController,    // "--- Controller Nr. N ---"
  kTotal,         // "Total Number of BChannels: N"
  kStartTracing,  // "Start Tracing" with its settings
  kStopTracing,   // "Stop Tracing"
  kDeviceRemoved, // "Traced Device Removed" (Plug and Play)
  kRecordsLost,   // "*** N trace records lost ***"
  kContinued,     // "*** log continued: part N of the log begun STAMP; ... ***" (or, from
                  // older drivers, "*** log continued from NAME ***")
  kRepeatStart,   // "*** the start of the session, repeated ***"
  kRepeatEnd,     // "*** end of the repeated start ***"
  kNotKept,       // "*** older generation not kept, could not rename: 0xXXXXXXXX ***"
  kLimitReached,  // "*** log limit reached, could not rename: 0xXXXXXXXX ***"
  kOther,         // text the reader does not know
};

// A time stamp line, "14:03:07.123 Sun, Jan 05 2003", in milliseconds since
// 1 January 1970 (UTC, as the log prints it).
struct Stamp {
  bool valid = false;
  int64_t ms = 0;
};

// One parameter line of a decoded message.
struct ParamValue {
  uint8_t code = 0;        // the parameter code of the decoder's table
  uint8_t depth = 1;       // 1, or 2 for a member of a group
  bool number = false;     // a word or double word, value in `value`
  bool cut = false;        // the decoder ran out of bytes here ("[cut]")
  bool groupOpen = false;  // a group's own line, its members follow
  uint32_t value = 0;
  std::string_view text;  // what follows " = " ("default", "<81>123", "0x0010")
};

// One decoded message: the header line and its parameter lines.
struct MessageView {
  const CapiMessage* entry = nullptr;  // the decoder's table entry; null when unlisted
  std::string_view name;               // "DATA_B3_REQ", "UNKNOWN_06_81"
  uint8_t command = 0;
  uint8_t subcommand = 0;
  uint32_t length = 0;
  uint32_t appl = 0;
  uint32_t number = 0;
  uint32_t line = 0;        // of the header line
  uint32_t firstParam = 0;  // index into LogRecord::params
  uint32_t paramCount = 0;
  bool cut = false;           // the decoder marked a cut
  bool complete = true;       // the parameter lines are the table's, in its order
  uint32_t payloadBytes = 0;  // bytes of the payload dump that follows

  const ParamValue* Find(const std::vector<ParamValue>& params, uint8_t code) const {
    for (uint32_t i = firstParam; i < firstParam + paramCount; ++i)
      if (params[i].code == code)
        return &params[i];
    return nullptr;
  }
};

// The settings of a "Start Tracing" block.
struct SettingsView {
  bool valid = false;
  bool functions = false;
  bool messages = false;
  bool manuMessages = false;
  bool userMode = false;
  bool callerIds = false;  // "  Caller ids:     YES", only when they are traced
  bool userMessages = false;  // "  User messages:  YES", only when they are copied
  uint32_t b3Bytes = 0;
};

struct LogRecord {
  RecordKind kind = RecordKind::kText;
  TextKind text = TextKind::kNone;
  uint32_t file = 0;
  uint32_t firstLine = 0;  // the block's first line, its leading empty lines included
  uint32_t lastLine = 0;
  uint32_t contentLine = 0;  // its first line that is not empty
  uint64_t begin = 0;        // the block's bytes in the file, line ends included
  uint64_t end = 0;
  bool truncated = false;  // the file ends inside the block
  // A text of the session's start that a new generation repeats (read
  // because the part before it was not): its content counts, its time
  // stamp is the original's, not the time the repeat was written.
  bool repeated = false;

  Stamp stamp;  // this block's own time stamp, if it has one
  std::string_view stampText;

  // Summary line of a request or completion.
  std::string_view function;  // "CAPI_REGISTER"
  std::string_view major;     // "MJ_DEVICE_CONTROL"
  std::string_view fileObject;
  std::string_view irp;
  bool userMode = false;
  // A request's requester, when the driver traced caller ids
  // ("..., Irp 81E0A008), Process 1004, Thread 1008)").
  bool hasCaller = false;
  uint32_t callerProcess = 0;
  uint32_t callerThread = 0;

  // Status line of a completion.
  bool hasStatus = false;
  uint16_t capiError = 0;
  uint32_t status = 0;
  std::string_view statusName;
  uint32_t information = 0;

  // Buffer lines.
  bool hasApplId = false;  // "  ApplID: N (additional return value)"
  uint32_t applId = 0;
  bool hasController = false;
  uint32_t controller = 0;
  bool hasRegister = false;  // the four CAPI_REGISTER parameters
  uint32_t registerParams[4] = {0, 0, 0, 0};
  std::string_view manufacturer;  // of a completion or of the target query
  std::string_view serial;
  bool invalidMessage = false;  // "Error: invalid CAPI message!"
  bool invalidInput = false;    // "Error: invalid InputBuffer"
  bool invalidOutput = false;   // "Error: invalid OutputBuffer"
  bool textCut = false;         // "[text cut]"
  // A user-mode caller's message that was not copied: "  Message: not
  // readable in the caller's memory", "  Message: not read here (...)".
  bool messageUnreadable = false;
  bool messageNotReadHere = false;

  std::vector<MessageView> messages;
  std::vector<ParamValue> params;

  // Text blocks.
  std::string_view target;        // banner: the traced device's name
  std::string_view buildDate;     // banner: what follows "Build Date "
  int32_t controllers = -1;       // query: "Number of Controllers"
  int32_t controllerNumber = -1;  // controller block
  int32_t bChannels = -1;         // total block
  bool queryError = false;        // controller block: "Error calling target device:"
  SettingsView settings;          // start block
  uint32_t lost = 0;              // "*** N trace records lost ***"
  std::string_view note;          // the notice's name or status text
  uint32_t part = 0;              // continued: the part's number (0: an older driver's notice)
  Stamp begun;                    // continued: when the writer began the log

  void Clear() {
    std::vector<MessageView> m;
    std::vector<ParamValue> p;
    m.swap(messages);
    p.swap(params);
    m.clear();
    p.clear();
    *this = LogRecord();
    messages.swap(m);
    params.swap(p);
  }
};

}  // namespace pellinorlog

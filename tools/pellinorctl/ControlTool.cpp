#include "tools/pellinorctl/ControlTool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/common/Digits.h"
#include "tools/common/ProgramVersion.h"
#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/SystemCodes.h"
#include "tools/pellinorctl/StartFailure.h"
#include "tools/pellinorctl/StatusNames.h"

namespace pellinorctl {
namespace {

constexpr uint32_t kRegNone = 0;

// How a user loads the driver, and installs it, on Windows.
constexpr char kLoadHint[] = "'sc start Pellinor' loads it";
constexpr char kNotInstalled[] =
    "pellinorctl: the driver is not installed (there is no service Pellinor): copy pellinor.sys "
    "to %SystemRoot%\\System32\\drivers, then run 'pellinorctl install' and 'sc start "
    "Pellinor'\n";

// The driver converts a string value into the output buffer with a 16-bit
// capacity. Most values fit the first size; a longer one is asked again
// with the largest buffer that capacity allows.
constexpr uint32_t kStringFirstSize = 1024;
constexpr uint32_t kStringLargestSize = 0xFFFE;

struct Setting {
  const char* name;
  uint32_t setCode;
  uint32_t getCode;
  bool number;
  // The registry value, and what the driver makes of it when it reads it.
  const char* valueName;
  uint32_t defaultNumber;
  const char* defaultText;
  uint32_t (*limit)(uint32_t);
};

uint32_t MaskFlags(uint32_t value) {
  return value & kFlagsKept;
}
uint32_t LimitB3Bytes(uint32_t value) {
  return value > kMaxB3Bytes ? kMaxB3Bytes : value;
}
uint32_t LimitLogLimit(uint32_t value) {
  return value > kMaxLogLimit ? kMaxLogLimit : value;
}
uint32_t LimitLogKeep(uint32_t value) {
  if (value < 1)
    return 1;
  return value > kMaxLogKeep ? kMaxLogKeep : value;
}
uint32_t LimitCaller(uint32_t value) {
  return value != 0 ? 1 : 0;
}
uint32_t LimitUserMessages(uint32_t value) {
  return value != 0 ? 1 : 0;
}

constexpr Setting settings[] = {
    {"flags", IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_GET_FLAGS, true, kFlagsValueName, kDefaultFlags,
     nullptr, MaskFlags},
    {"b3bytes", IOCTL_TRACE_SET_B3BYTES, IOCTL_TRACE_GET_B3BYTES, true, kB3BytesValueName,
     kDefaultB3Bytes, nullptr, LimitB3Bytes},
    {"log", IOCTL_TRACE_SET_LOG, IOCTL_TRACE_GET_LOG, false, kLogValueName, 0, kDefaultLog,
     nullptr},
    {"target", IOCTL_TRACE_SET_TARGET, IOCTL_TRACE_GET_TARGET, false, kTargetValueName, 0,
     kDefaultTarget, nullptr},
    {"loglimit", IOCTL_TRACE_SET_LOGLIMIT, IOCTL_TRACE_GET_LOGLIMIT, true, kLogLimitValueName,
     kDefaultLogLimit, nullptr, LimitLogLimit},
    {"logkeep", IOCTL_TRACE_SET_LOGKEEP, IOCTL_TRACE_GET_LOGKEEP, true, kLogKeepValueName,
     kDefaultLogKeep, nullptr, LimitLogKeep},
    {"caller", IOCTL_TRACE_SET_CALLER, IOCTL_TRACE_GET_CALLER, true, kCallerValueName,
     kDefaultCaller, nullptr, LimitCaller},
    {"user-messages", IOCTL_TRACE_SET_USERMESSAGES, IOCTL_TRACE_GET_USERMESSAGES, true,
     kUserMessagesValueName, kDefaultUserMessages, nullptr, LimitUserMessages},
};
static_assert(sizeof(settings) / sizeof(settings[0]) == 8, "eight settings");

// show prints "name:" and the value from this column on; a longer name
// (user-messages) is followed by one blank, so that the lines of the
// first settings stay as scripts have read them.
constexpr size_t kShowValueColumn = 10;
static_assert(sizeof("loglimit:") <= kShowValueColumn, "the longest first name and a blank");

// Settings newer than the first drivers, which answer their requests with
// STATUS_NOT_IMPLEMENTED: show says so in their line instead of failing.
bool NewerThanFirstDrivers(const Setting& setting) {
  return setting.getCode == IOCTL_TRACE_GET_CALLER ||
         setting.getCode == IOCTL_TRACE_GET_USERMESSAGES;
}

const Setting* FindSetting(const std::string& name) {
  for (const Setting& setting : settings) {
    if (name == setting.name) return &setting;
  }
  return nullptr;
}

// Decimal or 0x-prefixed hexadecimal, the whole unsigned 32-bit range,
// nothing else (no sign, no blanks, no trailing characters).
pellinortools::NumberText ParseNumber(const std::string& text, uint32_t* value) {
  uint64_t result = 0;
  const pellinortools::NumberText kind = pellinortools::ParseUnsigned(text, 0xFFFFFFFFu, &result);
  *value = static_cast<uint32_t>(result);
  return kind;
}

std::string FormatNumber(const Setting& setting, uint32_t value) {
  char text[16];
  if (setting.setCode == IOCTL_TRACE_SET_FLAGS) {
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  } else {
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
  }
  return text;
}

void PutNumber(uint8_t* buffer, uint32_t value) {
  for (int i = 0; i < 4; i++) buffer[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetNumber(const uint8_t* buffer) {
  return static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
         static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
}

const char* StateName(uint32_t state) {
  switch (state) {
    case TRACE_STATE_NONE:
      return "none";
    case TRACE_STATE_RUNNING:
      return "running";
    case TRACE_STATE_STOPPED:
      return "stopped";
  }
  return nullptr;
}

void Complain(std::string& err, const std::string& what, const ControlResult& result) {
  err += "pellinorctl: " + what + ": " + DescribeResult(result) + "\n";
}

// What failed in words, the status after it for whoever looks it up; the
// status alone where there are no words for it.
void Complain(std::string& err, const std::string& what, const std::string& why,
              const ControlResult& result) {
  if (why.empty()) {
    Complain(err, what, result);
    return;
  }
  err += "pellinorctl: " + what + ": " + why + " (" + DescribeResult(result) + ")\n";
}

// A value of the service key as the driver reads it (RegistryValue): a
// value of type REG_NONE or without bytes is missing; a number is the first
// four bytes whatever the type; a string is UTF-16 up to its terminator,
// converted to 8 bits as the driver converts it for the tool.
bool IsStored(uint32_t type, const std::vector<uint8_t>& data) {
  return type != kRegNone && !data.empty();
}

uint32_t StoredNumber(const std::vector<uint8_t>& data) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i)
    value |= static_cast<uint32_t>(data[i]) << (8 * i);
  return value;
}

std::string StoredText(const std::vector<uint8_t>& data) {
  std::string text;
  for (size_t i = 0; i < data.size(); i += 2) {
    const uint32_t c =
        data[i] | (i + 1 < data.size() ? static_cast<uint32_t>(data[i + 1]) << 8 : 0);
    if (c == 0)
      break;
    text += (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) ? static_cast<char>(c) : '?';
  }
  return text;
}

// One line and a hint: the whole usage only on asking.
int UsageError(std::string& err, const std::string& message) {
  err += "pellinorctl: " + message + "\n";
  err += "Try 'pellinorctl help' for the commands.\n";
  return kExitUsage;
}

}  // namespace

const char* ControlTool::Usage() {
  return "usage: pellinorctl COMMAND\n"
         "  state                      tracing state: running, stopped or none\n"
         "  start                      start tracing (and at every later load)\n"
         "  stop [--force]             stop tracing; --force also while requests are pending\n"
         "  set flags|b3bytes|loglimit|logkeep|caller|user-messages NUMBER\n"
         "                             store a setting (decimal or 0x hexadecimal)\n"
         "  set log|target TEXT        store the log file path or the traced device's name\n"
         "  get flags|b3bytes|log|target|loglimit|logkeep|caller|user-messages\n"
         "                             print a stored setting\n"
         "  show                       print the state and every setting\n"
         "  install [--start auto|demand]\n"
         "                             register the kernel service (default: demand)\n"
         "  uninstall                  stop and remove the kernel service\n"
         "  --version                  this tool's version and build, and the driver's\n"
         "loglimit is the log file's size in megabytes (0: no limit, at most 4095); past\n"
         "it the log is renamed to NAME.old and a new one begun. logkeep is how many older\n"
         "files are kept (NAME.old, NAME.old.2 ...; 1 to 9, default 1). caller 1 adds the\n"
         "requesting process and thread ids to each request's line in the log (default 0).\n"
         "user-messages 1 logs the messages that user-mode applications put and get with\n"
         "the CAPI I/O controls (default 0).\n"
         "Settings take effect at the next start. Exit status: 0 done, 1 failed, 2 usage.\n";
}

int ControlTool::Run(const std::vector<std::string>& args, std::string& out, std::string& err) {
  const int status = Dispatch(args, out, err);
  if (open) {
    backend.Close();
    open = false;
  }
  return status;
}

int ControlTool::Dispatch(const std::vector<std::string>& args, std::string& out,
                          std::string& err) {
  if (args.empty()) return UsageError(err, "no command");
  const std::string& command = args[0];
  const size_t extra = args.size() - 1;
  if (command == "help" || command == "--help" || command == "-h") {
    out += Usage();
    return kExitOk;
  }
  if (command == "--version") {
    if (extra != 0) return UsageError(err, "--version takes no arguments");
    return Version(out);
  }
  if (command == "state" || command == "start" || command == "show" || command == "uninstall") {
    if (extra != 0) return UsageError(err, command + " takes no arguments");
    if (command == "state") return State(out, err);
    if (command == "start") return Start(err);
    if (command == "show") return Show(out, err);
    return Uninstall(err);
  }
  if (command == "stop") {
    if (extra == 0) return Stop(false, err);
    if (extra == 1 && args[1] == "--force") return Stop(true, err);
    return UsageError(err, "stop takes only --force");
  }
  if (command == "get") {
    if (extra != 1 || !FindSetting(args[1])) {
      return UsageError(err,
                        "get needs one of flags, b3bytes, log, target, loglimit, logkeep, caller, "
                        "user-messages");
    }
    return Get(args[1], out, err);
  }
  if (command == "set") {
    if (extra != 2 || !FindSetting(args[1])) {
      return UsageError(err,
                        "set needs one of flags, b3bytes, log, target, loglimit, logkeep, caller, "
                        "user-messages and a value");
    }
    return Set(args[1], args[2], out, err);
  }
  if (command == "install") {
    if (extra == 0) return Install(kServiceStartDemand, err);
    if (extra == 2 && args[1] == "--start" && args[2] == "auto") {
      return Install(kServiceStartAuto, err);
    }
    if (extra == 2 && args[1] == "--start" && args[2] == "demand") {
      return Install(kServiceStartDemand, err);
    }
    return UsageError(err, "install takes only --start auto or --start demand");
  }
  return UsageError(err, "unknown command '" + command + "'");
}

bool ControlTool::OpenDevice(std::string& err) {
  if (open) return true;
  const ControlResult result = backend.Open();
  if (!result.Failed()) {
    open = true;
    return true;
  }
  if (IsNotLoaded(result)) {
    err += ServiceInstalled() ? std::string("pellinorctl: the driver is not loaded (there is no ") +
                                    kControlDevicePath + "): " + kLoadHint + "\n"
                              : kNotInstalled;
    return false;
  }
  // The driver's own check refuses an ordinary user; the device's
  // exclusive open refuses a second program.
  const bool denied =
      result.kind == ControlResult::Kind::Win32Error && result.code == kErrorAccessDenied;
  Complain(err, std::string("cannot open ") + kControlDevicePath,
           denied ? "only an administrator may control tracing, and one program at a time"
                  : std::string(),
           result);
  return false;
}

// ERROR_PATH_NOT_FOUND too: a DOS device link left behind while its
// device object is gone resolves to a path that is not there.
bool ControlTool::IsNotLoaded(const ControlResult& openResult) {
  return openResult.kind == ControlResult::Kind::Win32Error &&
         (openResult.code == kErrorFileNotFound || openResult.code == kErrorPathNotFound);
}

bool ControlTool::ServiceInstalled() {
  // The service control manager writes Start for every service; a read
  // that fails otherwise than "not found" is no proof of absence.
  uint32_t type = 0;
  std::vector<uint8_t> data;
  const ControlResult result =
      backend.ReadServiceValue(kServiceName, kStartValueName, &type, &data);
  return !(result.kind == ControlResult::Kind::Win32Error && result.code == kErrorFileNotFound);
}

bool ControlTool::ReadNumber(const char* command, uint32_t code, uint32_t* value,
                             std::string& err, bool* unknown) {
  if (!OpenDevice(err)) return false;
  uint8_t buffer[4] = {};
  uint32_t information = 0;
  const ControlResult result =
      backend.DeviceControl(code, nullptr, 0, buffer, sizeof buffer, &information);
  if (unknown != nullptr && result.kind == ControlResult::Kind::NtStatus &&
      result.code == kStatusNotImplemented) {
    *unknown = true;
    return false;
  }
  if (result.Failed()) {
    Complain(err, command, result);
    return false;
  }
  if (information < sizeof buffer) {
    err += std::string("pellinorctl: ") + command + ": the driver returned " +
           std::to_string(information) + " bytes instead of 4\n";
    return false;
  }
  *value = GetNumber(buffer);
  return true;
}

bool ControlTool::ReadString(const char* command, uint32_t code, std::string* value,
                             std::string& err) {
  if (!OpenDevice(err)) return false;
  std::vector<char> buffer(kStringFirstSize);
  uint32_t information = 0;
  ControlResult result = backend.DeviceControl(code, nullptr, 0, buffer.data(),
                                               static_cast<uint32_t>(buffer.size()), &information);
  if (result.kind == ControlResult::Kind::NtStatus &&
      (result.code == kStatusBufferOverflow || result.code == kStatusBufferTooSmall)) {
    buffer.assign(kStringLargestSize, 0);
    information = 0;
    result = backend.DeviceControl(code, nullptr, 0, buffer.data(),
                                   static_cast<uint32_t>(buffer.size()), &information);
  }
  if (result.Failed()) {
    Complain(err, command, result);
    return false;
  }
  // The string ends at its terminator, or at the end of what the driver
  // reports to have written, whichever comes first.
  const size_t length = information < buffer.size() ? information : buffer.size();
  const void* end = std::memchr(buffer.data(), 0, length);
  value->assign(buffer.data(), end ? static_cast<const char*>(end) - buffer.data() : length);
  return true;
}

int ControlTool::State(std::string& out, std::string& err) {
  uint32_t state = 0;
  if (!ReadNumber("state", IOCTL_TRACE_GET_STATE, &state, err)) return kExitFailed;
  const char* name = StateName(state);
  if (!name) {
    err += "pellinorctl: state: unknown state " + std::to_string(state) + "\n";
    return kExitFailed;
  }
  out += std::string(name) + "\n";
  return kExitOk;
}

int ControlTool::Start(std::string& err) {
  if (!OpenDevice(err)) return kExitFailed;
  uint32_t information = 0;
  const ControlResult result =
      backend.DeviceControl(IOCTL_TRACE_START, nullptr, 0, nullptr, 0, &information);
  if (!result.Failed())
    return kExitOk;
  // The driver answers with a status alone: what it started with tells
  // which value the status is about. A read that fails leaves that value
  // out of the words.
  StartSettings used;
  std::string ignored;
  used.haveLog = ReadString("get log", IOCTL_TRACE_GET_LOG, &used.log, ignored);
  used.haveTarget = ReadString("get target", IOCTL_TRACE_GET_TARGET, &used.target, ignored);
  used.haveState = ReadNumber("state", IOCTL_TRACE_GET_STATE, &used.state, ignored);
  Complain(err, "start",
           result.kind == ControlResult::Kind::NtStatus ? ExplainStartFailure(result.code, used)
                                                        : std::string(),
           result);
  return kExitFailed;
}

int ControlTool::Stop(bool force, std::string& err) {
  if (!OpenDevice(err)) return kExitFailed;
  // The force flag is byte 0 of a 4-byte input; the driver ignores shorter
  // input, and bytes 1 to 3.
  uint8_t input[4] = {static_cast<uint8_t>(force ? 1 : 0), 0, 0, 0};
  uint32_t information = 0;
  const ControlResult result =
      backend.DeviceControl(IOCTL_TRACE_STOP, input, sizeof input, nullptr, 0, &information);
  if (result.Failed()) {
    const bool none =
        result.kind == ControlResult::Kind::NtStatus && result.code == kStatusDeviceDoesNotExist;
    Complain(err, force ? "stop --force" : "stop",
             none ? "tracing is not started: nothing is attached" : std::string(), result);
    return kExitFailed;
  }
  return kExitOk;
}

int ControlTool::Set(const std::string& what, const std::string& value, std::string& out,
                     std::string& err) {
  const Setting& setting = *FindSetting(what);
  const std::string command = "set " + what;
  uint32_t information = 0;
  if (setting.number) {
    uint32_t number = 0;
    switch (ParseNumber(value, &number)) {
      case pellinortools::NumberText::kNumber:
        break;
      case pellinortools::NumberText::kTooLarge:
        return UsageError(err, command + ": '" + value + "' is too large (at most 0xFFFFFFFF)");
      case pellinortools::NumberText::kNotANumber:
        return UsageError(err, command + ": '" + value + "' is not a number");
    }
    if (!OpenDevice(err)) return kExitFailed;
    uint8_t input[4];
    uint8_t output[4] = {};
    PutNumber(input, number);
    const ControlResult result = backend.DeviceControl(setting.setCode, input, sizeof input,
                                                       output, sizeof output, &information);
    if (result.Failed()) {
      Complain(err, command, result);
      return kExitFailed;
    }
    // The driver masks or limits the number before it stores it, and
    // returns what it stored.
    const uint32_t stored = information >= sizeof output ? GetNumber(output) : number;
    out += what + ": " + FormatNumber(setting, stored);
    // Bits the driver does not know are masked off: say which.
    if (setting.setCode == IOCTL_TRACE_SET_FLAGS && (number & ~stored) != 0) {
      char dropped[80];
      std::snprintf(dropped, sizeof dropped, " (0x%08X dropped: no flags there)",
                    static_cast<unsigned>(number & ~stored));
      out += dropped;
    }
    out += "\n";
    return kExitOk;
  }
  if (value.empty()) return UsageError(err, command + ": the value must not be empty");
  // A path or device name holds no control characters: one there is a
  // mistake (a tab or line end that came from an escape), and the driver
  // would open a file or device of that name.
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", c);
      return UsageError(err, command + ": the value holds the control character " + code +
                                 " at position " + std::to_string(i + 1));
    }
  }
  // The driver stores what it cannot open at start: refuse it here, with
  // the limit.
  const std::string tooLong =
      setting.setCode == IOCTL_TRACE_SET_LOG ? LogPathTooLong(value) : TargetNameTooLong(value);
  if (!tooLong.empty())
    return UsageError(err, command + ": " + tooLong);
  if (!OpenDevice(err)) return kExitFailed;
  // The string with its terminator: the driver requires the terminator to
  // lie within the input length.
  const ControlResult result =
      backend.DeviceControl(setting.setCode, value.c_str(), static_cast<uint32_t>(value.size() + 1),
                            nullptr, 0, &information);
  if (result.Failed()) {
    Complain(err, command, result);
    return kExitFailed;
  }
  return kExitOk;
}

int ControlTool::Get(const std::string& what, std::string& out, std::string& err) {
  const Setting& setting = *FindSetting(what);
  const std::string command = "get " + what;
  if (setting.number) {
    uint32_t number = 0;
    if (!ReadNumber(command.c_str(), setting.getCode, &number, err)) return kExitFailed;
    out += FormatNumber(setting, number) + "\n";
    return kExitOk;
  }
  std::string text;
  if (!ReadString(command.c_str(), setting.getCode, &text, err)) return kExitFailed;
  out += text + "\n";
  return kExitOk;
}

int ControlTool::Show(std::string& out, std::string& err) {
  if (!open) {
    const ControlResult opened = backend.Open();
    if (IsNotLoaded(opened))
      return ShowStored(out, err);
    if (!opened.Failed())
      open = true;
  }
  std::string text;
  uint32_t state = 0;
  if (!ReadNumber("state", IOCTL_TRACE_GET_STATE, &state, err)) return kExitFailed;
  const char* name = StateName(state);
  ShowLine(text, "state", name ? name : "unknown " + std::to_string(state));
  for (const Setting& setting : settings) {
    const std::string command = std::string("get ") + setting.name;
    std::string value;
    if (setting.number) {
      uint32_t number = 0;
      // A driver older than the setting does not know its request: the
      // line says so rather than the whole show failing.
      bool unknown = false;
      if (!ReadNumber(command.c_str(), setting.getCode, &number, err,
                      NewerThanFirstDrivers(setting) ? &unknown : nullptr)) {
        if (!unknown) return kExitFailed;
        ShowLine(text, setting.name, "not known to this driver");
        continue;
      }
      value = FormatNumber(setting, number);
    } else if (!ReadString(command.c_str(), setting.getCode, &value, err)) {
      return kExitFailed;
    }
    ShowLine(text, setting.name, value);
  }
  out += text;
  return kExitOk;
}

int ControlTool::ShowStored(std::string& out, std::string& err) {
  if (!ServiceInstalled()) {
    err += kNotInstalled;
    return kExitFailed;
  }
  // What the driver will start with: the service key's values, read and
  // limited as the driver reads them.
  std::string text;
  ShowLine(text, "state", std::string("not loaded (") + kLoadHint + ")");
  for (const Setting& setting : settings) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const ControlResult result =
        backend.ReadServiceValue(kServiceName, setting.valueName, &type, &data);
    if (result.Failed() && !IsNotLoaded(result)) {
      Complain(err, std::string("show: cannot read ") + setting.valueName, result);
      return kExitFailed;
    }
    const bool stored = !result.Failed() && IsStored(type, data);
    if (setting.number) {
      const uint32_t number = stored ? StoredNumber(data) : setting.defaultNumber;
      ShowLine(text, setting.name, FormatNumber(setting, setting.limit(number)));
    } else {
      ShowLine(text, setting.name, stored ? StoredText(data) : setting.defaultText);
    }
  }
  out += text;
  return kExitOk;
}

void ControlTool::ShowLine(std::string& text, const std::string& label, const std::string& value) {
  const size_t blanks =
      label.size() + 2 <= kShowValueColumn ? kShowValueColumn - label.size() - 1 : 1;
  text += label + ":" + std::string(blanks, ' ') + value + "\n";
}

int ControlTool::Install(uint32_t startType, std::string& err) {
  ServiceConfig config;
  config.name = kServiceName;
  config.displayName = kServiceDisplayName;
  config.imagePath = kServiceImagePath;
  config.type = kServiceTypeKernelDriver;
  config.startType = startType;
  config.errorControl = kServiceErrorNormal;
  // The event source first: registering it again is harmless (it names the
  // same files), so a failed install leaves nothing that a second one
  // would trip over.
  EventSourceConfig source;
  source.name = kServiceName;
  source.messageFile = kEventMessageFile;
  source.typesSupported = kEventTypesSupported;
  const ControlResult registered = backend.AddEventSource(source);
  if (registered.Failed()) {
    Complain(err, "install", registered);
    return kExitFailed;
  }
  const ControlResult result = backend.InstallService(config);
  if (result.Failed()) {
    Complain(err, "install", result);
    return kExitFailed;
  }
  return kExitOk;
}

int ControlTool::Uninstall(std::string& err) {
  const ControlResult result = backend.RemoveService(kServiceName);
  // The event source goes in any case: without the service nothing writes
  // to it. Its removal cannot fail for a missing key.
  const ControlResult removed = backend.RemoveEventSource(kServiceName);
  if (result.Failed()) {
    Complain(err, "uninstall", result);
    return kExitFailed;
  }
  if (removed.Failed()) {
    Complain(err, "uninstall", removed);
    return kExitFailed;
  }
  return kExitOk;
}

// The tool's version always, and then what the driver says of itself. Its
// answer comes from the loaded driver, not from a file on disk, which may be
// newer than what runs. Every outcome is a line of the report and none a
// failure: the tool's own version was printed.
int ControlTool::Version(std::string& out) {
  out += pellinortools::ProgramVersion("pellinorctl");
  const ControlResult opened = backend.Open();
  if (opened.Failed()) {
    if (opened.kind == ControlResult::Kind::Win32Error &&
        (opened.code == kErrorFileNotFound || opened.code == kErrorPathNotFound)) {
      out += "driver: not loaded\n";
    } else {
      out += "driver: cannot ask it: " + DescribeResult(opened) + "\n";
    }
    return kExitOk;
  }
  open = true;
  char identity[kStringFirstSize] = {};
  uint32_t information = 0;
  const ControlResult result = backend.DeviceControl(IOCTL_TRACE_GET_VERSION, nullptr, 0, identity,
                                                     sizeof identity, &information);
  if (!result.Failed()) {
    const size_t length = std::min<size_t>(information, sizeof identity);
    const void* end = std::memchr(identity, 0, length);
    out += "driver: " +
           std::string(identity, end ? static_cast<const char*>(end) - identity : length) + "\n";
  } else if (result.kind == ControlResult::Kind::NtStatus &&
             (result.code == kStatusNotImplemented || result.code == kStatusInvalidDeviceRequest)) {
    out += "driver: loaded, a build older than the version request (its log's banner names it)\n";
  } else {
    out += "driver: loaded, its version not told: " + DescribeResult(result) + "\n";
  }
  return kExitOk;
}

}  // namespace pellinorctl

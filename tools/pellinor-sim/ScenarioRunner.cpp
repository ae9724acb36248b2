#include "tools/pellinor-sim/ScenarioRunner.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "emu/Clock.h"
#include "emu/EventLog.h"
#include "emu/FileRename.h"
#include "emu/Files.h"
#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Process.h"
#include "emu/Registry.h"
#include "emu/SystemStartStage.h"
#include "emu/SystemVersion.h"
#include "emu/Timers.h"
#include "framework/EntryPoints.h"
#include "framework/EventCodes.h"
#include "framework/Pool.h"
#include "framework/SystemStartStage.h"
#include "tools/pellinor-sim/CapiBench.h"
#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/ControlTool.h"
#include "tools/pellinorctl/EmulatedBackend.h"

namespace pellinorsim {
namespace {

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const char kTraceDriverName[] = "Pellinor";
constexpr int64_t kTicksPerMs = 10000;

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? char(c) : '?';
  return narrow;
}

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A background step's own transcript and last result.
thread_local std::ostream* threadOut = nullptr;
thread_local ScenarioRunner::LastResult* threadLast = nullptr;

uint64_t FileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? uint64_t(info.st_size) : 0;
}

// An event code by its name (framework/EventCodes.h) or number.
uint32_t ParseEventCode(const std::string& word) {
  for (const PellinorEventName& event : kPellinorEvents) {
    if (word == event.name)
      return event.code;
  }
  if (word.rfind("PELLINOR_", 0) == 0)
    throw BadWord("unknown event code '" + word + "'");
  return ParseNumber(word, "event code");
}

std::string EventCodeText(uint32_t code) {
  for (const PellinorEventName& event : kPellinorEvents) {
    if (code == event.code)
      return event.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

// An entry as `expect eventlog` would name it.
std::string DescribeEntry(const emu::EventLogEntry& entry) {
  std::string text = EventCodeText(entry.errorCode);
  for (const std::u16string& string : entry.strings) text += " " + Quote(emu::Utf8Of(string));
  return text + " (from " + (entry.source.empty() ? "no driver" : entry.source) + ")";
}

std::string ReadLine(const std::string& text) {
  // The tool's output without its one final line end.
  if (!text.empty() && text.back() == '\n') return text.substr(0, text.size() - 1);
  return text;
}

}  // namespace

const ScenarioRunner::Command ScenarioRunner::kCommands[] = {
    {"clock", &ScenarioRunner::Clock},
    {"registry", &ScenarioRunner::Registry},
    {"system", &ScenarioRunner::System},
    {"driver", &ScenarioRunner::Driver},
    {"capi", &ScenarioRunner::Capi},
    {"pellinorctl", &ScenarioRunner::Pellinorctl},
    {"expect", &ScenarioRunner::Expect},
    {"ioctl", &ScenarioRunner::Ioctl},
    {"pnp", &ScenarioRunner::Pnp},
    {"fail", &ScenarioRunner::Fail},
    {"background", &ScenarioRunner::Background},
    {"wait", &ScenarioRunner::Wait},
    {"app", &ScenarioRunner::App},
    {"as", &ScenarioRunner::As},
};

ScenarioRunner::ScenarioRunner(const Options& options, std::ostream& out)
    : options(options), out(out), capi(std::make_unique<CapiBench>()), progress(options.progress) {}

// One step running on a thread of its own.
struct ScenarioRunner::BackgroundStep {
  int line = 0;
  std::ostringstream transcript;
  std::string failure;
  std::thread thread;
};

ScenarioRunner::~ScenarioRunner() {
  // Steps still running when the run ends early are left to the process's
  // end.
  for (auto& step : background) {
    if (step->thread.joinable()) step->thread.detach();
  }
}

std::ostream& ScenarioRunner::Out() { return threadOut != nullptr ? *threadOut : out; }

ScenarioRunner::LastResult& ScenarioRunner::Last() {
  return threadLast != nullptr ? *threadLast : last;
}

void ScenarioRunner::Check(const std::vector<Step>& steps) {
  checkedWindows98 = false;
  for (const Step& step : steps) {
    try {
      Execute(step, false);
    } catch (const BadWord& bad) {
      throw SyntaxError(step.line, bad.what());
    }
  }
}

void ScenarioRunner::Run(const Step& step) {
  try {
    Execute(step, true);
  } catch (const BadWord& bad) {
    throw SyntaxError(step.line, bad.what());
  }
  Settle();
}

void ScenarioRunner::Execute(const Step& step, bool run) {
  const std::string& name = step.words[0].text;
  for (const Command& command : kCommands) {
    if (name == command.name) {
      (this->*command.handler)(step, run);
      return;
    }
  }
  throw BadWord("unknown command '" + name + "'");
}

std::string ScenarioRunner::RegistryFile() const { return options.drive + "/registry.txt"; }

void ScenarioRunner::Boot() {
  std::error_code error;
  std::filesystem::create_directories(options.drive, error);
  if (!std::filesystem::is_directory(options.drive)) {
    throw StepFailure("cannot create the drive folder " + options.drive);
  }
  emu::SetDriveC(options.drive);
  emu::Registry::ClearFaults();
  emu::Registry::Clear();
  if (!options.fresh && std::filesystem::exists(RegistryFile())) {
    std::string why;
    if (!emu::Registry::Load(RegistryFile(), &why)) {
      throw StepFailure("cannot load the registry " + RegistryFile() + ": " + why);
    }
  }
  // A fixed clock and manual timers: a run never waits for real time, and
  // the same scenario writes the same log.
  emu::Clock::Fix(emu::MakeSystemTime(2000, 1, 1, 0, 0, 0, 0));
  emu::Timers::SetManual(true);
  emu::SetSystemStartStage(SYSTEM_START_STAGE_READY);
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  emu::RestartSystem();
  emu::EventLog::Clear();
  eventLogChecked = 0;
  logSizeAtBoot = FileSize(LogPath());
}

void ScenarioRunner::Shutdown() {
  for (auto& step : background) {
    if (step->thread.joinable()) {
      throw StepFailure("a background step of line " + std::to_string(step->line) +
                        " is still running at the end: end it with wait background");
    }
  }
  capi->CloseKernelApps(Out());
  UnloadTraceDriver();
  capi->Unload();
  Settle();
  if (!emu::Registry::Save(RegistryFile())) {
    throw StepFailure("cannot save the registry to " + RegistryFile());
  }
}

std::string ScenarioRunner::LogPath() const {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  std::u16string path = u"C:\\Pellinor.log";
  if (emu::Registry::GetValue(kServices + u"Pellinor", u"Pellinor_Log", &type, &data) &&
      data.size() >= 2) {
    std::u16string text(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    text = text.substr(0, text.find(u'\0'));
    if (!text.empty()) path = text;
  }
  std::string host = emu::HostPathOf(u"\\DosDevices\\" + path);
  return host.empty() ? Narrow(path) : host;
}

void ScenarioRunner::Settle() { emu::Kernel::Quiesce(); }

// clock set YYYY-MM-DD HH:MM:SS[.mmm] | clock advance MS
void ScenarioRunner::Clock(const Step& step, bool run) {
  Words words(step);
  words.NoExpectation();
  const std::string verb = words.Take("clock set or clock advance");
  if (verb == "set") {
    const std::string date = words.Take("date (YYYY-MM-DD)");
    const std::string time = words.Take("time (HH:MM:SS[.mmm])");
    words.Done();
    int y, mo, d, h, mi, s, ms = 0;
    char tail;
    if (std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &y, &mo, &d, &tail) != 3 || y < 1601 ||
        mo < 1 || mo > 12 || d < 1 || d > 31) {
      throw BadWord("'" + date + "' is not a date YYYY-MM-DD");
    }
    const int fields = std::sscanf(time.c_str(), "%2d:%2d:%2d.%3d%c", &h, &mi, &s, &ms, &tail);
    if ((fields != 3 && fields != 4) || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 ||
        s < 0 || ms < 0 || (fields == 3 && time.size() != 8) ||
        (fields == 4 && time.size() != 12)) {
      throw BadWord("'" + time + "' is not a time HH:MM:SS or HH:MM:SS.mmm");
    }
    if (!run) return;
    emu::Clock::Fix(emu::MakeSystemTime(y, mo, d, h, mi, s, ms));
    return;
  }
  if (verb == "advance") {
    const uint64_t ms = ParseNumber64(words.Take("milliseconds"), "number of milliseconds");
    words.Done();
    if (ms > uint64_t(INT64_MAX / kTicksPerMs)) throw BadWord("too far to advance");
    if (!run) return;
    emu::Clock::Advance(int64_t(ms) * kTicksPerMs);
    emu::Timers::Advance(int64_t(ms) * kTicksPerMs);
    return;
  }
  throw BadWord("clock takes set or advance, not '" + verb + "'");
}

// registry set SERVICE NAME TYPE VALUE... | registry delete SERVICE NAME |
// registry delete-key SERVICE | registry expect SERVICE NAME (TYPE VALUE | missing)
void ScenarioRunner::Registry(const Step& step, bool run) {
  Words words(step);
  words.NoExpectation();
  const std::string verb = words.Take("registry set, delete, delete-key or expect");
  if (verb != "set" && verb != "delete" && verb != "delete-key" && verb != "expect") {
    throw BadWord("registry takes set, delete, delete-key or expect, not '" + verb + "'");
  }
  const std::u16string key = kServices + Utf16(words.Take("service name"));
  if (verb == "delete-key") {
    words.Done();
    if (run) emu::Registry::DeleteKey(key);
    return;
  }
  const std::u16string name = Utf16(words.Take("value name"));
  if (verb == "delete") {
    words.Done();
    if (run) emu::Registry::DeleteValue(key, name);
    return;
  }
  // The value: TYPE and data, or "missing" for expect.
  const std::string type = words.Take("value type");
  bool missing = false;
  uint32_t regType = 0;
  std::vector<uint8_t> data;
  auto text = [&data](const std::vector<std::string>& strings, bool multi) {
    for (const std::string& s : strings) {
      for (char c : s) {
        data.push_back(uint8_t(c));
        data.push_back(0);
      }
      data.push_back(0);
      data.push_back(0);
    }
    if (multi) {
      data.push_back(0);
      data.push_back(0);
    }
  };
  if (type == "missing" && verb == "expect") {
    missing = true;
  } else if (type == "dword") {
    const uint32_t value = ParseNumber(words.Take("number"), "number");
    regType = REG_DWORD;
    for (int i = 0; i < 4; ++i) data.push_back(uint8_t(value >> (8 * i)));
  } else if (type == "sz" || type == "expand_sz") {
    regType = type == "sz" ? REG_SZ : REG_EXPAND_SZ;
    text({words.Take("text")}, false);
  } else if (type == "multi_sz") {
    regType = REG_MULTI_SZ;
    text(words.Rest(), true);
  } else if (type == "none") {
    regType = REG_NONE;
  } else if (type == "binary" || type.rfind("hex:", 0) == 0) {
    regType = type == "binary" ? REG_BINARY : ParseNumber(type.substr(4), "value type");
    while (words.More()) {
      std::vector<uint8_t> bytes = ParseHex(words.Take("bytes"));
      data.insert(data.end(), bytes.begin(), bytes.end());
    }
  } else {
    throw BadWord("unknown value type '" + type +
                  "' (dword, sz, expand_sz, multi_sz, binary, hex:N, none)");
  }
  words.Done();
  if (!run) return;
  if (verb == "set") {
    emu::Registry::SetValue(key, name, regType, data.data(), data.size());
    return;
  }
  uint32_t actualType = 0;
  std::vector<uint8_t> actual;
  const bool exists = emu::Registry::GetValue(key, name, &actualType, &actual);
  const std::string where = Narrow(name);
  if (missing) {
    if (exists) throw StepFailure("registry value " + where + " exists, expected it missing");
    return;
  }
  if (!exists) throw StepFailure("registry value " + where + " is missing");
  if (actualType != regType || actual != data) {
    throw StepFailure("registry value " + where + " is type " + std::to_string(actualType) + " " +
                      HexText(actual.data(), actual.size()) + ", expected type " +
                      std::to_string(regType) + " " + HexText(data.data(), data.size()));
  }
}

// system version 98|2000|xp | system stage ready | system stage N |
// system shutdown
void ScenarioRunner::System(const Step& step, bool run) {
  Words words(step);
  words.NoExpectation();
  const std::string verb = words.Take("system version, system stage or system shutdown");
  if (verb == "shutdown") {
    words.Done();
    if (run) emu::ShutDownSystem();
    return;
  }
  if (verb == "version") {
    const std::string value = words.Take("version (98, 2000 or xp)");
    words.Done();
    emu::SystemVersion version;
    if (value == "98") {
      version = emu::SystemVersion::Windows98;
    } else if (value == "2000") {
      version = emu::SystemVersion::Windows2000;
    } else if (value == "xp") {
      version = emu::SystemVersion::WindowsXp;
    } else {
      throw BadWord("system version takes 98, 2000 or xp, not '" + value + "'");
    }
    if (!run) {
      checkedWindows98 = version == emu::SystemVersion::Windows98;
      return;
    }
    // The driver learns the system once, at load.
    if (traceDriver != nullptr) throw StepFailure("system version: unload the trace driver first");
    emu::SetSystemVersion(version);
    return;
  }
  if (verb != "stage") throw BadWord("system takes version, stage or shutdown");
  const std::string value = words.Take("stage (ready or a number)");
  words.Done();
  const uint32_t stage =
      value == "ready" ? SYSTEM_START_STAGE_READY : ParseNumber(value, "start stage");
  // Only the Windows 98/Me virtual machine manager knows a start stage; a
  // stage set for Windows NT would never be seen.
  if (!run && !checkedWindows98) {
    throw BadWord(
        "system stage: only Windows 98/Me has a start stage; give 'system version 98' first");
  }
  if (run) emu::SetSystemStartStage(stage);
}

bool ScenarioRunner::LoadTraceDriver(uint32_t* status) {
  PDRIVER_OBJECT object = nullptr;
  PDRIVER_INITIALIZE entry = DriverEntry;
  if (!options.driverImage.empty()) {
    // A fresh mapping for every load, as Windows maps a driver afresh; an
    // image the loader refuses stops the run with the loader's reason.
    std::string why;
    const NTSTATUS mapped = emu::Image::MapFile(options.driverImage, &traceImage, &why);
    if (!NT_SUCCESS(mapped)) throw StepFailure("loading the trace driver: " + why);
    entry = traceImage->Entry();
  }
  *status = uint32_t(emu::LoadDriver(kTraceDriverName, entry, POOL_TAG, &object));
  if (NT_SUCCESS(NTSTATUS(*status))) {
    traceDriver = object;
  } else {
    traceImage.reset();
  }
  return traceDriver != nullptr;
}

void ScenarioRunner::UnloadTraceDriver() {
  if (traceDriver == nullptr) return;
  PDRIVER_OBJECT object = traceDriver;
  traceDriver = nullptr;
  const NTSTATUS status = emu::UnloadDriver(object);
  if (!NT_SUCCESS(status)) throw StepFailure("unloading the trace driver: " + DescribeStatus(status));
  // Unloaded clean (no thread, timer, work item or device of it left): its
  // code and data can go.
  traceImage.reset();
}

// driver load [=> STATUS] | driver unload
void ScenarioRunner::Driver(const Step& step, bool run) {
  Words words(step);
  const std::string verb = words.Take("driver load or driver unload");
  words.Done();
  if (verb == "load") {
    const StatusExpectation expected(words);
    if (!run) return;
    if (traceDriver != nullptr) throw StepFailure("the trace driver is loaded already");
    uint32_t status = 0;
    LoadTraceDriver(&status);
    // A step that expects a status is about it: say which it got.
    if (words.HasExpectation())
      Out() << "driver load: " << DescribeStatus(status) << "\n";
    expected.Check("loading the trace driver", status);
    return;
  }
  if (verb == "unload") {
    words.NoExpectation();
    if (!run) return;
    if (traceDriver == nullptr) throw StepFailure("the trace driver is not loaded");
    UnloadTraceDriver();
    return;
  }
  throw BadWord("driver takes load or unload, not '" + verb + "'");
}

void ScenarioRunner::Capi(const Step& step, bool run) {
  capi->Command(step, run, Out());
}

void ScenarioRunner::App(const Step& step, bool run) {
  RequestOutcome outcome;
  // Progress for the steps in the foreground only: a background step's
  // output comes later, and two could not share the line.
  capi->App(step, run, Out(), &outcome, threadOut == nullptr ? &progress : nullptr);
  if (!outcome.set) return;
  // expect info and expect output look at the request's outcome (for a get
  // the output is the message got).
  Last() = LastResult();
  Last().kind = LastResult::kRequest;
  Last().status = outcome.status;
  Last().information = outcome.information;
  Last().output = outcome.output;
}

void ScenarioRunner::Pnp(const Step& step, bool run) {
  Words words(step);
  if (words.Take("pnp remove") != "remove") throw BadWord("pnp takes remove");
  words.Done();
  const StatusExpectation expected(words);
  if (!run) return;
  expected.Check("the removal of the CAPI device", capi->Remove(Out()));
}

// pellinorctl ARGS... [=> EXIT]
void ScenarioRunner::Pellinorctl(const Step& step, bool run) {
  Words words(step);
  std::vector<std::string> args = words.Rest();
  int expectedExit = 0;
  bool anyExit = false;
  if (words.HasExpectation()) {
    if (words.Expectation() == "any") {
      anyExit = true;
    } else {
      expectedExit = int(ParseNumber(words.Expectation(), "exit status"));
    }
  }
  if (!run) return;
  pellinorctl::EmulatedBackend backend([this](const std::string& service) {
    if (Lower(service) == Lower(kTraceDriverName)) UnloadTraceDriver();
  });
  pellinorctl::ControlTool tool(backend);
  Last() = LastResult();
  Last().kind = LastResult::kTool;
  Last().exitStatus = tool.Run(args, Last().stdoutText, Last().stderrText);
  std::string line = "> pellinorctl";
  for (const std::string& arg : args) line += " " + Quote(arg);
  Out() << line << "\n" << Last().stdoutText << Last().stderrText;
  if (Last().exitStatus != 0) Out() << "(exit status " << Last().exitStatus << ")\n";
  if (!anyExit && Last().exitStatus != expectedExit) {
    throw StepFailure("pellinorctl exited with " + std::to_string(Last().exitStatus) +
                      ", expected " + std::to_string(expectedExit));
  }
}

// expect stdout|stderr|stdout-contains|stderr-contains TEXT... (after
// pellinorctl; each further word is one more line)
// expect info N | expect output HEX (after ioctl, app put, get or ioctl)
// expect eventlog EVENT [TEXT...] | expect eventlog none
void ScenarioRunner::Expect(const Step& step, bool run) {
  Words words(step);
  words.NoExpectation();
  const std::string what = words.Take("what to expect");
  if (what == "eventlog") {
    ExpectEventLog(words, run);
    return;
  }
  if (what == "stdout" || what == "stderr" || what == "stdout-contains" ||
      what == "stderr-contains") {
    // Several words are several lines.
    std::string text = words.Take("text");
    while (words.More()) text += "\n" + words.Take("text");
    if (!run) return;
    if (Last().kind != LastResult::kTool) throw StepFailure("expect " + what + " needs a pellinorctl before it");
    const bool isOut = what.rfind("stdout", 0) == 0;
    const std::string& actual = isOut ? Last().stdoutText : Last().stderrText;
    const bool contains = what.find("-contains") != std::string::npos;
    if (contains ? actual.find(text) != std::string::npos : ReadLine(actual) == text) return;
    throw StepFailure(std::string("pellinorctl's ") + (isOut ? "output" : "error output") +
                      " was " + Quote(ReadLine(actual)) + ", expected " +
                      (contains ? "it to contain " : "") + Quote(text));
  }
  if (what == "info") {
    const uint64_t information = ParseNumber(words.Take("information"), "number");
    words.Done();
    if (!run) return;
    if (Last().kind != LastResult::kRequest) throw StepFailure("expect info needs a request before it");
    if (Last().information != information) {
      throw StepFailure("the information was " + std::to_string(Last().information) +
                        ", expected " + std::to_string(information));
    }
    return;
  }
  if (what == "output") {
    std::vector<uint8_t> bytes;
    while (words.More()) {
      std::vector<uint8_t> more = ParseHex(words.Take("bytes"));
      bytes.insert(bytes.end(), more.begin(), more.end());
    }
    if (!run) return;
    if (Last().kind != LastResult::kRequest) throw StepFailure("expect output needs a request before it");
    if (Last().output != bytes) {
      throw StepFailure("the output was " + HexText(Last().output.data(), Last().output.size()) +
                        ", expected " + HexText(bytes.data(), bytes.size()));
    }
    return;
  }
  throw BadWord(
      "expect takes stdout, stderr, stdout-contains, stderr-contains, info, output or eventlog");
}

// The entries of the system event log are expected in the order they were
// written, each once: the oldest one not expected yet must be this one.
// `none`: every entry written so far has been expected.
void ScenarioRunner::ExpectEventLog(Words& words, bool run) {
  const std::string event = words.Take("an event code, or none");
  if (event == "none") {
    words.Done();
    if (!run)
      return;
    const std::vector<emu::EventLogEntry> entries = emu::EventLog::Entries();
    if (entries.size() > eventLogChecked) {
      throw StepFailure("the event log holds " + std::to_string(entries.size() - eventLogChecked) +
                        " more entries, the first " + DescribeEntry(entries[eventLogChecked]));
    }
    return;
  }
  const uint32_t code = ParseEventCode(event);
  std::vector<std::string> strings;
  while (words.More()) strings.push_back(words.Take("an insertion string"));
  if (!run)
    return;
  const std::vector<emu::EventLogEntry> entries = emu::EventLog::Entries();
  if (entries.size() <= eventLogChecked) {
    throw StepFailure("the event log holds no entry after the " + std::to_string(eventLogChecked) +
                      " expected, expected " + EventCodeText(code));
  }
  const emu::EventLogEntry& entry = entries[eventLogChecked++];
  bool same = entry.errorCode == code && entry.strings.size() == strings.size();
  for (size_t i = 0; same && i < strings.size(); ++i)
    same = emu::Utf8Of(entry.strings[i]) == strings[i];
  if (!same) {
    std::string expected = EventCodeText(code);
    for (const std::string& string : strings) expected += " " + Quote(string);
    throw StepFailure("the event log's entry " + std::to_string(eventLogChecked) + " is " +
                      DescribeEntry(entry) + ", expected " + expected);
  }
}

// ioctl TARGET user|kernel ioctl|internal CODE [INPUT [OUTLEN]] [=> STATUS]
// TARGET: control, capi, or a device path (\\.\NAME, \Device\NAME, ...).
// An internal I/O control from user mode is sent as asked: the emulated
// kernel stops the machine, as only kernel components can send one.
void ScenarioRunner::Ioctl(const Step& step, bool run) {
  Words words(step);
  const std::string target = words.Take("target (control, capi or a device path)");
  const std::string mode = words.Take("mode (user or kernel)");
  if (mode != "user" && mode != "kernel") throw BadWord("mode is user or kernel, not '" + mode + "'");
  const std::string kind = words.Take("kind (ioctl or internal)");
  if (kind != "ioctl" && kind != "internal") {
    throw BadWord("kind is ioctl or internal, not '" + kind + "'");
  }
  const uint32_t code = ParseNumber(words.Take("control code"), "control code");
  // Not const: an internal I/O control's input may be written back.
  IoctlBuffers buffers = TakeIoctlBuffers(words);
  std::vector<uint8_t>& input = buffers.input;
  const uint32_t outLength = buffers.outputLength;
  words.Done();
  const StatusExpectation expected(words);
  if (!run) return;

  std::string path = target;
  if (target == "control") {
    path = pellinorctl::kControlDevicePath;
  } else if (target == "capi") {
    path = mode == "user" ? "\\\\.\\CAPI20" : "\\Device\\CAPI201";
  }
  const KPROCESSOR_MODE processorMode = mode == "user" ? UserMode : KernelMode;
  HANDLE handle = nullptr;
  const NTSTATUS openStatus = emu::Open(path, processorMode, &handle);
  Last() = LastResult();
  Last().kind = LastResult::kRequest;
  char codeText[16];
  std::snprintf(codeText, sizeof codeText, "0x%08X", code);
  if (!NT_SUCCESS(openStatus)) {
    Last().status = uint32_t(openStatus);
    Out() << "ioctl " << codeText << " to " << path << ": open: " << DescribeStatus(Last().status)
        << "\n";
    expected.Check("opening " + path, Last().status);
    return;
  }
  std::vector<uint8_t> output(outLength, 0);
  emu::IoResult result;
  if (kind == "ioctl") {
    result = emu::DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(),
                                  ULONG(input.size()), output.empty() ? nullptr : output.data(),
                                  outLength);
  } else {
    result = emu::InternalDeviceIoControl(handle, code, input.empty() ? nullptr : input.data(),
                                          ULONG(input.size()),
                                          output.empty() ? nullptr : output.data(), outLength);
  }
  emu::Close(handle);
  Last().status = uint32_t(result.status);
  Last().information = result.information;
  // Output bytes count only where the request succeeded or warned.
  output.resize(ReturnedBytes(Last().status, result.information, outLength));
  Last().output = output;
  Out() << "ioctl " << codeText << " to " << path << ": " << DescribeStatus(Last().status)
      << ", information " << Last().information << ", output "
      << HexText(Last().output.data(), Last().output.size()) << "\n";
  expected.Check("the I/O control", Last().status);
}

// fail pool nth|every N [paged|nonpaged] [tag TAG] | fail pool pattern P ...
// fail registry NAME read|write|both STATUS [COUNT]
// fail file create|write N [STATUS] [repeat]
// fail device N [STATUS] | fail irp N | fail map N (the trace driver's)
// fail pool|registry|file|device|irp|map off | fail off
void ScenarioRunner::Fail(const Step& step, bool run) {
  Words words(step);
  words.NoExpectation();
  const std::string what = words.Take("what to fail (pool, registry, file, device, irp, map, off)");
  if (what == "off") {
    words.Done();
    if (!run) return;
    emu::Pool::ClearFaults();
    emu::Registry::ClearFaults();
    emu::FailFileCreate(0);
    emu::FailFileRename(0);
    emu::FailFileWrite(0);
    emu::FailDeviceCreation(0);
    emu::FailIrpAllocation(0);
    emu::FailMdlMapping(0);
    return;
  }
  const bool off = words.Peek() == "off";
  if (off) {
    words.Take("off");
    words.Done();
  }
  if (what == "pool") {
    if (off) {
      if (run) emu::Pool::ClearFaults();
      return;
    }
    emu::PoolFault fault;
    const std::string mode = words.Take("nth, every or pattern");
    if (mode == "nth" || mode == "every") {
      fault.mode = mode == "nth" ? emu::PoolFault::kNth : emu::PoolFault::kEveryNth;
      fault.n = ParseNumber(words.Take("count"), "count");
      if (fault.n == 0) throw BadWord("the count starts at 1");
    } else if (mode == "pattern") {
      fault.mode = emu::PoolFault::kPattern;
      fault.pattern = words.Take("pattern of x and .");
      if (fault.pattern.find_first_not_of("x.") != std::string::npos) {
        throw BadWord("a pattern is made of x (fail) and . (succeed)");
      }
    } else {
      throw BadWord("fail pool takes nth, every, pattern or off, not '" + mode + "'");
    }
    while (words.More()) {
      const std::string option = words.Take("option");
      if (option == "paged") {
        fault.poolType = PagedPool;
      } else if (option == "nonpaged") {
        fault.poolType = NonPagedPool;
      } else if (option == "tag") {
        const std::string tag = words.Take("tag of four characters");
        if (tag.size() != 4) throw BadWord("a pool tag has four characters");
        fault.tag = uint32_t(uint8_t(tag[0])) | uint32_t(uint8_t(tag[1])) << 8 |
                    uint32_t(uint8_t(tag[2])) << 16 | uint32_t(uint8_t(tag[3])) << 24;
      } else {
        throw BadWord("unknown pool fault option '" + option + "' (paged, nonpaged, tag)");
      }
    }
    if (run) emu::Pool::InjectFault(fault);
    return;
  }
  if (what == "registry") {
    if (off) {
      if (run) emu::Registry::ClearFaults();
      return;
    }
    const std::u16string name = Utf16(words.Take("value name"));
    const std::string access = words.Take("read, write or both");
    int mask;
    if (access == "read") {
      mask = emu::Registry::kRead;
    } else if (access == "write") {
      mask = emu::Registry::kWrite;
    } else if (access == "both") {
      mask = emu::Registry::kRead | emu::Registry::kWrite;
    } else {
      throw BadWord("registry faults are read, write or both, not '" + access + "'");
    }
    const uint32_t status = ParseStatus(words.Take("status"));
    int32_t count = -1;
    if (words.More()) count = int32_t(ParseNumber(words.Take("count"), "count"));
    words.Done();
    if (run) emu::Registry::FailValue(name, int32_t(status), mask, count);
    return;
  }
  if (what == "file") {
    if (off) {
      if (run) {
        emu::FailFileCreate(0);
        emu::FailFileWrite(0);
        emu::FailFileRename(0);
      }
      return;
    }
    const std::string operation = words.Take("create, write or rename");
    if (operation != "create" && operation != "write" && operation != "rename") {
      throw BadWord("file faults are create, write or rename, not '" + operation + "'");
    }
    const int nth = int(ParseNumber(words.Take("which call (1 = the next)"), "count"));
    uint32_t status =
        operation == "write" ? uint32_t(STATUS_DISK_FULL) : uint32_t(STATUS_ACCESS_DENIED);
    bool repeat = false;
    while (words.More()) {
      const std::string option = words.Take("option");
      if (option == "repeat") {
        repeat = true;
      } else {
        status = ParseStatus(option);
      }
    }
    if (!run) return;
    if (operation == "create") {
      emu::FailFileCreate(nth, NTSTATUS(status), repeat);
    } else if (operation == "rename") {
      emu::FailFileRename(nth, NTSTATUS(status), repeat);
    } else {
      emu::FailFileWrite(nth, NTSTATUS(status), repeat);
    }
    return;
  }
  if (what == "device" || what == "irp") {
    if (off) {
      if (run) what == "device" ? emu::FailDeviceCreation(0) : emu::FailIrpAllocation(0);
      return;
    }
    const int nth = int(ParseNumber(words.Take("which call (1 = the next)"), "count"));
    uint32_t status = uint32_t(STATUS_INSUFFICIENT_RESOURCES);
    if (what == "device" && words.More()) status = ParseStatus(words.Take("status"));
    words.Done();
    if (!run) return;
    if (what == "device") {
      emu::FailDeviceCreation(nth, NTSTATUS(status));
    } else {
      emu::FailIrpAllocation(nth);
    }
    return;
  }
  if (what == "map") {
    if (off) {
      if (run) emu::FailMdlMapping(0);
      return;
    }
    // The trace driver's mappings: the CAPI device maps the same requests'
    // pages, and its failure would change what the applications see.
    const int nth = int(ParseNumber(words.Take("which mapping (1 = the next)"), "count"));
    words.Done();
    if (run) emu::FailMdlMapping(nth, (std::string("\\Driver\\") + kTraceDriverName).c_str());
    return;
  }
  throw BadWord("fail takes pool, registry, file, device, irp, map or off, not '" + what + "'");
}

// as user STEP | as admin STEP: the step (pellinorctl, ioctl or app) runs in
// a process of an ordinary user, or of an administrator (the default of
// every other step).
void ScenarioRunner::As(const Step& step, bool run) {
  if (step.words.size() < 3) throw BadWord("as takes user or admin and the step to run");
  const std::string& who = step.words[1].text;
  if (who != "user" && who != "admin") throw BadWord("as takes user or admin, not '" + who + "'");
  Step inner;
  inner.line = step.line;
  inner.words.assign(step.words.begin() + 2, step.words.end());
  const std::string& name = inner.words[0].text;
  if (name != "pellinorctl" && name != "ioctl" && name != "app") {
    throw BadWord("only pellinorctl, ioctl and app steps run as another user");
  }
  if (!run) {
    Execute(inner, false);
    return;
  }
  static emu::Process* const user = emu::CreateUserProcess(emu::Identity::User, "user");
  emu::ProcessScope scope(who == "user" ? user : emu::ToolProcess());
  Execute(inner, true);
}

// background pellinorctl ARGS... | background app NAME ...: the step runs on
// a thread of its own, so that the next steps can complete what it waits
// for. Its transcript and failure come out at "wait background".
void ScenarioRunner::Background(const Step& step, bool run) {
  if (step.words.size() < 2) throw BadWord("missing the step to run in the background");
  Step inner;
  inner.line = step.line;
  inner.words.assign(step.words.begin() + 1, step.words.end());
  const std::string& name = inner.words[0].text;
  if (name != "pellinorctl" && name != "app") {
    throw BadWord("only pellinorctl and app steps run in the background");
  }
  if (!run) {
    Execute(inner, false);
    return;
  }
  auto job = std::make_unique<BackgroundStep>();
  BackgroundStep* raw = job.get();
  raw->line = step.line;
  raw->thread = std::thread([this, inner, raw]() {
    LastResult result;
    threadOut = &raw->transcript;
    threadLast = &result;
    try {
      Execute(inner, true);
    } catch (const std::exception& error) {
      raw->failure = error.what();
    }
    threadOut = nullptr;
    threadLast = nullptr;
  });
  background.push_back(std::move(job));
}

void ScenarioRunner::JoinBackground() {
  std::string failure;
  for (auto& step : background) {
    if (step->thread.joinable()) step->thread.join();
    Out() << step->transcript.str();
    if (failure.empty() && !step->failure.empty()) {
      failure = "the background step of line " + std::to_string(step->line) + ": " + step->failure;
    }
  }
  background.clear();
  if (!failure.empty()) throw StepFailure(failure);
}

// wait background | wait pending N | wait detached
void ScenarioRunner::Wait(const Step& step, bool run) {
  Words words(step);
  words.NoExpectation();
  const std::string what = words.Take("background, pending or detached");
  if (what == "background") {
    words.Done();
    if (run) JoinBackground();
    return;
  }
  if (what == "pending") {
    const uint32_t count = ParseNumber(words.Take("number of requests"), "number");
    words.Done();
    if (run) capi->WaitPending(count);
    return;
  }
  if (what == "detached") {
    words.Done();
    if (run) capi->WaitDetached();
    return;
  }
  throw BadWord("wait takes background, pending or detached, not '" + what + "'");
}

}  // namespace pellinorsim

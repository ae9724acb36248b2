// The control tool's core over a scripted back end: which I/O controls each
// command sends with which buffers, how it reads the answers, what it prints
// and with which exit status it ends.
#include "tools/pellinorctl/ControlTool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "control/DriverVersion.h"
#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/StartFailure.h"
#include "tools/pellinorctl/StatusNames.h"

namespace pellinorctl {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Number(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

Bytes Text(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// One answer of the scripted driver.
struct Answer {
  uint32_t status = 0;
  Bytes output;                 // copied into the output buffer, cut to its size
  int64_t information = -1;     // reported count; -1: the output's size
};

struct Call {
  uint32_t code;
  Bytes input;
  uint32_t outLength;
};

class FakeBackend : public ControlBackend {
 public:
  ControlResult Open() override {
    opens++;
    if (!openResult.Failed()) isOpen = true;
    return openResult;
  }
  ControlResult DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* information) override {
    EXPECT_TRUE(isOpen) << "I/O control on a device that is not open";
    const uint8_t* bytes = static_cast<const uint8_t*>(in);
    calls.push_back({code, Bytes(bytes, bytes + inLength), outLength});
    Answer answer;
    auto queued = answers.find(code);
    if (queued != answers.end() && !queued->second.empty()) {
      answer = queued->second.front();
      if (queued->second.size() > 1) queued->second.pop_front();
    }
    const size_t copied = std::min<size_t>(answer.output.size(), outLength);
    if (copied) std::memcpy(out, answer.output.data(), copied);
    const uint64_t reported = answer.information < 0 ? answer.output.size() : answer.information;
    *information = static_cast<uint32_t>(std::min<uint64_t>(reported, outLength));
    return ControlResult::Nt(answer.status);
  }
  void Close() override {
    if (isOpen) closes++;
    isOpen = false;
  }
  ControlResult InstallService(const ServiceConfig& config) override {
    installed.push_back(config);
    return serviceResult;
  }
  ControlResult RemoveService(const std::string& name) override {
    removed.push_back(name);
    return serviceResult;
  }
  ControlResult AddEventSource(const EventSourceConfig& config) override {
    sources.push_back(config);
    return sourceResult;
  }
  ControlResult RemoveEventSource(const std::string& name) override {
    removedSources.push_back(name);
    return sourceResult;
  }
  ControlResult ReadServiceValue(const std::string& service, const std::string& value,
                                 uint32_t* type, std::vector<uint8_t>* data) override {
    EXPECT_EQ("Pellinor", service);
    auto found = serviceValues.find(value);
    if (found == serviceValues.end())
      return ControlResult::Win32(2);
    *type = found->second.first;
    *data = found->second.second;
    return ControlResult::Win32(0);
  }

  // Answers per code, in order; the last one repeats.
  void Script(uint32_t code, std::initializer_list<Answer> list) { answers[code] = list; }

  std::map<uint32_t, std::deque<Answer>> answers;
  ControlResult openResult = ControlResult::Nt(0);
  ControlResult serviceResult = ControlResult::Win32(0);
  std::vector<Call> calls;
  std::vector<ServiceConfig> installed;
  std::vector<std::string> removed;
  ControlResult sourceResult = ControlResult::Win32(0);
  std::vector<EventSourceConfig> sources;
  std::vector<std::string> removedSources;
  // The service key: value name to type and bytes.
  std::map<std::string, std::pair<uint32_t, Bytes>> serviceValues;
  int opens = 0;
  int closes = 0;
  bool isOpen = false;
};

class ControlToolTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    out.clear();
    err.clear();
    ControlTool tool(backend);
    return tool.Run(args, out, err);
  }

  FakeBackend backend;
  std::string out, err;
};

TEST_F(ControlToolTest, StateNamesEachStateWord) {
  const std::pair<uint32_t, const char*> states[] = {
      {TRACE_STATE_NONE, "none\n"}, {TRACE_STATE_RUNNING, "running\n"},
      {TRACE_STATE_STOPPED, "stopped\n"}};
  for (const auto& state : states) {
    backend.Script(IOCTL_TRACE_GET_STATE, {{0, Number(state.first)}});
    EXPECT_EQ(kExitOk, Run({"state"}));
    EXPECT_EQ(state.second, out);
    EXPECT_EQ("", err);
  }
  ASSERT_EQ(3u, backend.calls.size());
  EXPECT_EQ(IOCTL_TRACE_GET_STATE, backend.calls[0].code);
  EXPECT_TRUE(backend.calls[0].input.empty());
  EXPECT_EQ(4u, backend.calls[0].outLength);
  EXPECT_EQ(3, backend.opens);
  EXPECT_EQ(3, backend.closes);
}

TEST_F(ControlToolTest, StateRejectsAnUnknownWordAndAShortAnswer) {
  backend.Script(IOCTL_TRACE_GET_STATE, {{0, Number(7)}});
  EXPECT_EQ(kExitFailed, Run({"state"}));
  EXPECT_EQ("", out);
  EXPECT_EQ("pellinorctl: state: unknown state 7\n", err);

  backend.Script(IOCTL_TRACE_GET_STATE, {{0, {1, 0}}});
  EXPECT_EQ(kExitFailed, Run({"state"}));
  EXPECT_EQ("pellinorctl: state: the driver returned 2 bytes instead of 4\n", err);
}

TEST_F(ControlToolTest, StartAndStopSendTheirBuffers) {
  EXPECT_EQ(kExitOk, Run({"start"}));
  EXPECT_EQ(kExitOk, Run({"stop"}));
  EXPECT_EQ(kExitOk, Run({"stop", "--force"}));
  EXPECT_EQ("", out);
  ASSERT_EQ(3u, backend.calls.size());
  EXPECT_EQ(IOCTL_TRACE_START, backend.calls[0].code);
  EXPECT_TRUE(backend.calls[0].input.empty());
  EXPECT_EQ(IOCTL_TRACE_STOP, backend.calls[1].code);
  EXPECT_EQ(Bytes({0, 0, 0, 0}), backend.calls[1].input);
  EXPECT_EQ(IOCTL_TRACE_STOP, backend.calls[2].code);
  EXPECT_EQ(Bytes({1, 0, 0, 0}), backend.calls[2].input);
}

TEST_F(ControlToolTest, FailuresPrintTheStatusInHexWithItsName) {
  // A warning is a failure too.
  backend.Script(IOCTL_TRACE_START, {{0x80000011}});
  EXPECT_EQ(kExitFailed, Run({"start"}));
  EXPECT_EQ("pellinorctl: start: 0x80000011 STATUS_DEVICE_BUSY\n", err);

  backend.Script(IOCTL_TRACE_STOP, {{0xC0001234}});
  EXPECT_EQ(kExitFailed, Run({"stop", "--force"}));
  EXPECT_EQ("pellinorctl: stop --force: 0xC0001234 (unknown)\n", err);
  // No trace device: said in words, the status after them.
  backend.Script(IOCTL_TRACE_STOP, {{0xC00000C0}});
  EXPECT_EQ(kExitFailed, Run({"stop"}));
  EXPECT_EQ(
      "pellinorctl: stop: tracing is not started: nothing is attached "
      "(0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST)\n",
      err);

  backend.Script(IOCTL_TRACE_SET_LOG, {{0xC00000E8}});
  EXPECT_EQ(kExitFailed, Run({"set", "log", "D:\\x.log"}));
  EXPECT_EQ("pellinorctl: set log: 0xC00000E8 STATUS_INVALID_USER_BUFFER\n", err);
  EXPECT_EQ("", out);
}

TEST_F(ControlToolTest, AFailedStartReadsBackWhatTheDriverStartedWith) {
  backend.Script(IOCTL_TRACE_START, {{0xC00000C0}});
  backend.Script(IOCTL_TRACE_GET_TARGET, {{0, Text("CAPI202")}});
  backend.Script(IOCTL_TRACE_GET_LOG, {{0, Text("C:\\Pellinor.log")}});
  EXPECT_EQ(kExitFailed, Run({"start"}));
  EXPECT_EQ(
      "pellinorctl: start: the traced device \"CAPI202\" (\\Device\\CAPI202) does not exist "
      "(0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST)\n",
      err);
  ASSERT_EQ(4u, backend.calls.size());
  EXPECT_EQ(IOCTL_TRACE_GET_LOG, backend.calls[1].code);
  EXPECT_EQ(IOCTL_TRACE_GET_TARGET, backend.calls[2].code);
  EXPECT_EQ(IOCTL_TRACE_GET_STATE, backend.calls[3].code);
  EXPECT_EQ(1, backend.opens);

  // What cannot be read back leaves the status alone.
  backend.Script(IOCTL_TRACE_GET_TARGET, {{0xC0000022}});
  EXPECT_EQ(kExitFailed, Run({"start"}));
  EXPECT_EQ("pellinorctl: start: 0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST\n", err);
}

// Which step of the start a status is about, and the value it names.
TEST(StartFailureTest, EachStatusNamesTheValueItIsAbout) {
  StartSettings used;
  used.haveLog = used.haveTarget = used.haveState = true;
  used.log = "C:\\traces\\capi.log";
  used.target = "CAPI201";
  used.state = TRACE_STATE_NONE;
  EXPECT_EQ(
      "cannot create the log file \"C:\\traces\\capi.log\": there is no folder \"C:\\traces\"",
      ExplainStartFailure(0xC000003A, used));
  EXPECT_EQ("the log file \"C:\\traces\\capi.log\" is a folder",
            ExplainStartFailure(0xC00000BA, used));
  EXPECT_EQ("the log file \"C:\\traces\\capi.log\" is open in another program",
            ExplainStartFailure(0xC0000043, used));
  EXPECT_EQ("the driver ran out of memory", ExplainStartFailure(0xC000009A, used));
  EXPECT_EQ("the system is shutting down", ExplainStartFailure(0xC0000189, used));
  EXPECT_EQ("the driver is being unloaded", ExplainStartFailure(0xC0000056, used));
  EXPECT_EQ("", ExplainStartFailure(0xC0000001, used));
  // Tracing left on after its device went away.
  used.state = TRACE_STATE_RUNNING;
  EXPECT_EQ(
      "the traced device \"CAPI201\" (\\Device\\CAPI201) was removed: stop tracing "
      "('pellinorctl stop'), then start again once it is back",
      ExplainStartFailure(0xC0000056, used));
  // A start while tracing opens no log: only a setting read can fail.
  EXPECT_EQ("a setting could not be read; tracing goes on as it was",
            ExplainStartFailure(0xC0000022, used));
  used.state = TRACE_STATE_NONE;

  // A file in the root; a path the device name may be about as well.
  used.log = "Q:\\x.log";
  used.target = "\\Device\\Capi\\2";
  EXPECT_EQ(
      "the traced device \"\\Device\\Capi\\2\" does not exist, or there is no folder \"Q:\\\" "
      "for the log file \"Q:\\x.log\"",
      ExplainStartFailure(0xC000003A, used));

  // Names the driver cannot open, with the limit.
  used.log = "C:\\" + std::string(256, 'n') + "\\x.log";
  EXPECT_EQ("cannot create the log file \"C:\\" + std::string(57, 'n') + "...\": the name \"" +
                std::string(60, 'n') +
                "...\" is 256 characters long, a file or folder name at most 255",
            ExplainStartFailure(0xC0000033, used));
  used.log = "C:\\logs\\";
  EXPECT_EQ("the log file \"C:\\logs\\\" names a folder, not a file",
            ExplainStartFailure(0xC0000033, used));
  used.target = std::string(32759, 'T');
  EXPECT_EQ("the traced device's name is 32759 characters long, at most 32758",
            ExplainStartFailure(0xC000009A, used));
  EXPECT_EQ("", TargetNameTooLong(std::string(32758, 'T')));
  EXPECT_EQ("", TargetNameTooLong("\\" + std::string(32765, 'T')));
  used.target = "CAPI201";
  used.log = "C:\\" + std::string(32752, 'p');
  EXPECT_EQ("the log file's path is 32755 characters long, at most 32754",
            ExplainStartFailure(0xC000009A, used));
}

TEST_F(ControlToolTest, WithoutTheDriverTheToolSaysSoAndHowToLoadIt) {
  // Not installed: no service key.
  backend.openResult = ControlResult::Win32(2);
  const std::string notInstalled =
      "pellinorctl: the driver is not installed (there is no service Pellinor): copy pellinor.sys "
      "to %SystemRoot%\\System32\\drivers, then run 'pellinorctl install' and 'sc start "
      "Pellinor'\n";
  for (const char* command : {"state", "start", "stop", "show"}) {
    EXPECT_EQ(kExitFailed, Run({command})) << command;
    EXPECT_EQ(notInstalled, err) << command;
    EXPECT_EQ("", out) << command;
  }
  EXPECT_TRUE(backend.calls.empty());
  EXPECT_EQ(0, backend.closes);

  // Installed: show prints what the driver will start with, read as the
  // driver reads it; the other commands say how to load it.
  backend.serviceValues["Start"] = {4, Number(3)};
  backend.serviceValues["Pellinor_Flags"] = {4, Number(0xFFFFFFFF)};
  backend.serviceValues["Pellinor_B3Bytes"] = {3, {0xE8, 0x03}};  // binary, 1000
  backend.serviceValues["Pellinor_Log"] = {
      1, {'D', 0, ':', 0, '\\', 0, 'a', 0, 0xE9, 0, 0x3A, 0x26, 0, 0, 'z', 0}};
  backend.serviceValues["Pellinor_Target"] = {0, {'X', 0}};  // REG_NONE: missing
  backend.serviceValues["Pellinor_LogLimit"] = {4, {}};      // empty: missing
  backend.serviceValues["Pellinor_LogKeep"] = {4, Number(20)};
  backend.serviceValues["Pellinor_Caller"] = {4, Number(5)};
  backend.serviceValues["Pellinor_UserMessages"] = {4, Number(0x01000000)};
  EXPECT_EQ(kExitOk, Run({"show"}));
  EXPECT_EQ(
      "state:    not loaded ('sc start Pellinor' loads it)\n"
      "flags:    0xFFFFFACF\n"
      "b3bytes:  32\n"
      "log:      D:\\a\xE9?\n"
      "target:   CAPI201\n"
      "loglimit: 0\n"
      "logkeep:  9\n"
      "caller:   1\n"
      "user-messages: 1\n",
      out);
  EXPECT_EQ("", err);
  EXPECT_EQ(kExitFailed, Run({"state"}));
  EXPECT_EQ(
      "pellinorctl: the driver is not loaded (there is no \\\\.\\PellinorWin32CTL): "
      "'sc start Pellinor' loads it\n",
      err);
  // A link left without its device: the path is not found.
  backend.openResult = ControlResult::Win32(3);
  EXPECT_EQ(kExitFailed, Run({"state"}));
  EXPECT_NE(err.find("the driver is not loaded"), std::string::npos) << err;
  EXPECT_TRUE(backend.calls.empty());

  // Other reasons an open fails keep their error, with what it means.
  backend.openResult = ControlResult::Win32(5);
  EXPECT_EQ(kExitFailed, Run({"show"}));
  EXPECT_EQ(
      "pellinorctl: cannot open \\\\.\\PellinorWin32CTL: only an administrator may control "
      "tracing, and one program at a time (Win32 error 0x00000005 ERROR_ACCESS_DENIED)\n",
      err);
  EXPECT_EQ("", out);
}

TEST_F(ControlToolTest, SetNumbersPrintWhatTheDriverStored) {
  backend.Script(IOCTL_TRACE_SET_FLAGS, {{0, Number(0xFFFFFACF)}});
  EXPECT_EQ(kExitOk, Run({"set", "flags", "0xFFFFFFFF"}));
  EXPECT_EQ("flags: 0xFFFFFACF (0x00000530 dropped: no flags there)\n", out);
  ASSERT_EQ(1u, backend.calls.size());
  EXPECT_EQ(Number(0xFFFFFFFF), backend.calls[0].input);
  EXPECT_EQ(4u, backend.calls[0].outLength);

  backend.Script(IOCTL_TRACE_SET_B3BYTES, {{0, Number(32)}});
  EXPECT_EQ(kExitOk, Run({"set", "b3bytes", "1000"}));
  EXPECT_EQ("b3bytes: 32\n", out);
  EXPECT_EQ(Number(1000), backend.calls[1].input);

  // Numbers in either base, upper or lower case, the whole 32-bit range.
  EXPECT_EQ(kExitOk, Run({"set", "b3bytes", "4294967295"}));
  EXPECT_EQ(Number(0xFFFFFFFF), backend.calls[2].input);
  EXPECT_EQ(kExitOk, Run({"set", "flags", "0XfAcF"}));
  EXPECT_EQ(Number(0xFACF), backend.calls[3].input);

  // The log size limit in megabytes, in decimal: the driver's 4095 at most.
  backend.Script(IOCTL_TRACE_SET_LOGLIMIT, {{0, Number(4095)}});
  EXPECT_EQ(kExitOk, Run({"set", "loglimit", "100000"}));
  EXPECT_EQ("loglimit: 4095\n", out);
  ASSERT_EQ(5u, backend.calls.size());
  EXPECT_EQ(IOCTL_TRACE_SET_LOGLIMIT, backend.calls[4].code);
  EXPECT_EQ(Number(100000), backend.calls[4].input);
  EXPECT_EQ(4u, backend.calls[4].outLength);
  // A driver that returns nothing: what was asked for is what is shown.
  backend.Script(IOCTL_TRACE_SET_LOGLIMIT, {{0, {}, 0}});
  EXPECT_EQ(kExitOk, Run({"set", "loglimit", "64"}));
  EXPECT_EQ("loglimit: 64\n", out);
}

TEST_F(ControlToolTest, SetStringsSendTheirTerminator) {
  EXPECT_EQ(kExitOk, Run({"set", "log", "C:\\Trace\\capi.log"}));
  EXPECT_EQ(kExitOk, Run({"set", "target", "\\Device\\CAPI202"}));
  EXPECT_EQ("", out);
  ASSERT_EQ(2u, backend.calls.size());
  EXPECT_EQ(IOCTL_TRACE_SET_LOG, backend.calls[0].code);
  EXPECT_EQ(Text("C:\\Trace\\capi.log"), backend.calls[0].input);
  EXPECT_EQ(IOCTL_TRACE_SET_TARGET, backend.calls[1].code);
  EXPECT_EQ(Text("\\Device\\CAPI202"), backend.calls[1].input);
}

TEST_F(ControlToolTest, GetPrintsEachSettingInItsForm) {
  backend.Script(IOCTL_TRACE_GET_FLAGS, {{0, Number(3)}});
  backend.Script(IOCTL_TRACE_GET_B3BYTES, {{0, Number(32)}});
  backend.Script(IOCTL_TRACE_GET_TARGET, {{0, Text("CAPI201")}});
  backend.Script(IOCTL_TRACE_GET_LOGLIMIT, {{0, Number(64)}});
  EXPECT_EQ(kExitOk, Run({"get", "flags"}));
  EXPECT_EQ("0x00000003\n", out);
  EXPECT_EQ(kExitOk, Run({"get", "b3bytes"}));
  EXPECT_EQ("32\n", out);
  EXPECT_EQ(kExitOk, Run({"get", "target"}));
  EXPECT_EQ("CAPI201\n", out);
  EXPECT_EQ(IOCTL_TRACE_GET_TARGET, backend.calls[2].code);
  EXPECT_TRUE(backend.calls[2].input.empty());
  EXPECT_EQ(kExitOk, Run({"get", "loglimit"}));
  EXPECT_EQ("64\n", out);
  EXPECT_EQ(IOCTL_TRACE_GET_LOGLIMIT, backend.calls[3].code);
  EXPECT_EQ(4u, backend.calls[3].outLength);
  // A short answer is a failure, not a number made of what was there.
  backend.Script(IOCTL_TRACE_GET_LOGLIMIT, {{0, Number(64), 2}});
  EXPECT_EQ(kExitFailed, Run({"get", "loglimit"}));
  EXPECT_EQ("", out);
  EXPECT_EQ("pellinorctl: get loglimit: the driver returned 2 bytes instead of 4\n", err);
}

TEST_F(ControlToolTest, GetStringAsksAgainWithTheLargestBufferWhenTooSmall) {
  const std::string longPath = "C:\\" + std::string(2000, 'a') + ".log";
  backend.Script(IOCTL_TRACE_GET_LOG, {{0x80000005, {}, 0}, {0, Text(longPath)}});
  EXPECT_EQ(kExitOk, Run({"get", "log"}));
  EXPECT_EQ(longPath + "\n", out);
  ASSERT_EQ(2u, backend.calls.size());
  EXPECT_LT(backend.calls[0].outLength, longPath.size());
  EXPECT_EQ(0xFFFEu, backend.calls[1].outLength);
  EXPECT_EQ(1, backend.opens);
}

TEST_F(ControlToolTest, GetStringReadsOnlyWhatTheDriverReports) {
  // The buffer holds more than the driver says it wrote: the rest is not
  // part of the answer.
  backend.Script(IOCTL_TRACE_GET_LOG, {{0, {'C', ':', '\\', 'x', 'y', 'z'}, 3}});
  EXPECT_EQ(kExitOk, Run({"get", "log"}));
  EXPECT_EQ("C:\\\n", out);
  // Nothing reported: an empty string.
  backend.Script(IOCTL_TRACE_GET_TARGET, {{0, {'A', 'B'}, 0}});
  EXPECT_EQ(kExitOk, Run({"get", "target"}));
  EXPECT_EQ("\n", out);
}

TEST_F(ControlToolTest, ShowPrintsTheStateAndEverySettingWithOneOpen) {
  backend.Script(IOCTL_TRACE_GET_STATE, {{0, Number(TRACE_STATE_STOPPED)}});
  backend.Script(IOCTL_TRACE_GET_FLAGS, {{0, Number(0x0A03)}});
  backend.Script(IOCTL_TRACE_GET_B3BYTES, {{0, Number(16)}});
  backend.Script(IOCTL_TRACE_GET_LOG, {{0, Text("C:\\Pellinor.log")}});
  backend.Script(IOCTL_TRACE_GET_TARGET, {{0, Text("CAPI201")}});
  backend.Script(IOCTL_TRACE_GET_LOGLIMIT, {{0, Number(64)}});
  backend.Script(IOCTL_TRACE_GET_LOGKEEP, {{0, Number(3)}});
  backend.Script(IOCTL_TRACE_GET_CALLER, {{0, Number(1)}});
  backend.Script(IOCTL_TRACE_GET_USERMESSAGES, {{0, Number(0)}});
  EXPECT_EQ(kExitOk, Run({"show"}));
  EXPECT_EQ(
      "state:    stopped\n"
      "flags:    0x00000A03\n"
      "b3bytes:  16\n"
      "log:      C:\\Pellinor.log\n"
      "target:   CAPI201\n"
      "loglimit: 64\n"
      "logkeep:  3\n"
      "caller:   1\n"
      "user-messages: 0\n",
      out);
  ASSERT_EQ(9u, backend.calls.size());
  EXPECT_EQ(IOCTL_TRACE_GET_CALLER, backend.calls[7].code);
  EXPECT_EQ(IOCTL_TRACE_GET_USERMESSAGES, backend.calls[8].code);
  EXPECT_EQ("", err);
  EXPECT_EQ(1, backend.opens);
  EXPECT_EQ(1, backend.closes);
}

// A driver older than the caller ids and the user messages answers their
// requests with STATUS_NOT_IMPLEMENTED: show says so in those lines and
// shows the rest.
TEST_F(ControlToolTest, ShowTellsWhatAnOlderDriverDoesNotKnow) {
  backend.Script(IOCTL_TRACE_GET_STATE, {{0, Number(TRACE_STATE_RUNNING)}});
  backend.Script(IOCTL_TRACE_GET_FLAGS, {{0, Number(3)}});
  backend.Script(IOCTL_TRACE_GET_B3BYTES, {{0, Number(32)}});
  backend.Script(IOCTL_TRACE_GET_LOG, {{0, Text("C:\\Pellinor.log")}});
  backend.Script(IOCTL_TRACE_GET_TARGET, {{0, Text("CAPI201")}});
  backend.Script(IOCTL_TRACE_GET_LOGLIMIT, {{0, Number(0)}});
  backend.Script(IOCTL_TRACE_GET_LOGKEEP, {{0, Number(1)}});
  backend.Script(IOCTL_TRACE_GET_CALLER, {{0xC0000002}});
  backend.Script(IOCTL_TRACE_GET_USERMESSAGES, {{0xC0000002}});
  EXPECT_EQ(kExitOk, Run({"show"}));
  EXPECT_NE(out.find("logkeep:  1\ncaller:   not known to this driver\n"
                     "user-messages: not known to this driver\n"),
            std::string::npos)
      << out;
  EXPECT_EQ("", err);
  EXPECT_EQ(kExitFailed, Run({"get", "caller"}));
  EXPECT_EQ("pellinorctl: get caller: 0xC0000002 STATUS_NOT_IMPLEMENTED\n", err);
  backend.Script(IOCTL_TRACE_SET_USERMESSAGES, {{0xC0000002}});
  EXPECT_EQ(kExitFailed, Run({"set", "user-messages", "1"}));
  EXPECT_EQ("pellinorctl: set user-messages: 0xC0000002 STATUS_NOT_IMPLEMENTED\n", err);
}

TEST_F(ControlToolTest, ShowStopsAtTheFirstFailureAndPrintsNothing) {
  backend.Script(IOCTL_TRACE_GET_STATE, {{0, Number(TRACE_STATE_RUNNING)}});
  backend.Script(IOCTL_TRACE_GET_FLAGS, {{0, Number(3)}});
  backend.Script(IOCTL_TRACE_GET_B3BYTES, {{0xC000009A}});
  EXPECT_EQ(kExitFailed, Run({"show"}));
  EXPECT_EQ("", out);
  EXPECT_EQ("pellinorctl: get b3bytes: 0xC000009A STATUS_INSUFFICIENT_RESOURCES\n", err);
  EXPECT_EQ(1, backend.closes);
}

TEST_F(ControlToolTest, UsageErrorsExitWithTwoAndTouchNothing) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"status"},
      {"state", "now"},
      {"start", "--force"},
      {"stop", "--forced"},
      {"stop", "--force", "--force"},
      {"--version", "--driver"},
      {"get"},
      {"get", "Flags"},
      {"get", "log", "x"},
      {"set", "flags"},
      {"set", "flags", "abc"},
      {"set", "flags", "-1"},
      {"set", "flags", "+1"},
      {"set", "flags", " 1"},
      {"set", "flags", "0x"},
      {"set", "flags", "0x100000000"},
      {"set", "b3bytes", "4294967296"},
      {"set", "b3bytes", "12k"},
      {"set", "log", ""},
      {"set", "log", "C:\\" + std::string(256, 'n')},
      {"set", "log", "C:\\" + std::string(32752, 'p')},
      {"set", "target", std::string(32759, 'T')},
      {"set", "loglimit"},
      {"set", "loglimit", "64MB"},
      {"set", "loglimit", "-1"},
      {"get", "LogLimit"},
      {"get", "usermessages"},
      {"set", "user-messages", "on"},
      {"set", "state", "1"},
      {"install", "--start"},
      {"install", "--start", "boot"},
      {"install", "auto"},
      {"uninstall", "now"},
  };
  for (const auto& args : wrong) {
    std::string line;
    for (const auto& arg : args) line += arg + " ";
    EXPECT_EQ(kExitUsage, Run(args)) << line;
    // One line of what was wrong and a hint, not the whole usage.
    EXPECT_EQ(err.substr(err.find('\n') + 1), "Try 'pellinorctl help' for the commands.\n") << line;
    EXPECT_EQ("", out) << line;
  }
  EXPECT_EQ(0, backend.opens);
  EXPECT_TRUE(backend.installed.empty());
  EXPECT_TRUE(backend.removed.empty());
}

TEST_F(ControlToolTest, HelpGoesToStandardOutput) {
  EXPECT_EQ(kExitOk, Run({"--help"}));
  EXPECT_EQ(ControlTool::Usage(), out);
  EXPECT_EQ("", err);
}

// --version prints the tool's two lines whatever the driver does, then one
// line of what the loaded driver says of itself, and never fails.
TEST_F(ControlToolTest, VersionNamesTheToolAndWhatTheDriverSaysOfItself) {
  const std::string tool = "pellinorctl (Pellinor) " PELLINOR_VERSION "\nbuild: ";
  const std::string identity = "Pellinor CAPI 2.0 Kernel Trace Driver v2.0  Build Date 14:03:07 Jan  5 2003";
  backend.Script(IOCTL_TRACE_GET_VERSION, {{0, Text(identity)}});
  EXPECT_EQ(kExitOk, Run({"--version"}));
  EXPECT_EQ(tool, out.substr(0, tool.size()));
  EXPECT_EQ("driver: " + identity + "\n", out.substr(out.find('\n', tool.size()) + 1));
  EXPECT_EQ("", err);
  ASSERT_EQ(1u, backend.calls.size());
  EXPECT_TRUE(backend.calls[0].input.empty());
  EXPECT_EQ(1, backend.closes);

  const std::pair<Answer, const char*> others[] = {
      // A driver built before the version request.
      {{0xC0000002}, "driver: loaded, a build older than the version request (its log's banner names it)\n"},
      {{0xC000009A}, "driver: loaded, its version not told: 0xC000009A STATUS_INSUFFICIENT_RESOURCES\n"},
  };
  for (const auto& other : others) {
    backend.Script(IOCTL_TRACE_GET_VERSION, {other.first});
    EXPECT_EQ(kExitOk, Run({"--version"}));
    EXPECT_EQ(other.second, out.substr(out.find('\n', tool.size()) + 1));
  }

  const size_t calls = backend.calls.size();
  backend.openResult = ControlResult::Win32(2);
  EXPECT_EQ(kExitOk, Run({"--version"}));
  EXPECT_EQ("driver: not loaded\n", out.substr(out.find('\n', tool.size()) + 1));
  backend.openResult = ControlResult::Win32(5);
  EXPECT_EQ(kExitOk, Run({"--version"}));
  EXPECT_EQ("driver: cannot ask it: Win32 error 0x00000005 ERROR_ACCESS_DENIED\n",
            out.substr(out.find('\n', tool.size()) + 1));
  EXPECT_EQ("", err);
  EXPECT_EQ(calls, backend.calls.size());
}

TEST_F(ControlToolTest, InstallRegistersAKernelDriverServiceWithoutOpeningTheDevice) {
  EXPECT_EQ(kExitOk, Run({"install"}));
  EXPECT_EQ(kExitOk, Run({"install", "--start", "auto"}));
  EXPECT_EQ(kExitOk, Run({"install", "--start", "demand"}));
  ASSERT_EQ(3u, backend.installed.size());
  const ServiceConfig& config = backend.installed[0];
  EXPECT_EQ("Pellinor", config.name);
  EXPECT_EQ("\\SystemRoot\\System32\\drivers\\pellinor.sys", config.imagePath);
  EXPECT_EQ(1u, config.type);          // kernel driver
  EXPECT_EQ(1u, config.errorControl);  // normal
  EXPECT_EQ(3u, backend.installed[0].startType);
  EXPECT_EQ(2u, backend.installed[1].startType);
  EXPECT_EQ(3u, backend.installed[2].startType);
  EXPECT_EQ(0, backend.opens);
  // Each install registers the driver as the source of its event log
  // entries, with its image as the message file behind the I/O manager's.
  ASSERT_EQ(3u, backend.sources.size());
  EXPECT_EQ("Pellinor", backend.sources[0].name);
  EXPECT_EQ("%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\drivers\\pellinor.sys",
            backend.sources[0].messageFile);
  EXPECT_EQ(7u, backend.sources[0].typesSupported);
}

TEST_F(ControlToolTest, EventSourceFollowsTheService) {
  // A source that cannot be registered fails the install before the
  // service is made.
  backend.sourceResult = ControlResult::Win32(5);
  EXPECT_EQ(kExitFailed, Run({"install"}));
  EXPECT_EQ("pellinorctl: install: Win32 error 0x00000005 ERROR_ACCESS_DENIED\n", err);
  EXPECT_TRUE(backend.installed.empty());
  // Uninstall removes the source even when the service is gone already.
  backend.sourceResult = ControlResult::Win32(0);
  backend.serviceResult = ControlResult::Win32(1060);
  EXPECT_EQ(kExitFailed, Run({"uninstall"}));
  ASSERT_EQ(1u, backend.removedSources.size());
  EXPECT_EQ("Pellinor", backend.removedSources[0]);
}

TEST_F(ControlToolTest, ServiceFailuresPrintTheWin32Error) {
  backend.serviceResult = ControlResult::Win32(1073);
  EXPECT_EQ(kExitFailed, Run({"install", "--start", "auto"}));
  EXPECT_EQ("pellinorctl: install: Win32 error 0x00000431 ERROR_SERVICE_EXISTS\n", err);

  backend.serviceResult = ControlResult::Win32(1060);
  EXPECT_EQ(kExitFailed, Run({"uninstall"}));
  EXPECT_EQ("pellinorctl: uninstall: Win32 error 0x00000424 ERROR_SERVICE_DOES_NOT_EXIST\n", err);
  ASSERT_EQ(1u, backend.removed.size());
  EXPECT_EQ("Pellinor", backend.removed[0]);
}

TEST(StatusNamesTest, NamesAndFailures) {
  EXPECT_STREQ("STATUS_DELETE_PENDING", NtStatusName(0xC0000056));
  EXPECT_STREQ("STATUS_BUFFER_TOO_SMALL", NtStatusName(0xC0000023));
  EXPECT_EQ(nullptr, NtStatusName(0xC0009899));
  EXPECT_STREQ("ERROR_ACCESS_DENIED", Win32ErrorName(5));
  EXPECT_TRUE(ControlResult::Nt(0x80000005).Failed());
  EXPECT_FALSE(ControlResult::Nt(0x00000103).Failed());
  EXPECT_FALSE(ControlResult::Win32(0).Failed());
  EXPECT_EQ("0x00000000 STATUS_SUCCESS", DescribeResult(ControlResult::Nt(0)));
}

}  // namespace
}  // namespace pellinorctl

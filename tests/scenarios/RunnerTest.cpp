// The built pellinor-sim, run as a user runs it: its own errors with their
// messages, lines and exit statuses; the test scenarios of this folder; and
// the bundled scenarios, whose logs are compared whole with the golden files
// in tests/data/scenarios/ (PELLINOR_UPDATE_GOLDEN=1 rewrites them).
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pipeline/TraceHarness.h"

namespace {

namespace fs = std::filesystem;

struct SimRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of its own for each test: the drive, the scenario, the outputs.
fs::path Workspace() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path dir = fs::path(::testing::TempDir()) / "pellinor-sim" /
                 (std::string(info->test_suite_name()) + "." + info->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

SimRun Sim(const fs::path& dir, const std::string& arguments) {
  const std::string runner = PELLINOR_SIM_RUNNER;
  const std::string command = (runner.empty() ? "" : runner + " ") + PELLINOR_SIM_PROGRAM + " " +
                              arguments + " > " + (dir / "out").string() + " 2> " +
                              (dir / "err").string();
  SimRun run;
  const int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = Slurp(dir / "out");
  run.err = Slurp(dir / "err");
  return run;
}

fs::path Write(const fs::path& dir, const std::string& name, const std::string& text) {
  std::ofstream(dir / name, std::ios::binary) << text;
  return dir / name;
}

TEST(PellinorSim, SyntaxErrorsNameTheLineAndExitWithTwo) {
  const fs::path dir = Workspace();
  const std::string s = Write(dir, "s.pel",
                              "# nothing runs before the whole scenario is read\n"
                              "registry set Pellinor Start dword 3\n"
                              "clock advance soon\n")
                            .string();
  SimRun run = Sim(dir, "--drive " + (dir / "drive").string() + " " + s);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, s + ":3: 'soon' is not a number of milliseconds\n");
  EXPECT_EQ(run.out, "");
  // Nothing ran: not even the registry of the drive was written.
  EXPECT_FALSE(fs::exists(dir / "drive" / "registry.txt"));

  Write(dir, "s.pel", "clock set 2003-01-05 14:03:07\n\nfrobnicate now\n");
  run = Sim(dir, "--drive " + (dir / "drive").string() + " " + s);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, s + ":3: unknown command 'frobnicate'\n");

  Write(dir, "s.pel", "pellinorctl get target \"CAPI201\n");
  run = Sim(dir, "--drive " + (dir / "drive").string() + " " + s);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, s + ":1: unterminated quote\n");

  Write(dir, "s.pel", "driver unload => STATUS_SUCCESS\n");
  run = Sim(dir, "--drive " + (dir / "drive").string() + " " + s);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, s + ":1: this command has no result to expect\n");

  // A start stage on Windows NT would never be asked for: refused, not ignored.
  Write(dir, "s.pel", "system stage 0x10000000\nsystem version 98\nsystem stage ready\n");
  run = Sim(dir, "--drive " + (dir / "drive").string() + " " + s);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, s + ":1: system stage: only Windows 98/Me has a start stage; give 'system "
                         "version 98' first\n");
}

TEST(PellinorSim, MissingScenarioAndBadOptions) {
  const fs::path dir = Workspace();
  const std::string missing = (dir / "missing.pel").string();
  SimRun run = Sim(dir, missing);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, missing + ": cannot read the scenario: No such file or directory\n");
  run = Sim(dir, "--colour " + missing);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("pellinor-sim: unknown option '--colour'\nusage: pellinor-sim", 0), 0u);
  run = Sim(dir, "");
  EXPECT_EQ(run.status, 2);
  // A folder is no scenario: refused before any machine is made.
  fs::create_directories(dir / "folder");
  run = Sim(dir, "--drive " + (dir / "drive").string() + " " + (dir / "folder").string());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, (dir / "folder").string() + ": cannot read the scenario: it is a directory\n");
  EXPECT_FALSE(fs::exists(dir / "drive"));
}

TEST(PellinorSim, AFailingStepStopsTheRunWithItsLine) {
  const fs::path dir = Workspace();
  const std::string drive = (dir / "drive").string();
  const std::string s = Write(dir, "s.pel",
                              "registry set Pellinor Start dword 3\n"
                              "registry expect Pellinor Start dword 2\n"
                              "registry set Pellinor Never dword 1\n")
                            .string();
  SimRun run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, s + ":2: registry value Start is type 4 03 00 00 00, expected type 4 02 00 00 00\n");
  // The steps after it did not run; the machine's registry was kept.
  EXPECT_EQ(Slurp(fs::path(drive) / "registry.txt").find("Never"), std::string::npos);

  // An unexpected status, and an unmet expectation of the control tool.
  Write(dir, "s.pel",
        "registry set Pellinor Start dword 3\n"
        "fail pool every 1 tag NRXc\n"
        "driver load\n");
  run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, s + ":3: loading the trace driver ended with 0xC000009A "
                     "STATUS_INSUFFICIENT_RESOURCES, expected success\n");
  // A load that may end either way says how it ended; a failed call says
  // why, with the limit it went past.
  Write(dir, "s.pel",
        "registry set Pellinor Start dword 3\n"
        "fail pool every 1 tag NRXc\n"
        "driver load => any\n"
        "fail pool off\n"
        "capi load => STATUS_SUCCESS\n"
        "app a open user\n"
        "app a call blocks 1 size 5000\n");
  run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "driver load: 0xC000009A STATUS_INSUFFICIENT_RESOURCES\n"
            "capi load: 0x00000000 STATUS_SUCCESS\n"
            "app a open: 0x00000000 STATUS_SUCCESS\n"
            "app a call: failed: DATA_B3_REQ 1: DATA_B3_CONF Info 0x300C (data length not "
            "supported by the current protocol): the block's 5000 bytes exceed the "
            "maxBDataLength of 2048 it registered\n");
  EXPECT_EQ(run.err, s + ":7: the call failed: DATA_B3_REQ 1: DATA_B3_CONF Info 0x300C (data "
                         "length not supported by the current protocol): the block's 5000 bytes "
                         "exceed the maxBDataLength of 2048 it registered\n");

  Write(dir, "s.pel", "pellinorctl state\n");
  run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, s + ":1: pellinorctl exited with 1, expected 0\n");
  EXPECT_EQ(run.out,
            "> pellinorctl state\n"
            "pellinorctl: the driver is not installed (there is no service Pellinor): copy "
            "pellinor.sys to %SystemRoot%\\System32\\drivers, then run 'pellinorctl install' and "
            "'sc start Pellinor'\n"
            "(exit status 1)\n");

  // A device setting after the device was loaded would change nothing.
  Write(dir, "s.pel", "capi load\ncapi complete read pending\n");
  run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, s + ":2: capi complete configures the CAPI device's next load, and the "
                     "device is loaded now: give it before capi load (or after capi unload)\n");
}

// The filter's destruction waits for every kernel-mode open made through
// it: a scenario that leaves a kernel-mode application open while tracing
// ends with its close, told and traced, rather than an unload that hangs.
TEST(PellinorSim, AKernelModeApplicationLeftOpenIsClosedBeforeTheUnload) {
  const fs::path dir = Workspace();
  const std::string drive = (dir / "drive").string();
  const std::string s = Write(dir, "s.pel",
                              "capi load\npellinorctl install\ndriver load\npellinorctl start\n"
                              "app k open kernel\napp u open user\n")
                            .string();
  SimRun run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("(end: the kernel-mode application k closed before the drivers unload)\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("application u closed"), std::string::npos) << run.out;
  const std::string log = Slurp(fs::path(drive) / "Pellinor.log");
  EXPECT_NE(log.find("Stop Tracing"), std::string::npos) << log;
}

TEST(PellinorSim, ABugCheckIsAFailingStep) {
  const fs::path dir = Workspace();
  // Only kernel components can send an internal I/O control: the emulated
  // kernel stops the machine.
  const std::string s = Write(dir, "s.pel",
                              "capi load\n"
                              "\n"
                              "ioctl capi user internal 0x80012004 0c0002000200080000020000 4\n")
                            .string();
  SimRun run = Sim(dir, "--fresh --drive " + (dir / "drive").string() + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("*** BUG CHECK"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(s + ":3: bug check: "), std::string::npos) << run.err;
}

TEST(PellinorSim, TheRegistryPersistsInTheDriveUnlessFresh) {
  const fs::path dir = Workspace();
  const std::string drive = (dir / "drive").string();
  const std::string set = Write(dir, "set.pel", "registry set Pellinor Pellinor_B3Bytes dword 7\n").string();
  const std::string check =
      Write(dir, "check.pel", "registry expect Pellinor Pellinor_B3Bytes dword 7\n").string();
  SimRun run = Sim(dir, "--drive " + drive + " " + set);
  EXPECT_EQ(run.status, 0) << run.err;
  // Nothing traced: no log, and no path of one.
  EXPECT_EQ(run.out, "");
  run = Sim(dir, "--drive " + drive + " " + check);
  EXPECT_EQ(run.status, 0) << run.err;
  run = Sim(dir, "--fresh --drive " + drive + " " + check);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, check + ":1: registry value Pellinor_B3Bytes is missing\n");
}

// The log a clean run left, with its addresses and build date replaced by
// names, so that it compares whole. Message and payload pointers are the
// applications' buffers, whose reuse depends on the host's allocator (it
// differs under the sanitizers): each non-null one reads "PTR".
std::string NormalisedLog(const fs::path& path) {
  const std::string pointers = std::regex_replace(
      Slurp(path), std::regex("(Pointer: +0x)(?!00000000)[0-9A-F]{8}"), "$1PTR");
  const std::string text = tracetest::NormaliseAddresses(pointers);
  return std::regex_replace(text, std::regex("Build Date [0-9:]+ [A-Z][a-z][a-z] [ 0-9]\\d \\d{4}"),
                            "Build Date (build date)");
}

std::string Golden(const std::string& name, const std::string& actual) {
  const fs::path path = fs::path(PELLINOR_SOURCE_DIR) / "tests/data/scenarios" / name;
  const char* update = std::getenv("PELLINOR_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(path, std::ios::binary) << actual;
    return actual;
  }
  return Slurp(path);
}

class BundledScenario : public ::testing::TestWithParam<const char*> {};

// Each bundled scenario runs clean on a fresh machine, and the log it
// leaves is the golden one.
TEST_P(BundledScenario, WritesItsGoldenLog) {
  const std::string name = GetParam();
  const fs::path dir = Workspace();
  const fs::path drive = dir / "drive";
  const std::string scenario = std::string(PELLINOR_SOURCE_DIR) + "/scenarios/" + name + ".pel";
  SimRun run = Sim(dir, "--fresh --drive " + drive.string() + " " + scenario);
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_EQ(run.err, "");
  // The run ends with the log's path.
  const fs::path log = drive / "Pellinor.log";
  ASSERT_GE(run.out.size(), log.string().size() + 1);
  EXPECT_EQ(run.out.substr(run.out.size() - log.string().size() - 1), log.string() + "\n");
  const std::string actual = NormalisedLog(log);
  EXPECT_EQ(actual, Golden(name + ".log", actual));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BundledScenario,
                         ::testing::Values("demo", "kernel-client", "maker-target",
                                           "settings-restart", "forced-stop", "pnp-removal",
                                           "retry-target", "direct-io", "kernel-user-pointer",
                                           "ordinary-user", "shutdown", "callers",
                                           "user-messages"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// The decoded messages of a log's records of one way of carrying them, in
// order: a record (blank-line separated) whose summary is a
// CAPI_PUT_MESSAGE or CAPI_GET_MESSAGE by I/O control (or by read and
// write) gives its lines from the message's own first line
// ("CONNECT_REQ   49 Byte  ApplID: ...") on.
std::vector<std::string> DecodedMessages(const std::string& log, bool byIoctl) {
  static const std::regex summary("^(COMPLETION )?CAPI_(PUT|GET)_MESSAGE +\\((MJ_[A-Z_]+) ");
  static const std::regex first("^[A-Z0-9_]+ +[0-9]+ Byte  ApplID");
  std::vector<std::string> messages;
  std::istringstream in(log);
  std::string line;
  bool inRecord = false;
  bool inMessage = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    std::smatch match;
    if (std::regex_search(line, match, summary)) {
      inRecord = (match[3] == "MJ_DEVICE_CONTROL") == byIoctl;
      inMessage = false;
    } else if (line.empty()) {
      inRecord = inMessage = false;
    } else if (inRecord && (inMessage || std::regex_search(line, first))) {
      inMessage = true;
      messages.push_back(line);
    }
  }
  return messages;
}

// The same call by I/O controls (messages copied from the application's
// memory) and by reads and writes: the same messages, decoded alike, in the
// same order.
TEST(PellinorSim, UserMessagesByIoctlDecodeAsByReadAndWrite) {
  const fs::path dir = Workspace();
  const fs::path drive = dir / "drive";
  const std::string scenario =
      std::string(PELLINOR_SOURCE_DIR) + "/scenarios/user-messages.pel";
  SimRun run = Sim(dir, "--fresh --drive " + drive.string() + " " + scenario);
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  const std::string log = Slurp(drive / "Pellinor.log");
  std::vector<std::string> byIoctl = DecodedMessages(log, true);
  std::vector<std::string> byReadAndWrite = DecodedMessages(log, false);
  ASSERT_GT(byReadAndWrite.size(), 40u) << log;
  EXPECT_EQ(byIoctl, byReadAndWrite);
}

// The test scenario of the machine's knobs (start stage, failures of the
// log file, the pool and the CAPI device, an incoming call, single
// requests) runs clean, and its log is the golden one.
TEST(PellinorSim, MachineScenario) {
  const fs::path dir = Workspace();
  const fs::path drive = dir / "drive";
  const std::string scenario = std::string(PELLINOR_SOURCE_DIR) + "/tests/scenarios/machine.pel";
  SimRun run = Sim(dir, "--fresh --drive " + drive.string() + " " + scenario);
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_NE(run.out.find("ioctl 0x80012018 to \\Device\\CAPI201: 0x00000000 STATUS_SUCCESS, "
                         "information 8, output 02 00 00 00 03 00 0B 00\n"),
            std::string::npos)
      << run.out;
  const std::string actual = NormalisedLog(drive / "Pellinor.log");
  EXPECT_EQ(actual, Golden("machine.log", actual));
}

// The event log scenario runs clean: every entry it expects was written,
// in order, and no other. Its logs pass 1 MB (the rename at the limit
// fails, an older generation is not kept), too long for a golden copy: the
// lines that match the entries are looked for instead.
TEST(PellinorSim, EventLogScenario) {
  const fs::path dir = Workspace();
  const fs::path drive = dir / "drive";
  const std::string scenario = std::string(PELLINOR_SOURCE_DIR) + "/tests/scenarios/eventlog.pel";
  SimRun run = Sim(dir, "--fresh --drive " + drive.string() + " " + scenario);
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  const std::string log = Slurp(drive / "Pellinor.log");
  EXPECT_NE(log.find("*** 1 trace records lost ***"), std::string::npos);
  EXPECT_NE(log.find("*** log limit reached, could not rename: 0xC0000022 ***"), std::string::npos);
  // The second session's generations: the notice went in with its
  // rotation, a later one may have moved it on.
  std::string rotated;
  for (const char* name : {"Rotating.log", "Rotating.log.old", "Rotating.log.old.2"})
    rotated += Slurp(drive / name);
  EXPECT_NE(rotated.find("*** older generation not kept, could not rename: 0xC0000022 ***"),
            std::string::npos);
}

// --print shows what this run appended to the log, after its path.
TEST(PellinorSim, PrintShowsWhatTheRunAppended) {
  const fs::path dir = Workspace();
  const fs::path drive = dir / "drive";
  const std::string scenario = std::string(PELLINOR_SOURCE_DIR) + "/scenarios/demo.pel";
  SimRun first = Sim(dir, "--fresh --print --drive " + drive.string() + " " + scenario);
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string log = Slurp(drive / "Pellinor.log");
  const std::string path = (drive / "Pellinor.log").string() + "\n";
  const size_t at = first.out.find(path);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(first.out.substr(at + path.size()), log);
  EXPECT_NE(log.find("Start Tracing"), std::string::npos);
  EXPECT_NE(log.find("Stop Tracing"), std::string::npos);
  // A second run appends to the same file and prints its own part only.
  SimRun second = Sim(dir, "--fresh --print --drive " + drive.string() + " " + scenario);
  ASSERT_EQ(second.status, 0) << second.err;
  const std::string both = Slurp(drive / "Pellinor.log");
  ASSERT_GT(both.size(), log.size());
  EXPECT_EQ(both.substr(0, log.size()), log);
  const size_t secondAt = second.out.find(path);
  ASSERT_NE(secondAt, std::string::npos);
  EXPECT_EQ(second.out.substr(secondAt + path.size()), both.substr(log.size()));
  EXPECT_EQ(tracetest::NormaliseAddresses(both.substr(log.size())),
            tracetest::NormaliseAddresses(log));
}

// The test scenario of the control tool: every command, output and exit
// status, checked by its own expectations.
TEST(PellinorSim, ControlToolScenario) {
  const fs::path dir = Workspace();
  const std::string scenario = std::string(PELLINOR_SOURCE_DIR) + "/tests/scenarios/pellinorctl.pel";
  SimRun run = Sim(dir, "--fresh --drive " + (dir / "drive").string() + " " + scenario);
  EXPECT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_EQ(run.err, "");
}

}  // namespace

// The built pellinor-sim, run as a user runs it: its own errors with their
// messages, lines and exit statuses; the test scenarios of this folder; and
// the bundled scenarios, whose logs are compared whole with the golden files
// in tests/data/scenarios/ (PELLINOR_UPDATE_GOLDEN=1 rewrites them).
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

  Write(dir, "s.pel", "pellinorctl state\n");
  run = Sim(dir, "--fresh --drive " + drive + " " + s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, s + ":1: pellinorctl exited with 1, expected 0\n");
  EXPECT_EQ(run.out,
            "> pellinorctl state\n"
            "pellinorctl: cannot open \\\\.\\PellinorWin32CTL: Win32 error 0x00000002 "
            "ERROR_FILE_NOT_FOUND\n"
            "(exit status 1)\n");
}

TEST(PellinorSim, TheRegistryPersistsInTheDriveUnlessFresh) {
  const fs::path dir = Workspace();
  const std::string drive = (dir / "drive").string();
  const std::string set = Write(dir, "set.pel", "registry set Pellinor Pellinor_B3Bytes dword 7\n").string();
  const std::string check =
      Write(dir, "check.pel", "registry expect Pellinor Pellinor_B3Bytes dword 7\n").string();
  SimRun run = Sim(dir, "--drive " + drive + " " + set);
  EXPECT_EQ(run.status, 0) << run.err;
  // A clean run prints where the log is.
  EXPECT_EQ(run.out, (fs::path(drive) / "Pellinor.log").string() + "\n");
  run = Sim(dir, "--drive " + drive + " " + check);
  EXPECT_EQ(run.status, 0) << run.err;
  run = Sim(dir, "--fresh --drive " + drive + " " + check);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, check + ":1: registry value Pellinor_B3Bytes is missing\n");
}

}  // namespace

// pellinor-sim: boots the emulated machine, runs a scenario on it, unloads
// what is still loaded and prints the log file's path (--print: also what
// the run appended to the log).
//
//   pellinor-sim [--print] [--fresh] [--drive DIR] [--driver FILE] SCENARIO
//   pellinor-sim --version
//
// Exit status: 0 the scenario ran clean; 1 a step failed (a bug check, an
// unexpected status, an unmet expectation), reported as SCENARIO:LINE:
// reason on standard error; 2 a syntax error in the scenario (SCENARIO:LINE:
// reason) or a bad command line.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "control/DriverIdentity.h"
#include "emu/BugCheck.h"
#include "tools/common/ProgramVersion.h"
#include "tools/pellinor-sim/ScenarioRunner.h"
#include "tools/pellinor-sim/ScenarioScript.h"

namespace {

std::string scenarioName;
std::atomic<int> currentLine{0};

const char kUsage[] =
    "usage: pellinor-sim [--print] [--fresh] [--drive DIR] [--driver FILE] SCENARIO\n"
    "  --print      also print what the run appended to the log file\n"
    "  --fresh      start from an empty registry\n"
    "  --drive DIR  the host folder of drive C: (default ./drive_c)\n"
    "  --driver FILE  load the trace driver from this image (the Windows\n"
    "               build's pellinor.sys) instead of the built-in one\n"
    "  --version    print the version and build of pellinor-sim and of its\n"
    "               built-in trace driver\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "pellinor-sim: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// A bug check ends the run as a failing step of the line that ran.
void OnBugCheck(uint32_t, const char* line) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s:%d: bug check: %s\n", scenarioName.c_str(), currentLine.load(), line);
  std::fflush(stderr);
  _exit(1);
}

void Fail(int line, const std::string& reason) {
  std::cout.flush();
  if (line > 0) {
    std::fprintf(stderr, "%s:%d: %s\n", scenarioName.c_str(), line, reason.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", scenarioName.c_str(), reason.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  pellinorsim::ScenarioRunner::Options options;
  bool print = false;
  std::string scenario;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--print") {
      print = true;
    } else if (arg == "--fresh") {
      options.fresh = true;
    } else if (arg == "--drive") {
      if (++i == argc) return Usage("--drive needs a folder");
      options.drive = argv[i];
    } else if (arg == "--driver") {
      if (++i == argc) return Usage("--driver needs a file");
      options.driverImage = argv[i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::fputs(pellinortools::ProgramVersion("pellinor-sim").c_str(), stdout);
      std::printf("driver: %s\n", kDriverIdentity);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option '" + arg + "'");
    } else if (!scenario.empty()) {
      return Usage("one scenario only");
    } else {
      scenario = arg;
    }
  }
  if (scenario.empty()) return Usage("no scenario");
  scenarioName = scenario;

  std::error_code kind;
  if (std::filesystem::is_directory(scenario, kind)) {
    Fail(0, "cannot read the scenario: it is a directory");
    return 2;
  }
  std::ifstream file(scenario, std::ios::binary);
  if (!file) {
    Fail(0, std::string("cannot read the scenario: ") + std::strerror(errno));
    return 2;
  }
  std::stringstream text;
  text << file.rdbuf();

  // Progress of long steps on a terminal only: never in a file or a pipe.
  if (isatty(STDERR_FILENO))
    options.progress = &std::cerr;
  pellinorsim::ScenarioRunner runner(options, std::cout);
  std::vector<pellinorsim::Step> steps;
  try {
    steps = pellinorsim::SplitScript(text.str());
    runner.Check(steps);
  } catch (const pellinorsim::SyntaxError& error) {
    Fail(error.line, error.what());
    return 2;
  }

  emu::SetBugCheckHook(OnBugCheck);
  try {
    runner.Boot();
    for (const pellinorsim::Step& step : steps) {
      currentLine = step.line;
      runner.Run(step);
    }
    currentLine = 0;
    runner.Shutdown();
  } catch (const pellinorsim::StepFailure& failure) {
    Fail(currentLine, failure.what());
    return 1;
  } catch (const pellinorsim::SyntaxError& error) {
    Fail(error.line, error.what());
    return 2;
  }

  // The log's path only where a log was written: a scenario that never
  // started tracing leaves none.
  const std::string log = runner.LogPath();
  std::error_code missing;
  if (!std::filesystem::is_regular_file(log, missing)) {
    std::cout.flush();
    return 0;
  }
  std::cout << log << "\n";
  if (print) {
    std::ifstream logFile(log, std::ios::binary);
    if (logFile) {
      logFile.seekg(std::streamoff(runner.LogSizeAtBoot()));
      std::cout << logFile.rdbuf();
    }
  }
  std::cout.flush();
  return 0;
}

// The emulated machine that a scenario drives: the clock, the registry
// (kept in the drive folder between runs), the simulated CAPI device, the
// trace driver, the control tool, applications and single requests, and
// fault injection. One runner per process: the emulated kernel is global.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <ntddk.h>

#include "emu/Image.h"
#include "tools/pellinor-sim/ProgressLine.h"
#include "tools/pellinor-sim/ScenarioScript.h"

namespace pellinorsim {

class CapiBench;

class ScenarioRunner {
 public:
  struct Options {
    std::string drive = "drive_c";
    bool fresh = false;
    // The trace driver from this PE file (the Windows build's pellinor.sys)
    // instead of the host build's; empty for the host build's.
    std::string driverImage;
    // Where long steps show their progress: a terminal, or null for none.
    std::ostream* progress = nullptr;
  };

  // `out` receives the run's transcript: what the control tool prints and
  // the results of single requests.
  ScenarioRunner(const Options& options, std::ostream& out);
  ~ScenarioRunner();
  ScenarioRunner(const ScenarioRunner&) = delete;
  ScenarioRunner& operator=(const ScenarioRunner&) = delete;

  // Checks every step's words without running anything. Throws SyntaxError.
  void Check(const std::vector<Step>& steps);
  // Boots the machine: drive folder, registry, fixed clock, manual timers.
  // Throws StepFailure (an unreadable registry file).
  void Boot();
  // Runs one step. Throws StepFailure; a BadWord is a SyntaxError.
  void Run(const Step& step);
  // Unloads what is still loaded (each unload checks the driver's pool) and
  // keeps the registry in the drive folder. Throws StepFailure.
  void Shutdown();

  // The log file's host path, from the service key's Pellinor_Log.
  std::string LogPath() const;
  // The size of the log file at boot (what this run appended starts there).
  uint64_t LogSizeAtBoot() const { return logSizeAtBoot; }
  std::string RegistryFile() const;

  // What the last command that the expect command looks at left behind.
  struct LastResult {
    enum Kind { kNone, kTool, kRequest } kind = kNone;
    int exitStatus = 0;
    std::string stdoutText, stderrText;
    uint32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output;
  };

 private:
  using Handler = void (ScenarioRunner::*)(const Step& step, bool run);
  struct Command {
    const char* name;
    Handler handler;
  };
  static const Command kCommands[];
  void Execute(const Step& step, bool run);

  void Clock(const Step& step, bool run);
  void Registry(const Step& step, bool run);
  void System(const Step& step, bool run);
  void Driver(const Step& step, bool run);
  void Capi(const Step& step, bool run);
  void Pellinorctl(const Step& step, bool run);
  void Expect(const Step& step, bool run);
  void ExpectEventLog(Words& words, bool run);
  void Ioctl(const Step& step, bool run);
  void Pnp(const Step& step, bool run);
  void Fail(const Step& step, bool run);
  void Background(const Step& step, bool run);
  void As(const Step& step, bool run);
  void Wait(const Step& step, bool run);
  void App(const Step& step, bool run);

  // The transcript and the last result of the thread that runs the step: a
  // background step has its own.
  std::ostream& Out();
  LastResult& Last();
  // Joins every background step; the first failure is thrown.
  void JoinBackground();

  bool LoadTraceDriver(uint32_t* status);
  void UnloadTraceDriver();
  void Settle();

  Options options;
  std::ostream& out;
  uint64_t logSizeAtBoot = 0;
  PDRIVER_OBJECT traceDriver = nullptr;
  // While the steps are checked: whether a system version step before made
  // the system Windows 98/Me.
  bool checkedWindows98 = false;
  // The trace driver's image while it is loaded, with driverImage.
  std::unique_ptr<emu::Image> traceImage;
  std::unique_ptr<CapiBench> capi;
  ProgressLine progress;

  // The entries of the event log that `expect eventlog` has looked at.
  size_t eventLogChecked = 0;

  struct BackgroundStep;
  std::vector<std::unique_ptr<BackgroundStep>> background;
  LastResult last;
};

}  // namespace pellinorsim

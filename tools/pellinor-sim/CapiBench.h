// The simulated CAPI 2.0 device and its applications as a scenario drives
// them: the device's configuration, its load and unload, application
// sessions and single messages in user or kernel mode, and its Plug and
// Play removal.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "tools/pellinor-sim/ScenarioScript.h"

namespace pellinorsim {

class ProgressLine;

// What a single request of an application ended with, for the expect steps
// that follow it.
struct RequestOutcome {
  bool set = false;
  uint32_t status = 0;
  uint64_t information = 0;
  std::vector<uint8_t> output;
};

class CapiBench {
 public:
  CapiBench();
  ~CapiBench();
  CapiBench(const CapiBench&) = delete;
  CapiBench& operator=(const CapiBench&) = delete;

  // The steps "capi ..." and "app ...": with `run` false only their words
  // are checked (BadWord); run, a failure is a StepFailure.
  void Command(const Step& step, bool run, std::ostream& out);
  // A single request (put, get, ioctl) leaves its outcome in *outcome. A
  // call shows its blocks on `progress` when there is one.
  void App(const Step& step, bool run, std::ostream& out, RequestOutcome* outcome,
           ProgressLine* progress = nullptr);
  // A Plug and Play removal sent to the CAPI device's stack.
  uint32_t Remove(std::ostream& out);  // the status it got
  // Waits (in real time, at most a minute) until the device holds `count`
  // requests pending, or until nothing sits above it in its stack any more:
  // the points at which a step running in the background is known to wait.
  void WaitPending(uint32_t count);
  void WaitDetached();
  // Closes the kernel-mode applications still open, naming each on `out`
  // (end of a run, before the trace driver unloads: the filter's
  // destruction waits for every kernel-mode open made through it, so an
  // application left open would hold the unload for ever).
  void CloseKernelApps(std::ostream& out);
  // Unloads the device if it is loaded (end of a run).
  void Unload();

 private:
  struct State;
  std::unique_ptr<State> state;
};

}  // namespace pellinorsim

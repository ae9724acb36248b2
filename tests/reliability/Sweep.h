// Runs of the bundled scenarios inside the test process, with faults
// injected, and the checks that every run must pass however its faults fell.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace reliability {

// A bundled scenario: its name (file name without .pel) and text.
struct Scenario {
  std::string name;
  std::string text;
};

// Every scenarios/*.pel of the source tree, by name.
const std::vector<Scenario>& BundledScenarios();

// What a run saw.
struct RunResult {
  // What made the run unclean, one line each; empty for a clean run.
  std::vector<std::string> problems;
  // Steps that failed in a way a fault of the trace driver may cause (the
  // control tool refused, tracing did not start), one line each.
  std::vector<std::string> excused;
  std::string log;            // the log file, addresses normalised
  unsigned poolCalls = 0;     // the trace driver's allocations, failed ones included
  unsigned poolInjected = 0;  // of them failed by injection
  unsigned fileCreates = 0;
  unsigned fileWrites = 0;
  unsigned mappings = 0;  // the trace driver's mappings of MDL pages
};

// The trace driver's name, as the emulated kernel names a caller.
extern const char kTraceDriver[];

// Runs the scenario on a fresh machine; `inject` arms the run's faults once
// the machine has booted. `label` names the run in every message, and in
// the bug-check message should the run stop the process.
RunResult RunScenario(const Scenario& scenario, const std::string& label,
                      const std::function<void()>& inject);

// How a faulted run's log must relate to the clean run's.
enum class LogRule {
  // Records are as in the clean run or missing; a record may lack the lines
  // of a block that could not be captured (a line-wise subsequence of its
  // clean form), never gain or mix lines.
  kSubsetOfClean,
  // As kSubsetOfClean, but every record present is exactly its clean form
  // (a record continued by text records without a time stamp may lack some
  // of them): a failed file write may lose records, never cut one.
  kWholeRecordsOfClean,
  // The settings themselves differ (a registry value unreadable): only the
  // shape is checked, every record starting with its time stamp.
  kShapeOnly,
};

// The problems of `log` against `clean` under `rule`; empty if it holds.
std::vector<std::string> CheckLog(const std::string& log, const std::string& clean, LogRule rule);

// The indices 1..count a sweep runs: all of them when PELLINOR_SWEEP=full,
// otherwise at most `sample` spread evenly (first and last included).
std::vector<unsigned> SweepIndices(unsigned count, unsigned sample);
bool FullSweep();

}  // namespace reliability

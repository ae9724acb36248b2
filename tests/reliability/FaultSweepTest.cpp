// Fault sweeps over the bundled scenarios: a clean run counts the trace
// driver's pool allocations, log-file creations and writes; then the
// scenario runs once for each of them with that one failing (and with each
// registry value the driver reads or writes failing). Every run must end
// without a bug check, without a pool block of the driver left and without a
// hang; the applications and single requests must see exactly what they see
// untraced; the log may lose records, never hold a cut or mixed one.
//
// The default run samples each sweep; PELLINOR_SWEEP=full (the CTest label
// `sweep`) runs every index.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "emu/Files.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "tests/reliability/Sweep.h"

namespace reliability {
namespace {

struct Figures {
  unsigned scenarios = 0, runs = 0, injected = 0, clean = 0;
};

const RunResult& CleanRun(const Scenario& scenario) {
  static std::map<std::string, RunResult> runs;
  auto found = runs.find(scenario.name);
  if (found == runs.end()) {
    found = runs.emplace(scenario.name, RunScenario(scenario, scenario.name + " clean", [] {})).first;
  }
  return found->second;
}

// Checks one faulted run; true if clean.
bool CheckRun(const RunResult& run, const RunResult& clean, LogRule rule, const std::string& label) {
  std::vector<std::string> problems = run.problems;
  // A control command that failed leaves other settings in force, and with
  // them other records: the log can then only be checked for its shape.
  if (!run.excused.empty()) rule = LogRule::kShapeOnly;
  for (const std::string& problem : CheckLog(run.log, clean.log, rule)) problems.push_back(problem);
  for (const std::string& problem : problems) ADD_FAILURE() << label << ": " << problem;
  return problems.empty();
}

void Report(const char* sweep, const Figures& figures) {
  std::printf("fault sweep %-18s %u scenarios, %u runs, %u failures injected, %u runs clean%s\n",
              sweep, figures.scenarios, figures.runs, figures.injected, figures.clean,
              FullSweep() ? "" : " (sampled; PELLINOR_SWEEP=full for all)");
  std::fflush(stdout);
}

TEST(FaultSweep, CleanRunsOfEveryScenario) {
  ASSERT_FALSE(BundledScenarios().empty());
  for (const Scenario& scenario : BundledScenarios()) {
    const RunResult& clean = CleanRun(scenario);
    EXPECT_TRUE(clean.problems.empty()) << scenario.name << ": " << clean.problems.front();
    EXPECT_TRUE(clean.excused.empty()) << scenario.name << ": " << clean.excused.front();
    EXPECT_GT(clean.poolCalls, 0u) << scenario.name;
    std::printf("%-18s clean: %u pool allocations, %u log-file creations, %u log-file writes\n",
                scenario.name.c_str(), clean.poolCalls, clean.fileCreates, clean.fileWrites);
  }
}

TEST(FaultSweep, EachPoolAllocationFailing) {
  Figures figures;
  for (const Scenario& scenario : BundledScenarios()) {
    const RunResult& clean = CleanRun(scenario);
    ++figures.scenarios;
    for (unsigned k : SweepIndices(clean.poolCalls, 12)) {
      const std::string label = scenario.name + " pool allocation " + std::to_string(k);
      const RunResult run = RunScenario(scenario, label, [k] {
        emu::PoolFault fault;
        fault.mode = emu::PoolFault::kNth;
        fault.n = k;
        fault.tag = emu::MakePoolTag("NRXc");
        emu::Pool::InjectFault(fault);
      });
      ++figures.runs;
      figures.injected += run.poolInjected;
      figures.clean += CheckRun(run, clean, LogRule::kSubsetOfClean, label);
    }
  }
  Report("pool allocations", figures);
}

TEST(FaultSweep, EachLogFileWriteFailing) {
  Figures figures;
  for (const Scenario& scenario : BundledScenarios()) {
    const RunResult& clean = CleanRun(scenario);
    ++figures.scenarios;
    for (unsigned k : SweepIndices(clean.fileWrites, 4)) {
      const std::string label = scenario.name + " log-file write " + std::to_string(k);
      const RunResult run = RunScenario(scenario, label, [k] { emu::FailFileWrite(int(k)); });
      ++figures.runs;
      figures.injected += run.fileWrites >= k;
      figures.clean += CheckRun(run, clean, LogRule::kWholeRecordsOfClean, label);
    }
  }
  Report("log-file writes", figures);
}

TEST(FaultSweep, EachLogFileCreationFailing) {
  Figures figures;
  for (const Scenario& scenario : BundledScenarios()) {
    const RunResult& clean = CleanRun(scenario);
    ++figures.scenarios;
    for (unsigned k : SweepIndices(clean.fileCreates, 3)) {
      const std::string label = scenario.name + " log-file creation " + std::to_string(k);
      const RunResult run = RunScenario(scenario, label, [k] { emu::FailFileCreate(int(k)); });
      ++figures.runs;
      figures.injected += run.fileCreates >= k;
      figures.clean += CheckRun(run, clean, LogRule::kWholeRecordsOfClean, label);
    }
  }
  Report("log-file creations", figures);
}

// A mapping of a direct-I/O request's pages that finds no system
// page-table entries: the request is traced without its message.
TEST(FaultSweep, EachMdlMappingFailing) {
  Figures figures;
  unsigned mappings = 0;
  for (const Scenario& scenario : BundledScenarios()) {
    const RunResult& clean = CleanRun(scenario);
    ++figures.scenarios;
    mappings += clean.mappings;
    for (unsigned k : SweepIndices(clean.mappings, 6)) {
      const std::string label = scenario.name + " MDL mapping " + std::to_string(k);
      const RunResult run =
          RunScenario(scenario, label, [k] { emu::FailMdlMapping(int(k), kTraceDriver); });
      ++figures.runs;
      figures.injected += run.mappings >= k;
      figures.clean += CheckRun(run, clean, LogRule::kSubsetOfClean, label);
    }
  }
  EXPECT_GT(mappings, 0u) << "no bundled scenario maps a request's pages";
  Report("MDL mappings", figures);
}

// The entries of the system event log that cannot be allocated, each one of
// the event log scenario's and then all: the driver goes on as without
// them (an automatic start whose entry was lost tells its retry's failure),
// nothing leaks, the log is the clean run's; only the scenario's own
// expectations of the entries may fail.
TEST(FaultSweep, EachErrorLogEntryFailing) {
  std::ifstream file(std::string(PELLINOR_SOURCE_DIR) + "/tests/scenarios/eventlog.pel");
  std::stringstream text;
  text << file.rdbuf();
  const Scenario scenario{"eventlog", text.str()};
  const RunResult& clean = CleanRun(scenario);
  ASSERT_TRUE(clean.problems.empty()) << clean.problems.front();
  ASSERT_TRUE(clean.excused.empty()) << clean.excused.front();
  Figures figures;
  figures.scenarios = 1;
  // Each of the seven entries, then every one.
  constexpr unsigned kEntries = 7;
  for (unsigned k = 1; k <= kEntries + 1; ++k) {
    const bool all = k > kEntries;
    const std::string label = "eventlog entry " + (all ? std::string("all") : std::to_string(k));
    const RunResult run = RunScenario(scenario, label, [k, all] {
      emu::PoolFault fault;
      fault.mode = all ? emu::PoolFault::kEveryNth : emu::PoolFault::kNth;
      fault.n = all ? 1 : k;
      fault.tag = emu::MakePoolTag("IoEr");
      emu::Pool::InjectFault(fault);
    });
    ++figures.runs;
    figures.injected += all ? kEntries : 1;
    for (const std::string& excused : run.excused) {
      EXPECT_NE(excused.find("(expect): "), std::string::npos) << label << ": " << excused;
    }
    std::vector<std::string> problems = run.problems;
    for (const std::string& problem : CheckLog(run.log, clean.log, LogRule::kWholeRecordsOfClean))
      problems.push_back(problem);
    if (run.log != clean.log)
      problems.push_back("the log differs from the clean run's");
    for (const std::string& problem : problems) ADD_FAILURE() << label << ": " << problem;
    figures.clean += problems.empty();
  }
  Report("event log entries", figures);
}

// The values the driver reads from its service key and writes back to it.
constexpr const char16_t* kRegistryValues[] = {u"Start",           u"Pellinor_Flags",
                                               u"Pellinor_B3Bytes", u"Pellinor_Log",
                                               u"Pellinor_Target",  u"Pellinor_LogLimit",
                                               u"Pellinor_LogKeep"};

TEST(FaultSweep, EachRegistryValueFailing) {
  Figures figures;
  const bool full = FullSweep();
  unsigned turn = 0;
  for (const Scenario& scenario : BundledScenarios()) {
    const RunResult& clean = CleanRun(scenario);
    ++figures.scenarios;
    for (const char16_t* name : kRegistryValues) {
      for (int access : {emu::Registry::kRead, emu::Registry::kWrite}) {
        for (int count : {1, -1}) {
          // Sampled: each scenario takes its turn of the combinations.
          if (!full && turn++ % 4 != 0) continue;
          const std::string text(name, name + std::char_traits<char16_t>::length(name));
          const std::string label = scenario.name + " registry " + text +
                                    (access == emu::Registry::kRead ? " read" : " write") +
                                    (count == 1 ? " once" : " always");
          const RunResult run = RunScenario(scenario, label, [=] {
            emu::Registry::FailValue(name, int32_t(0xC000009A) /* STATUS_INSUFFICIENT_RESOURCES */,
                                     access, count);
          });
          ++figures.runs;
          ++figures.injected;
          figures.clean += CheckRun(run, clean, LogRule::kShapeOnly, label);
        }
      }
    }
  }
  Report("registry values", figures);
}

}  // namespace
}  // namespace reliability

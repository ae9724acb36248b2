#include "tests/reliability/Sweep.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "emu/BugCheck.h"
#include "emu/Files.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "tests/pipeline/TraceHarness.h"
#include "tools/pellinor-sim/ScenarioRunner.h"
#include "tools/pellinor-sim/ScenarioScript.h"

namespace reliability {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kTraceTag = emu::MakePoolTag("NRXc");
}  // namespace

const char kTraceDriver[] = "\\Driver\\Pellinor";

namespace {

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The run in progress, named in a bug check's message: the bug check ends
// the process, and the message is all that tells which fault caused it.
std::string& CurrentRun() {
  static std::string* run = new std::string;
  return *run;
}

void OnBugCheck(uint32_t, const char* line) {
  std::fflush(stdout);
  std::fprintf(stderr, "bug check in run %s: %s\n", CurrentRun().c_str(), line);
  std::fflush(stderr);
  _exit(1);
}

// A failing step that a fault of the trace driver may legitimately cause:
// the control tool's answer, the driver's load, the settings in the
// registry, a wait for the trace device. What the applications and single
// requests see must never change, so their failures are never excused.
bool Excusable(const pellinorsim::Step& step) {
  const std::string& command = step.words[0].text;
  if (command == "pellinorctl" || command == "driver" || command == "registry") return true;
  // A step run as another user is judged as the step itself; a raw request
  // to the control device depends on the driver's load as the tool does.
  if (command == "as" && step.words.size() > 2) {
    pellinorsim::Step inner = step;
    inner.words.erase(inner.words.begin(), inner.words.begin() + 2);
    return Excusable(inner);
  }
  if (command == "ioctl" && step.words.size() > 1 && step.words[1].text == "control") return true;
  if (command == "expect" && step.words.size() > 1) {
    const std::string& what = step.words[1].text;
    // A fault makes the driver tell of failures in the event log, and may
    // cost an entry its memory.
    return what == "stdout" || what == "stderr" || what == "stdout-contains" ||
           what == "stderr-contains" || what == "eventlog";
  }
  if (command == "wait" && step.words.size() > 1) return step.words[1].text == "detached";
  return false;
}

// A wait for background steps reports their failures: excusable when the
// background step was the control tool's.
bool Excusable(const pellinorsim::Step& step, const std::string& failure) {
  if (Excusable(step)) return true;
  return step.words[0].text == "wait" && step.words.size() > 1 &&
         step.words[1].text == "background" && failure.find(": pellinorctl ") != std::string::npos;
}

// The filter refuses a kernel-mode open when it cannot allocate the entry
// that lets its destruction wait for the open's close: a failure for lack of
// memory that the caller of any open must handle. The open's step is
// excused (an application's open, or the open of a kernel-mode raw request),
// and so are the later steps of the application that was never opened.
bool RefusedKernelOpen(const pellinorsim::Step& step, const std::string& failure) {
  if (failure.rfind("opening ", 0) != 0 ||
      failure.find(" ended with 0xC000009A STATUS_INSUFFICIENT_RESOURCES") == std::string::npos) {
    return false;
  }
  const auto& words = step.words;
  if (words[0].text == "app")
    return words.size() > 3 && words[2].text == "open" && words[3].text == "kernel";
  return words[0].text == "ioctl" && words.size() > 2 && words[2].text == "kernel";
}

bool OfARefusedApplication(const pellinorsim::Step& step, const std::string& failure,
                           const std::set<std::string>& refused) {
  if (step.words[0].text != "app" || step.words.size() < 2) return false;
  const std::string& name = step.words[1].text;
  return refused.count(name) != 0 && failure == "no application " + name + " is open";
}

void ClearAllFaults() {
  emu::Pool::ClearFaults();
  emu::Registry::ClearFaults();
  emu::FailFileCreate(0);
  emu::FailFileWrite(0);
  emu::FailMdlMapping(0);
}

const std::regex& TimeStampLine() {
  static const std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d [A-Z][a-z][a-z], [A-Z][a-z][a-z] \d\d \d\d\d\d)");
  return line;
}

const std::regex& AddressName() {
  static const std::regex name(R"((ADDR|IRP)\d+)");
  return name;
}

const std::regex& MessagePointer() {
  static const std::regex pointer("(Pointer: +0x)(?!00000000)[0-9A-F]{8}");
  return pointer;
}

const std::regex& LostLine() {
  static const std::regex line(R"(\*\*\* \d+ trace records lost \*\*\*)");
  return line;
}

// The log in records: each starts at a time-stamp line and runs to the next
// (the text before the first is a record too). Lines lose their CR LF. The
// announcements of lost records (a time stamp and the count) are dropped:
// they stand where a fault fell, so no clean run has them. What follows one
// without a time stamp of its own is the rest of a record whose head was
// lost (an orphan), and is matched as a part of that record.
struct Record {
  std::vector<std::string> lines;
  bool orphan = false;
};

std::vector<Record> Records(const std::string& log) {
  std::vector<Record> records(1);
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_search(line, LostLine())) {
      std::vector<std::string>& lines = records.back().lines;
      if (!lines.empty() && std::regex_match(lines.back(), TimeStampLine())) lines.pop_back();
      records.emplace_back();
      records.back().orphan = true;
      continue;
    }
    // The names of addresses count by first appearance, which a lost record
    // shifts: only the kind of address is compared.
    line = std::regex_replace(line, AddressName(), "$1");
    // Message pointers of kernel callers are the host allocator's.
    line = std::regex_replace(line, MessagePointer(), "$1PTR");
    if (std::regex_match(line, TimeStampLine())) records.emplace_back();
    records.back().lines.push_back(line);
  }
  std::vector<Record> kept;
  for (auto& record : records) {
    const bool empty = std::all_of(record.lines.begin(), record.lines.end(),
                                   [](const std::string& l) { return l.empty(); });
    if (!empty) kept.push_back(std::move(record));
  }
  return kept;
}

bool LineSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t at = 0;
  for (const std::string& line : part) {
    while (at < whole.size() && whole[at] != line) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

// The paragraphs of a record (runs of lines between blank lines): a text
// record that continues another (the target query's controllers) carries no
// time stamp of its own and stands as a paragraph of the one before.
std::vector<std::vector<std::string>> Paragraphs(const std::vector<std::string>& record) {
  std::vector<std::vector<std::string>> paragraphs(1);
  for (const std::string& line : record) {
    if (line.empty()) {
      if (!paragraphs.back().empty()) paragraphs.emplace_back();
    } else {
      paragraphs.back().push_back(line);
    }
  }
  if (paragraphs.back().empty()) paragraphs.pop_back();
  return paragraphs;
}

// Every paragraph of `part` is whole and in `whole`, in order.
bool ParagraphSubsequence(const std::vector<std::string>& part,
                          const std::vector<std::string>& whole) {
  const auto parts = Paragraphs(part);
  const auto wholes = Paragraphs(whole);
  size_t at = 0;
  for (const auto& paragraph : parts) {
    while (at < wholes.size() && wholes[at] != paragraph) ++at;
    if (at == wholes.size()) return false;
    ++at;
  }
  return true;
}

std::string FirstLines(const std::vector<std::string>& record) {
  std::string text;
  for (size_t i = 0; i < record.size() && i < 16; ++i) text += "\n    " + record[i];
  return text;
}

}  // namespace

const std::vector<Scenario>& BundledScenarios() {
  static const std::vector<Scenario> scenarios = [] {
    std::vector<Scenario> all;
    for (const auto& entry : fs::directory_iterator(fs::path(PELLINOR_SOURCE_DIR) / "scenarios")) {
      if (entry.path().extension() != ".pel") continue;
      all.push_back({entry.path().stem().string(), Slurp(entry.path())});
    }
    std::sort(all.begin(), all.end(),
              [](const Scenario& a, const Scenario& b) { return a.name < b.name; });
    return all;
  }();
  return scenarios;
}

RunResult RunScenario(const Scenario& scenario, const std::string& label,
                      const std::function<void()>& inject) {
  RunResult result;
  const fs::path drive = fs::path(::testing::TempDir()) / ("pellinor-reliability-" +
                                                           std::to_string(getpid())) / "drive";
  fs::remove_all(drive);
  fs::create_directories(drive);
  CurrentRun() = label;
  emu::SetBugCheckHook(OnBugCheck);

  pellinorsim::ScenarioRunner::Options options;
  options.drive = drive.string();
  options.fresh = true;
  std::ostringstream transcript;
  pellinorsim::ScenarioRunner runner(options, transcript);
  const std::vector<pellinorsim::Step> steps = pellinorsim::SplitScript(scenario.text);
  runner.Check(steps);

  const emu::PoolTagReport poolBefore = emu::Pool::Report(kTraceTag);
  const unsigned createsBefore = emu::FileCreateCalls();
  const unsigned writesBefore = emu::FileWriteCalls();
  const unsigned mappingsBefore = emu::MdlMappingCalls(kTraceDriver);
  runner.Boot();
  inject();
  std::set<std::string> refusedApps;
  for (const pellinorsim::Step& step : steps) {
    try {
      runner.Run(step);
    } catch (const pellinorsim::StepFailure& failure) {
      const std::string where = "line " + std::to_string(step.line) + " (" +
                                step.words[0].text + "): " + failure.what();
      const bool refusedOpen = RefusedKernelOpen(step, failure.what());
      if (refusedOpen && step.words[0].text == "app") refusedApps.insert(step.words[1].text);
      const bool excused = refusedOpen || OfARefusedApplication(step, failure.what(), refusedApps) ||
                           Excusable(step, failure.what());
      (excused ? result.excused : result.problems).push_back(where);
    }
  }
  try {
    runner.Shutdown();
  } catch (const pellinorsim::StepFailure& failure) {
    result.problems.push_back(std::string("shutdown: ") + failure.what());
  }
  ClearAllFaults();

  const emu::PoolTagReport poolAfter = emu::Pool::Report(kTraceTag);
  result.poolInjected = unsigned(poolAfter.injectedFailures - poolBefore.injectedFailures);
  result.poolCalls = unsigned(poolAfter.allocations - poolBefore.allocations) + result.poolInjected;
  result.fileCreates = emu::FileCreateCalls() - createsBefore;
  result.fileWrites = emu::FileWriteCalls() - writesBefore;
  result.mappings = emu::MdlMappingCalls(kTraceDriver) - mappingsBefore;
  if (poolAfter.blocks != 0) {
    result.problems.push_back(std::to_string(poolAfter.blocks) +
                              " pool blocks of the trace driver left:\n" +
                              emu::Pool::DescribeBlocks(kTraceTag));
  }
  const std::string raw = Slurp(runner.LogPath());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) {
      result.problems.push_back("the log has a line ending without CR at byte " + std::to_string(i));
      break;
    }
  }
  if (!raw.empty() && raw.back() != '\n') result.problems.push_back("the log ends inside a line");
  // Every run makes the scenario's processes anew, with new ids: the ids
  // of one run are not those of another, as the addresses are not.
  static const std::regex callerIds(", Process [0-9]+, Thread [0-9]+\\)");
  result.log = std::regex_replace(tracetest::NormaliseAddresses(raw), callerIds,
                                  ", Process PID, Thread TID)");
  fs::remove_all(drive.parent_path());
  CurrentRun().clear();
  return result;
}

std::vector<std::string> CheckLog(const std::string& log, const std::string& clean, LogRule rule) {
  std::vector<std::string> problems;
  const auto records = Records(log);
  for (size_t i = 1; i < records.size(); ++i) {
    if (!records[i].orphan && !std::regex_match(records[i].lines.front(), TimeStampLine())) {
      problems.push_back("a record without its time stamp: " + FirstLines(records[i].lines));
    }
  }
  if (rule == LogRule::kShapeOnly) return problems;
  // Matched by paragraphs across the whole log, greedily in order (the
  // first fitting clean paragraph after the previous match, which finds a
  // match whenever one exists): a text record without a time stamp of its
  // own continues whatever stands before it, so record bounds alone cannot
  // tell a lost head from a mixed record.
  std::vector<std::vector<std::string>> paragraphs, cleanParagraphs;
  for (const Record& record : records) {
    for (auto& paragraph : Paragraphs(record.lines)) paragraphs.push_back(std::move(paragraph));
  }
  for (const Record& record : Records(clean)) {
    for (auto& paragraph : Paragraphs(record.lines)) cleanParagraphs.push_back(std::move(paragraph));
  }
  size_t at = 0;
  for (const auto& paragraph : paragraphs) {
    size_t match = at;
    for (; match < cleanParagraphs.size(); ++match) {
      const auto& cleanParagraph = cleanParagraphs[match];
      if (rule == LogRule::kWholeRecordsOfClean) {
        if (paragraph == cleanParagraph) break;
        continue;
      }
      // A record is its request's: the line after the time stamp names it.
      if (paragraph.size() > 1 && cleanParagraph.size() > 1 &&
          std::regex_match(paragraph[0], TimeStampLine()) && paragraph[1] != cleanParagraph[1]) {
        continue;
      }
      if (LineSubsequence(paragraph, cleanParagraph)) break;
    }
    if (match == cleanParagraphs.size()) {
      problems.push_back("a record that is no record of the clean run (cut, mixed or out of order): " +
                         FirstLines(paragraph));
      continue;
    }
    at = match + 1;
  }
  return problems;
}

bool FullSweep() {
  const char* sweep = std::getenv("PELLINOR_SWEEP");
  return sweep != nullptr && std::string(sweep) == "full";
}

std::vector<unsigned> SweepIndices(unsigned count, unsigned sample) {
  std::vector<unsigned> indices;
  if (count == 0) return indices;
  if (FullSweep() || count <= sample) {
    for (unsigned k = 1; k <= count; ++k) indices.push_back(k);
    return indices;
  }
  for (unsigned i = 0; i < sample; ++i) {
    const unsigned k = 1 + unsigned(uint64_t(i) * (count - 1) / (sample - 1));
    if (indices.empty() || indices.back() != k) indices.push_back(k);
  }
  return indices;
}

}  // namespace reliability

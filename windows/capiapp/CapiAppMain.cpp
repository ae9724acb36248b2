// capiapp.exe [--name NAME] [SCRIPT]: pellinor-sim's user-mode application
// as a Win32 program, for the Wine job. Each line of SCRIPT (or standard
// input) holds the words of one `app NAME ...` step after `app NAME`, in the
// scenario language: open user [ioctl|readwrite] or open kernel (through
// the provider driver's test client); call [incoming]
// [controller C] [blocks N] [size N]; register [BUFFER CONNECTIONS BLOCKS
// LENGTH]; release; get; close. Each step prints the line pellinor-sim
// prints for it (close, silent there, prints "closed"). The script is
// checked whole before the first request, so that a mistake in it sends
// nothing. Exit status: 0 when every step succeeded; 1 at the first that
// failed (the handle closed, the rest left undone); 2 for a bad command
// line or script line.
//
// capiapp.exe [--name NAME] --serve: the same steps, one a line on standard
// input as the job reaches them (its other programs run in between), each
// run at once and answered with its one line; besides, `background STEP`
// runs STEP on a thread of its own and answers "... in the background"
// at once, and `wait` waits for it and answers with its line. The run ends
// after close, or at the end of input (what is open is closed then). Exit
// status as above.
//
// capiapp.exe --event ACTION NAME [ACTION NAME]...: set, reset or wait for
// (at most 120 s) the named events \BaseNamedObjects\NAME, in that order,
// through which the job keeps step with the provider driver and the shim
// (windows/wine/guest/job.sh). Exit status 1 at the first that fails.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim/UserApplication.h"
#include "windows/capiapp/ClientApplication.h"
#include "windows/capiapp/WineJobSync.h"
#include "tools/pellinor-sim/CallWords.h"
#include "tools/pellinor-sim/ScenarioScript.h"

namespace {

using pellinorsim::BadWord;
using pellinorsim::DescribeStatus;
using pellinorsim::HexText;

// One step of the script. Without `run` it is only checked (BadWord when it
// is bad), with it run and its line left in `printed`. `open` follows
// whether the application is open. False when the step ran and failed.
bool RunStep(const pellinorsim::Step& line, const std::string& name, bool run, bool* open,
             std::unique_ptr<sim::CapiApplication>* app, std::string* printed) {
  pellinorsim::Words words(line, 0);
  const std::string verb = words.Take("step");
  // The first step that fails ends the run, so none may be expected to.
  if (words.HasExpectation())
    throw BadWord("no expected result here: every step must succeed");
  if (verb != "open" && verb != "call" && verb != "register" && verb != "release" &&
      verb != "get" && verb != "close")
    throw BadWord("unknown step '" + verb + "' (open, call, register, release, get, close)");
  if ((verb == "open") == *open)
    throw BadWord(*open ? "the application is open already" : "the application is not open");
  *open = verb != "close";
  std::string out = "app " + name + " " + verb + ": ";
  bool ok = true;
  if (verb == "open") {
    const std::string mode = words.Take("user or kernel");
    if (mode != "user" && mode != "kernel")
      throw BadWord("mode is user or kernel, not '" + mode + "'");
    const std::string transport = words.More() ? words.Take("transport") : "ioctl";
    if (transport != "ioctl" && transport != "readwrite")
      throw BadWord("transport is ioctl or readwrite, not '" + transport + "'");
    if (mode == "kernel" && transport != "ioctl")
      throw BadWord("the test client sends I/O controls only");
    words.Done();
    if (!run)
      return true;
    // A new application each time, its message numbers from 1 again.
    if (mode == "user") {
      *app = std::make_unique<sim::UserApplication>();
    } else {
      *app = std::make_unique<capiapp::ClientApplication>();
    }
    (*app)->SetTransport(transport == "ioctl" ? sim::Transport::kIoctl
                                              : sim::Transport::kReadWrite);
    const NTSTATUS status = (*app)->Open();
    out += DescribeStatus(uint32_t(status));
    ok = NT_SUCCESS(status);
  } else if (verb == "call") {
    const sim::CallOptions options = pellinorsim::TakeCallOptions(words);
    if (!run)
      return true;
    const sim::CallReport report = (*app)->RunCall(options);
    out += pellinorsim::CallOutcome(report);
    ok = report.ok;
  } else {
    uint16_t p[4] = {3072, 2, 7, 2048};
    if (verb == "register" && words.More()) {
      for (uint16_t& value : p) value = pellinorsim::ParseWord16(words.Take("register parameter"), "number");
    }
    words.Done();
    if (!run)
      return true;
    sim::RequestResult result;
    if (verb == "register") {
      result = (*app)->Register(p[0], p[1], p[2], p[3]);
      out += pellinorsim::ResultText(result) + ", application ID " + std::to_string((*app)->ApplicationId());
    } else if (verb == "release") {
      result = (*app)->Release();
      out += pellinorsim::ResultText(result);
    } else if (verb == "get") {
      sim::ReceivedMessage got;
      result = (*app)->Get(&got);
      out += pellinorsim::ResultText(result) + ", message " + HexText(got.message.data(), got.message.size());
      if (!got.payload.empty())
        out += ", payload " + HexText(got.payload.data(), got.payload.size());
    } else {
      (*app)->Close();
      app->reset();
      out += "closed";
    }
    ok = NT_SUCCESS(result.status);
  }
  *printed = out;
  return ok;
}

// Printed and flushed at once, so that the Wine job sees each line as its
// step's requests end.
void Print(const std::string& line) { std::cout << line << std::endl; }

int Serve(const std::string& name) {
  std::unique_ptr<sim::CapiApplication> app;
  bool open = false;
  capiapp::BackgroundRun background;
  std::string backgroundLine;
  bool backgroundOk = true;
  bool failed = false;
  std::string text;
  for (int number = 1; !failed && std::getline(std::cin, text); ++number) {
    if (!text.empty() && text.back() == '\r')
      text.pop_back();
    std::vector<pellinorsim::Step> steps;
    try {
      steps = pellinorsim::SplitScript(text);
    } catch (const pellinorsim::SyntaxError& bad) {
      std::cerr << "capiapp: input line " << number << ": " << bad.what() << "\n";
      return 2;
    }
    if (steps.empty())
      continue;
    pellinorsim::Step step = steps.front();
    step.line = number;
    const std::string verb = step.words.front().text;
    try {
      if (verb == "wait" && step.words.size() == 1) {
        if (!background.Running())
          throw BadWord("nothing runs in the background");
        background.Join();
        Print(backgroundLine);
        failed = !backgroundOk;
        continue;
      }
      // One application, one step at a time: the background step has it
      // until `wait`.
      if (background.Running())
        throw BadWord("the step in the background is not waited for");
      const bool inBackground = verb == "background";
      if (inBackground) {
        step.words.erase(step.words.begin());
        if (step.words.empty())
          throw BadWord("missing the step to run in the background");
      }
      const std::string what = step.words.front().text;
      if (inBackground && (what == "open" || what == "close"))
        throw BadWord("open and close do not run in the background");
      std::string line;
      bool checked = open;
      RunStep(step, name, false, &checked, &app, &line);
      if (inBackground) {
        // Not open or close, so the state stays as it is.
        if (!background.Start([&, step]() {
              bool opened = true;
              backgroundOk = RunStep(step, name, true, &opened, &app, &backgroundLine);
            }))
          throw BadWord("no thread for the background step");
        Print("app " + name + " " + what + ": in the background");
        continue;
      }
      failed = !RunStep(step, name, true, &open, &app, &line);
      Print(line);
      // The application's life ends at its close: the job does not count on
      // the end of input, which other programs it starts may hold open.
      if (what == "close")
        break;
    } catch (const BadWord& bad) {
      std::cerr << "capiapp: input line " << number << ": " << bad.what() << "\n";
      return 2;
    }
  }
  // A step that failed ends the run; so does the end of input. Either way
  // what is open is closed (its cleanup ends the registration too).
  background.Join();
  if (app)
    app->Close();
  return failed || !backgroundOk ? 1 : 0;
}

int Events(int argc, char** argv) {
  if (argc < 4 || (argc - 2) % 2 != 0) {
    std::cerr << "usage: capiapp --event set|reset|wait NAME [set|reset|wait NAME]...\n";
    return 2;
  }
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string failure = capiapp::EventAction(argv[i], argv[i + 1], 120);
    if (!failure.empty()) {
      std::cerr << "capiapp: " << failure << "\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--event")
    return Events(argc, argv);
  std::string name = "app";
  const char* script = nullptr;
  bool serve = false;
  bool usable = true;
  for (int i = 1; i < argc && usable; ++i) {
    const std::string arg = argv[i];
    if (arg == "--name" && i + 1 < argc && argv[i + 1][0] != '\0')
      name = argv[++i];
    else if (arg == "--serve" && script == nullptr)
      serve = true;
    else if ((arg.size() > 1 && arg[0] == '-') || script != nullptr || serve)
      usable = false;
    else
      script = argv[i];
  }
  if (!usable) {
    std::cerr << "usage: capiapp [--name NAME] [SCRIPT | --serve]\n"
                 "       capiapp --event set|reset|wait NAME...\n";
    return 2;
  }
  if (serve)
    return Serve(name);
  std::ifstream file;
  if (script != nullptr)
    file.open(script, std::ios::binary);
  std::istream& in = script != nullptr ? static_cast<std::istream&>(file) : std::cin;
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in) {
    std::cerr << "capiapp: cannot read " << (script != nullptr ? script : "standard input") << "\n";
    return 2;
  }

  std::vector<pellinorsim::Step> steps;
  try {
    steps = pellinorsim::SplitScript(text);
  } catch (const pellinorsim::SyntaxError& bad) {
    std::cerr << "capiapp: line " << bad.line << ": " << bad.what() << "\n";
    return 2;
  }
  std::unique_ptr<sim::CapiApplication> app;
  for (bool run : {false, true}) {
    bool open = false;
    for (const pellinorsim::Step& step : steps) {
      try {
        std::string line;
        const bool ok = RunStep(step, name, run, &open, &app, &line);
        if (run)
          Print(line);
        if (!ok) {
          // Its cleanup ends the registration too; the destructor's Close
          // then finds no handle, so cleanup and close go once.
          if (app)
            app->Close();
          return 1;
        }
      } catch (const BadWord& bad) {
        std::cerr << "capiapp: line " << step.line << ": " << bad.what() << "\n";
        return 2;
      }
    }
  }
  return 0;
}

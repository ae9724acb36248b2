#include "tools/pellinor-sim/CapiBench.h"

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "emu/Io.h"
#include "emu/Process.h"
#include "sim/CapiApplication.h"
#include "sim/CapiDevice.h"
#include "sim/KernelApplication.h"
#include "sim/UserApplication.h"
#include "tools/pellinor-sim/CallWords.h"
#include "tools/pellinor-sim/ProgressLine.h"
#include "trace/NameTables.h"

namespace pellinorsim {
namespace {

struct KindName {
  const char* name;
  sim::RequestKind kind;
};

// The request kinds of the provider as a scenario names them.
constexpr KindName kKinds[] = {
    {"register", sim::RequestKind::kRegister},
    {"release", sim::RequestKind::kRelease},
    {"put-message", sim::RequestKind::kPutMessage},
    {"get-message", sim::RequestKind::kGetMessage},
    {"get-manufacturer", sim::RequestKind::kGetManufacturer},
    {"get-version", sim::RequestKind::kGetVersion},
    {"get-serial", sim::RequestKind::kGetSerial},
    {"get-profile", sim::RequestKind::kGetProfile},
    {"manufacturer", sim::RequestKind::kManufacturer},
    {"read", sim::RequestKind::kRead},
    {"write", sim::RequestKind::kWrite},
};
static_assert(sizeof(kKinds) / sizeof(kKinds[0]) == sim::kRequestKindCount, "every kind named");

// A CAPI I/O control by its CAPI_ name or its number.
uint32_t ParseCapiCode(const std::string& word) {
  if (word.rfind("CAPI_", 0) == 0) {
    for (uint32_t code = CAPI_REGISTER; code <= CAPI_MANUFACTURER; code += 4) {
      if (word == capiIoctlName(code)) return code;
    }
    throw BadWord("unknown CAPI I/O control '" + word + "'");
  }
  return ParseNumber(word, "I/O control code");
}

}  // namespace

struct CapiBench::State {
  sim::CapiDeviceConfig config;
  // Background steps use their applications while the main thread uses
  // others: the map itself is shared.
  std::mutex lock;
  std::map<std::string, std::unique_ptr<sim::CapiApplication>> apps;
  // The process each application's steps run in: a user-mode application's
  // own (so that its requests carry its own process and thread ids, and the
  // identity of the step that opened it), a kernel-mode one's the System
  // process, where a driver's requests come from.
  std::map<std::string, emu::Process*> processes;
};

namespace {

// Polls `done` in real time: the condition is one that another thread of
// the machine is about to reach, never one that needs emulated time.
template <typename Condition>
void PollUntil(Condition done, const std::string& what) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) throw StepFailure("gave up waiting " + what);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

void CapiBench::WaitPending(uint32_t count) {
  PollUntil([count] { return sim::GetCapiDeviceCounters().pendingRequests >= count; },
            "for " + std::to_string(count) + " pending requests at the CAPI device");
}

void CapiBench::WaitDetached() {
  if (!sim::CapiDeviceLoaded()) throw StepFailure("the CAPI device is not loaded");
  PDEVICE_OBJECT device = sim::CapiDeviceObject();
  if (device == nullptr) return;  // removed: nothing is above it any more
  PollUntil([device] { return emu::StackTop(device) == device; },
            "for the CAPI device's stack to have nothing above the device");
}

CapiBench::CapiBench() : state(std::make_unique<State>()) {}

CapiBench::~CapiBench() = default;

void CapiBench::CloseKernelApps(std::ostream& out) {
  std::lock_guard<std::mutex> guard(state->lock);
  for (auto app = state->apps.begin(); app != state->apps.end();) {
    if (app->second->Mode() != KernelMode) {
      ++app;
      continue;
    }
    out << "(end: the kernel-mode application " << app->first
        << " closed before the drivers unload)\n";
    app->second->Close();
    state->processes.erase(app->first);
    app = state->apps.erase(app);
  }
}

void CapiBench::Unload() {
  std::lock_guard<std::mutex> guard(state->lock);
  for (auto& app : state->apps) app.second->Close();
  state->apps.clear();
  state->processes.clear();
  if (sim::CapiDeviceLoaded()) {
    const NTSTATUS status = sim::UnloadCapiDevice();
    if (!NT_SUCCESS(status)) {
      throw StepFailure("unloading the CAPI device: " + DescribeStatus(uint32_t(status)));
    }
  }
}

uint32_t CapiBench::Remove(std::ostream& out) {
  if (!sim::CapiDeviceLoaded()) throw StepFailure("the CAPI device is not loaded");
  PDEVICE_OBJECT device = sim::CapiDeviceObject();
  if (device == nullptr) throw StepFailure("the CAPI device was removed already");
  const emu::IoResult result = emu::SendPnp(device, IRP_MN_REMOVE_DEVICE);
  out << "pnp remove: " << DescribeStatus(uint32_t(result.status)) << "\n";
  return uint32_t(result.status);
}

// capi controllers N | manufacturer TEXT | serial C TEXT |
// version C CAPIMAJOR CAPIMINOR MAKERMAJOR MAKERMINOR | bchannels C N |
// profile C HEX | complete KIND|all immediate|pending | pending-delay MS |
// io direct|buffered |
// fail CODE C|any STATUS | fail off | load [=> S] | unload |
// incoming [controller C] [app ID] [cip N] [called NUMBER] [calling NUMBER]
void CapiBench::Command(const Step& step, bool run, std::ostream& out) {
  Words words(step);
  const std::string verb = words.Take("what to do with the CAPI device");
  sim::CapiDeviceConfig& config = state->config;
  if (verb == "load") {
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    const uint32_t status = uint32_t(sim::LoadCapiDevice(config));
    // A step that expects a status is about it: say which it got.
    if (words.HasExpectation())
      out << "capi load: " << DescribeStatus(status) << "\n";
    expected.Check("loading the CAPI device", status);
    return;
  }
  if (verb == "incoming") {
    sim::IncomingCall call;
    while (words.More()) {
      const std::string option = words.Take("option");
      if (option == "controller") {
        call.controller = ParseController(words.Take("controller"));
      } else if (option == "app") {
        call.application = ParseWord16(words.Take("application ID"), "application ID");
      } else if (option == "cip") {
        call.cipValue = ParseWord16(words.Take("CIP value"), "CIP value");
      } else if (option == "called") {
        call.calledNumber = words.Take("called number");
      } else if (option == "calling") {
        call.callingNumber = words.Take("calling number");
      } else {
        throw BadWord("unknown option '" + option + "' (controller, app, cip, called, calling)");
      }
    }
    const StatusExpectation expected(words);
    if (!run) return;
    NTSTATUS status = STATUS_SUCCESS;
    const uint32_t plci = sim::InjectIncomingCall(call, &status);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", plci);
    out << "capi incoming: PLCI " << text << ", " << DescribeStatus(uint32_t(status)) << "\n";
    expected.Check("the incoming call", plci != 0 ? uint32_t(STATUS_SUCCESS) : uint32_t(status));
    return;
  }
  words.NoExpectation();
  if (verb == "unload") {
    words.Done();
    if (!run) return;
    if (!sim::CapiDeviceLoaded()) throw StepFailure("the CAPI device is not loaded");
    Unload();
    return;
  }
  // The rest configure the next load. The running device never reads its
  // configuration again: given now, they would silently change nothing.
  constexpr const char* kConfiguring[] = {"controllers", "manufacturer", "complete", "io",
                                          "pending-delay", "fail", "serial", "version",
                                          "bchannels", "profile"};
  static_assert(sizeof kConfiguring / sizeof kConfiguring[0] == 10, "the configuring steps");
  if (run && sim::CapiDeviceLoaded() &&
      std::find(std::begin(kConfiguring), std::end(kConfiguring), verb) != std::end(kConfiguring)) {
    throw StepFailure("capi " + verb +
                      " configures the CAPI device's next load, and the device is loaded now: "
                      "give it before capi load (or after capi unload)");
  }
  if (verb == "controllers") {
    const uint32_t count = ParseNumber(words.Take("number of controllers"), "number");
    words.Done();
    if (count < 1 || count > sim::kMaxControllers) {
      throw BadWord("a CAPI device has 1 to " + std::to_string(sim::kMaxControllers) +
                    " controllers");
    }
    if (run) config.controllers.resize(count);
    return;
  }
  if (verb == "manufacturer") {
    const std::string text = words.Take("manufacturer");
    words.Done();
    if (run) config.manufacturer = text;
    return;
  }
  if (verb == "complete") {
    const std::string kind = words.Take("request kind");
    const std::string how = words.Take("immediate or pending");
    words.Done();
    if (how != "immediate" && how != "pending") {
      throw BadWord("requests complete immediate or pending, not '" + how + "'");
    }
    const bool pend = how == "pending";
    if (kind == "all") {
      if (run) config.SetAllPending(pend);
      return;
    }
    for (const KindName& entry : kKinds) {
      if (kind == entry.name) {
        if (run) config.SetPending(entry.kind, pend);
        return;
      }
    }
    throw BadWord("unknown request kind '" + kind + "'");
  }
  if (verb == "io") {
    const std::string how = words.Take("direct or buffered");
    words.Done();
    if (how != "direct" && how != "buffered") {
      throw BadWord("reads and writes go direct or buffered, not '" + how + "'");
    }
    if (run) config.directIo = how == "direct";
    return;
  }
  if (verb == "pending-delay") {
    const uint32_t ms = ParseNumber(words.Take("milliseconds"), "number of milliseconds");
    words.Done();
    if (run) config.pendingDelayMs = ms;
    return;
  }
  if (verb == "fail") {
    if (words.Peek() == "off") {
      words.Take("off");
      words.Done();
      if (run) config.failures.clear();
      return;
    }
    sim::InjectedFailure failure;
    failure.code = ParseCapiCode(words.Take("CAPI I/O control"));
    const std::string controller = words.Take("controller or any");
    if (controller != "any") failure.controller = ParseNumber(controller, "controller number");
    failure.status = int32_t(ParseStatus(words.Take("status")));
    words.Done();
    if (run) config.failures.push_back(failure);
    return;
  }
  if (verb == "serial" || verb == "version" || verb == "bchannels" || verb == "profile") {
    const uint32_t controller = ParseController(words.Take("controller"));
    auto target = [&config, controller]() -> sim::ControllerConfig& {
      if (config.controllers.size() < controller) config.controllers.resize(controller);
      return config.controllers[controller - 1];
    };
    if (verb == "serial") {
      const std::string serial = words.Take("serial number");
      words.Done();
      if (run) target().serial = serial;
    } else if (verb == "version") {
      uint16_t v[4];
      for (uint16_t& part : v) part = ParseWord16(words.Take("version number"), "version number");
      words.Done();
      if (!run) return;
      sim::ControllerConfig& c = target();
      c.capiMajor = v[0];
      c.capiMinor = v[1];
      c.manufacturerMajor = v[2];
      c.manufacturerMinor = v[3];
    } else if (verb == "bchannels") {
      const uint16_t channels = ParseWord16(words.Take("number of B channels"), "number");
      words.Done();
      if (run) target().bChannels = channels;
    } else {
      std::vector<uint8_t> bytes;
      while (words.More()) {
        std::vector<uint8_t> more = ParseHex(words.Take("profile bytes"));
        bytes.insert(bytes.end(), more.begin(), more.end());
      }
      if (bytes.size() != 64) throw BadWord("a profile has 64 bytes");
      if (!run) return;
      std::array<uint8_t, 64> profile;
      std::copy(bytes.begin(), bytes.end(), profile.begin());
      target().rawProfile = profile;
    }
    return;
  }
  throw BadWord("unknown capi step '" + verb + "'");
}

// app NAME open user|kernel [readwrite] | app NAME close |
// app NAME register [BUFFER CONNECTIONS BLOCKS LENGTH] [=> S] |
// app NAME release [=> S] | app NAME put HEX [PAYLOAD] [=> S] |
// app NAME get [=> S] | app NAME ioctl CODE [INPUT [OUTLEN]] [=> S] |
// app NAME call [incoming] [controller C] [blocks N] [size N] [=> ok|failed]
void CapiBench::App(const Step& step, bool run, std::ostream& out, RequestOutcome* outcome,
                    ProgressLine* progress) {
  Words words(step);
  const std::string name = words.Take("application name");
  const std::string verb = words.Take("what the application does");
  const std::string label = "app " + name + " " + verb;
  auto app = [this, &name]() -> sim::CapiApplication& {
    std::lock_guard<std::mutex> guard(state->lock);
    auto found = state->apps.find(name);
    if (found == state->apps.end()) throw StepFailure("no application " + name + " is open");
    return *found->second;
  };
  std::optional<emu::ProcessScope> inApplication;
  if (run && verb != "open") {
    std::lock_guard<std::mutex> guard(state->lock);
    auto found = state->processes.find(name);
    if (found != state->processes.end()) inApplication.emplace(found->second);
  }
  if (verb == "open") {
    const std::string mode = words.Take("user or kernel");
    if (mode != "user" && mode != "kernel") throw BadWord("mode is user or kernel, not '" + mode + "'");
    bool readWrite = false;
    if (words.More()) {
      const std::string transport = words.Take("transport");
      if (transport != "readwrite" && transport != "ioctl") {
        throw BadWord("transport is ioctl or readwrite, not '" + transport + "'");
      }
      readWrite = transport == "readwrite";
    }
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    {
      std::lock_guard<std::mutex> guard(state->lock);
      if (state->apps.count(name)) throw StepFailure("application " + name + " is open already");
    }
    std::unique_ptr<sim::CapiApplication> created;
    if (mode == "user") {
      created = std::make_unique<sim::UserApplication>();
    } else {
      created = std::make_unique<sim::KernelApplication>();
    }
    created->SetTransport(readWrite ? sim::Transport::kReadWrite : sim::Transport::kIoctl);
    emu::Process* process =
        mode == "user" ? emu::CreateUserProcess(emu::IdentityOf(emu::CurrentProcess()), name)
                       : emu::SystemProcess();
    NTSTATUS status;
    {
      emu::ProcessScope inProcess(process);
      status = created->Open();
    }
    out << label << ": " << DescribeStatus(uint32_t(status)) << "\n";
    if (NT_SUCCESS(status)) {
      std::lock_guard<std::mutex> guard(state->lock);
      state->apps[name] = std::move(created);
      state->processes[name] = process;
    }
    expected.Check("opening the CAPI device", uint32_t(status));
    return;
  }
  if (verb == "close") {
    words.Done();
    words.NoExpectation();
    if (!run) return;
    app().Close();
    std::lock_guard<std::mutex> guard(state->lock);
    state->apps.erase(name);
    state->processes.erase(name);
    return;
  }
  if (verb == "call") {
    sim::CallOptions options = TakeCallOptions(words);
    bool expectFailure = false;
    if (words.HasExpectation()) {
      if (words.Expectation() != "ok" && words.Expectation() != "failed") {
        throw BadWord("a call ends ok or failed");
      }
      expectFailure = words.Expectation() == "failed";
    }
    if (!run) return;
    if (progress != nullptr) {
      progress->Begin("line " + std::to_string(step.line) + ": " + label);
      options.onBlock = [progress, &options](uint32_t blocks) {
        progress->Show(blocks, options.dataBlocks, "blocks");
      };
    }
    const sim::CallReport report = app().RunCall(options);
    if (progress != nullptr)
      progress->End();
    out << label << ": " << CallOutcome(report) << "\n";
    if (report.ok == expectFailure) {
      throw StepFailure(report.ok ? "the call succeeded, expected it to fail"
                                  : "the call failed: " + DescribeFailure(report));
    }
    return;
  }
  sim::RequestResult result;
  if (verb == "register") {
    uint16_t p[4] = {3072, 2, 7, 2048};
    if (words.More()) {
      for (uint16_t& value : p) value = ParseWord16(words.Take("register parameter"), "number");
    }
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    result = app().Register(p[0], p[1], p[2], p[3]);
    out << label << ": " << ResultText(result) << ", application ID " << app().ApplicationId() << "\n";
    expected.Check(label, uint32_t(result.status));
    return;
  }
  if (verb == "release") {
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    result = app().Release();
    out << label << ": " << ResultText(result) << "\n";
    expected.Check(label, uint32_t(result.status));
    return;
  }
  if (verb == "put") {
    const std::vector<uint8_t> message = ParseHex(words.Take("message bytes"));
    std::vector<uint8_t> payload;
    if (words.More()) payload = ParseHex(words.Take("payload bytes"));
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    result = app().Put(message, payload);
    *outcome = RequestOutcome{true, uint32_t(result.status), result.information, {}};
    out << label << ": " << ResultText(result) << "\n";
    expected.Check(label, uint32_t(result.status));
    return;
  }
  if (verb == "get") {
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    sim::ReceivedMessage message;
    result = app().Get(&message);
    *outcome = RequestOutcome{true, uint32_t(result.status), result.information, message.message};
    out << label << ": " << ResultText(result) << ", message "
        << HexText(message.message.data(), message.message.size());
    if (!message.payload.empty()) {
      out << ", payload " << HexText(message.payload.data(), message.payload.size());
    }
    out << "\n";
    expected.Check(label, uint32_t(result.status));
    return;
  }
  if (verb == "ioctl") {
    const uint32_t code = ParseCapiCode(words.Take("CAPI I/O control"));
    const IoctlBuffers buffers = TakeIoctlBuffers(words);
    const std::vector<uint8_t>& input = buffers.input;
    const uint32_t outLength = buffers.outputLength;
    words.Done();
    const StatusExpectation expected(words);
    if (!run) return;
    std::vector<uint8_t> output(outLength, 0);
    result = app().Ioctl(code, input.empty() ? nullptr : input.data(), uint32_t(input.size()),
                         output.empty() ? nullptr : output.data(), outLength);
    const uint32_t status = uint32_t(result.status);
    const size_t shown = ReturnedBytes(status, result.information, outLength);
    *outcome = RequestOutcome{true, status, result.information,
                              std::vector<uint8_t>(output.begin(), output.begin() + shown)};
    out << label << " " << capiIoctlName(code) << ": " << ResultText(result) << ", output "
        << HexText(output.data(), shown) << "\n";
    expected.Check(label, status);
    return;
  }
  throw BadWord("unknown application step '" + verb +
                "' (open, register, put, get, ioctl, release, call, close)");
}

}  // namespace pellinorsim

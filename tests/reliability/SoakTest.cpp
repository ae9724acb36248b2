// The soak: eight CAPI applications, four in user mode and four in kernel
// mode, keep the simulated CAPI device busy with every kind of request
// (messages put and got by the CAPI I/O controls, by writes and reads and by
// the internal I/O controls, DATA_B3 with payload, the information I/O
// controls, registration and release), some completed at once and some
// later from the device's DPC, while the control thread, through the
// control device, starts, restarts, stops, force-stops and changes the
// settings over and over; once in the run the CAPI device is removed (Plug
// and Play) under traffic, unloaded and loaded again.
//
// It fails unless every request got the device's answer, the log holds only
// whole records, the REQ and CONF messages of each client appear in the
// order the client sent them, every record the driver created is in the log
// or announced as lost, and neither driver leaves pool behind.
//
// PELLINOR_SOAK_SECONDS sets the run's length in wall time (default 60);
// every phase (a forced stop, a restart, the removal) runs at least once
// however short it is.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/ControlDevice.h"
#include "emu/Clock.h"
#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "emu/SystemStartStage.h"
#include "emu/Timers.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "framework/SystemStartStage.h"
#include "sim/CapiDevice.h"
#include "sim/SimPool.h"
#include "tests/pipeline/TraceHarness.h"
#include "tests/reliability/SoakClient.h"
#include "tests/reliability/SoakGate.h"
#include "tests/reliability/SoakLogCheck.h"
#include "tests/reliability/SoakRecordCount.h"

namespace reliability {
namespace {

using Clock = std::chrono::steady_clock;

const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";
constexpr char16_t kControlDevicePath[] = u"\\Device\\PellinorIOCTL";
constexpr int64_t kTicksPerMs = 10000;
// 1 January 1970 in the system time's 100 ns units since 1601.
constexpr int64_t kUnixEpochTicks = 116444736000000000;
constexpr unsigned kUserClients = kSoakClients / 2;
// The removal comes at the first round that ends past this share of the run.
constexpr double kRemovalAt = 0.4;

int SoakSeconds() {
  const char* text = std::getenv("PELLINOR_SOAK_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 60;
  return seconds > 0 ? seconds : 60;
}

// Flags the control thread writes in turn, and what the driver stores (the
// registry can never switch on TRACE_DETAILS, TRACE_ALL_REQUESTS or
// TRACE_NO_TIMESTAMP). Each keeps CAPI messages or CAPI functions on, so
// that every record the driver creates prints.
struct NumberChoice {
  uint32_t written;
  uint32_t stored;
};
constexpr NumberChoice kFlagChoices[] = {
    {0x0003, 0x0003}, {0x0001, 0x0001}, {0x0002, 0x0002}, {0x0203, 0x0203},
    {0x0803, 0x0803}, {0x0033, 0x0003}, {0x0113, 0x0003}, {0x0A01, 0x0A01},
};
constexpr NumberChoice kB3Choices[] = {{32, 32}, {0, 0}, {1, 1}, {16, 16}, {40, 32}, {31, 31}};

// The device's configuration before and after its removal: which kinds of
// request it completes later from its DPC. The second is the first turned
// round, so that every kind is completed both ways in the run.
sim::CapiDeviceConfig DeviceConfig(bool second) {
  sim::CapiDeviceConfig config;
  for (sim::RequestKind kind : {sim::RequestKind::kRead, sim::RequestKind::kWrite,
                                sim::RequestKind::kGetMessage, sim::RequestKind::kRegister,
                                sim::RequestKind::kGetVersion, sim::RequestKind::kManufacturer}) {
    config.SetPending(kind);
  }
  if (second) {
    for (bool& pending : config.pending) pending = !pending;
  }
  return config;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The control thread's side: its handle on the control device, and what
// the log must show of what it did.
struct SoakControl {
  HANDLE handle = nullptr;
  uint64_t starts = 0;      // each writes "Start Tracing"
  uint64_t creations = 0;   // starts that built a trace device: a banner each
  uint64_t restarts = 0;    // starts while tracing ran
  uint64_t stopBlocks = 0;  // stops of a running device: "Stop Tracing" each
  uint64_t plainStops = 0, forcedStops = 0, settings = 0, rounds = 0;
  std::vector<std::string> problems;

  void Problem(const std::string& what) {
    if (problems.size() < 20)
      problems.push_back(what);
  }

  emu::IoResult Ioctl(ULONG code, uint32_t input, bool withInput, uint32_t* output) {
    uint32_t out = 0;
    const emu::IoResult result =
        emu::DeviceIoControl(handle, code, withInput ? &input : nullptr, withInput ? 4 : 0,
                             output != nullptr ? &out : nullptr, output != nullptr ? 4 : 0);
    if (output != nullptr)
      *output = out;
    return result;
  }

  ULONG State() {
    uint32_t state = 0;
    const emu::IoResult result = Ioctl(IOCTL_TRACE_GET_STATE, 0, false, &state);
    if (result.status != STATUS_SUCCESS || result.information != 4) {
      Problem("get state: " + Hex(uint32_t(result.status)));
    }
    return state;
  }

  void SetNumber(ULONG set, ULONG get, const NumberChoice& choice) {
    uint32_t stored = 0;
    emu::IoResult result = Ioctl(set, choice.written, true, &stored);
    if (result.status != STATUS_SUCCESS || result.information != 4 || stored != choice.stored) {
      Problem("set " + Hex(set) + " to " + Hex(choice.written) + ": " +
              Hex(uint32_t(result.status)) + ", stored " + Hex(stored));
    }
    result = Ioctl(get, 0, false, &stored);
    if (result.status != STATUS_SUCCESS || stored != choice.stored) {
      Problem("get " + Hex(get) + ": " + Hex(uint32_t(result.status)) + ", " + Hex(stored));
    }
    ++settings;
  }

  void Start() {
    const ULONG before = State();
    const emu::IoResult result = Ioctl(IOCTL_TRACE_START, 0, false, nullptr);
    if (result.status != STATUS_SUCCESS) {
      Problem("start: " + Hex(uint32_t(result.status)));
      return;
    }
    ++starts;
    creations += before == TRACE_STATE_NONE;
    restarts += before == TRACE_STATE_RUNNING;
    if (State() != TRACE_STATE_RUNNING)
      Problem("not running after a start");
  }

  // The state after the stop.
  ULONG Stop(bool force) {
    const ULONG before = State();
    const emu::IoResult result = Ioctl(IOCTL_TRACE_STOP, force ? 1 : 0, true, nullptr);
    const NTSTATUS expected =
        before == TRACE_STATE_NONE ? STATUS_DEVICE_DOES_NOT_EXIST : STATUS_SUCCESS;
    if (result.status != expected)
      Problem("stop: " + Hex(uint32_t(result.status)));
    stopBlocks += before == TRACE_STATE_RUNNING;
    (force ? forcedStops : plainStops) += 1;
    const ULONG after = State();
    // A stop without force keeps the device while requests are under way.
    if (after != TRACE_STATE_NONE && (force || after != TRACE_STATE_STOPPED)) {
      Problem("state " + std::to_string(after) + " after a stop");
    }
    return after;
  }
};

TEST(Soak, ClientsOfBothModesWhileTracingIsControlledAndTheDeviceIsRemoved) {
  const int seconds = SoakSeconds();
  const auto begin = Clock::now();
  const auto deadline = begin + std::chrono::seconds(seconds);
  std::mt19937 random(20031);
  auto traffic = [&random] {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(2, 25)(random)));
  };

  tracetest::TempDriveC drive;
  emu::Registry::Clear();
  emu::Registry::SetDword(kServiceKey, u"Start", 3);
  emu::Registry::SetString(kServiceKey, u"Pellinor_Log", u"C:\\soak.log");
  emu::Clock::Release();
  emu::Timers::SetManual(false);
  emu::SetSystemStartStage(SYSTEM_START_STAGE_READY);
  ResetSubmittedRecordCounts();

  ASSERT_EQ(sim::LoadCapiDevice(DeviceConfig(false)), STATUS_SUCCESS);
  PDRIVER_OBJECT traceDriver = nullptr;
  ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &traceDriver), STATUS_SUCCESS);
  SoakControl control;
  ASSERT_EQ(emu::Open(kControlDevicePath, UserMode, &control.handle), STATUS_SUCCESS);

  const int64_t baseTime = emu::Clock::Now();
  std::vector<std::unique_ptr<SoakClient>> clients;
  std::vector<const SoakClient*> views;
  for (unsigned i = 0; i < kSoakClients; ++i) {
    clients.push_back(
        std::make_unique<SoakClient>(i, i < kUserClients ? UserMode : KernelMode, baseTime));
    views.push_back(clients.back().get());
  }
  // The log is checked a file at a time: each time a trace device is gone
  // (its writer has closed the file), the file is taken away and read while
  // the clients go on, so that a long run needs no more memory or disk than
  // a short one. The next trace device starts a new file.
  SoakLogCheck check(views, baseTime / kTicksPerMs - kUnixEpochTicks / kTicksPerMs);
  const std::filesystem::path logFile = std::filesystem::path(drive.Path()) / "soak.log";
  auto checkLogFile = [&] {
    // No trace device exists now: every record still to come is captured
    // by a later one, after this moment.
    const uint32_t quiet = uint32_t(emu::Clock::Now() / kTicksPerMs - baseTime / kTicksPerMs);
    std::error_code error;
    if (!std::filesystem::exists(logFile, error))
      return;
    std::filesystem::rename(logFile, std::filesystem::path(drive.Path()) / "soak-checked.log",
                            error);
    ASSERT_FALSE(error) << "moving the log away: " << error.message();
    check.Check(drive.Read("soak-checked.log"));
    std::filesystem::remove(std::filesystem::path(drive.Path()) / "soak-checked.log", error);
    for (auto& client : clients) client->ForgetBefore(quiet);
  };
  auto stop = [&](bool force) {
    if (control.Stop(force) == TRACE_STATE_NONE)
      checkLogFile();
  };

  control.SetNumber(IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_GET_FLAGS, kFlagChoices[0]);
  control.SetNumber(IOCTL_TRACE_SET_B3BYTES, IOCTL_TRACE_GET_B3BYTES, kB3Choices[0]);
  control.Start();
  std::atomic<bool> done{false};
  SoakGate gate;
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&done, &gate, raw = client.get()] { raw->Run(done, gate); });
  }

  // The removal: with tracing on and the clients waiting between sessions
  // (the device really goes: a session under way would see its requests
  // refused, which is the device's answer but not one a client can check),
  // then a forced stop, the device unloaded and loaded again, and a start
  // above the new device.
  bool removed = false;
  auto removeAndReload = [&] {
    if (control.State() != TRACE_STATE_RUNNING)
      control.Start();
    traffic();
    if (!gate.Close(kSoakClients, std::chrono::seconds(300))) {
      control.Problem("the clients did not stop for the device's removal");
    }
    const emu::IoResult pnp = emu::SendPnp(sim::CapiDeviceObject(), IRP_MN_REMOVE_DEVICE);
    std::printf("soak: Plug and Play removal of the CAPI device: %s\n",
                Hex(uint32_t(pnp.status)).c_str());
    if (pnp.status != STATUS_SUCCESS)
      control.Problem("the removal failed");
    // The trace device lets go of the device and stays, attached to nothing.
    if (control.State() != TRACE_STATE_RUNNING)
      control.Problem("not running after the removal");
    traffic();
    stop(true);
    EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
    EXPECT_EQ(sim::LoadCapiDevice(DeviceConfig(true)), STATUS_SUCCESS);
    control.Start();
    gate.Open();
    removed = true;
  };

  // Each round: new settings and a start, a restart with other flags while
  // tracing runs, a stop without force, a start, a forced stop; traffic
  // between every two steps.
  size_t turn = 0;
  while (control.rounds == 0 || Clock::now() < deadline) {
    const NumberChoice& flags = kFlagChoices[turn % std::size(kFlagChoices)];
    const NumberChoice& b3 = kB3Choices[turn % std::size(kB3Choices)];
    const NumberChoice& flags2 = kFlagChoices[(turn + 3) % std::size(kFlagChoices)];
    ++turn;
    control.SetNumber(IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_GET_FLAGS, flags);
    control.SetNumber(IOCTL_TRACE_SET_B3BYTES, IOCTL_TRACE_GET_B3BYTES, b3);
    control.Start();
    traffic();
    control.SetNumber(IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_GET_FLAGS, flags2);
    control.Start();
    traffic();
    stop(false);
    traffic();
    control.Start();
    traffic();
    stop(true);
    traffic();
    ++control.rounds;
    if (!removed && Clock::now() - begin >= std::chrono::duration<double>(seconds * kRemovalAt)) {
      removeAndReload();
    }
  }
  if (!removed)
    removeAndReload();
  // Still tracing when the clients stop and the driver unloads.
  control.Start();
  traffic();
  done = true;
  for (std::thread& thread : threads) thread.join();
  if (control.State() == TRACE_STATE_RUNNING)
    ++control.stopBlocks;  // written at unload
  EXPECT_EQ(emu::Close(control.handle), STATUS_SUCCESS);
  EXPECT_EQ(emu::UnloadDriver(traceDriver), STATUS_SUCCESS);
  EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  emu::Kernel::Quiesce();
  checkLogFile();
  const double wall = std::chrono::duration<double>(Clock::now() - begin).count();

  // Nothing of either driver is left, and no request is alive.
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u) << emu::Pool::DescribeBlocks(POOL_TAG);
  EXPECT_EQ(emu::Pool::Report(sim::kSimPoolTag).blocks, 0u);
  EXPECT_EQ(emu::LiveIrpCount(), 0);

  // Every request got the device's answer.
  uint64_t requests = 0, sessions = 0, refused = 0, failures = 0;
  for (const auto& client : clients) {
    requests += client->Requests();
    sessions += client->Sessions();
    refused += client->RefusedOpens();
    failures += client->FailureCount();
    for (const std::string& failure : client->Failures()) ADD_FAILURE() << failure;
  }
  EXPECT_EQ(failures, 0u);
  for (const std::string& problem : control.problems) ADD_FAILURE() << "control: " << problem;

  // The log: whole records, each client's messages in order, and every
  // record the driver created there or announced lost.
  for (const std::string& problem : check.Problems()) ADD_FAILURE() << problem;
  EXPECT_EQ(check.ProblemCount(), 0u);
  const SubmittedRecords submitted = SubmittedRecordCounts();
  const uint64_t expected = submitted.request + submitted.completion + submitted.lost;
  EXPECT_EQ(check.TracedRecords() + check.LostAnnounced(), expected);
  EXPECT_EQ(check.LostAnnounced(), submitted.lost);
  EXPECT_EQ(check.StartBlocks(), control.starts);
  EXPECT_EQ(check.StopBlocks(), control.stopBlocks);
  EXPECT_EQ(check.Removals(), 1u);  // the one removal, told where it happened
  EXPECT_EQ(check.Banners(), control.creations);
  EXPECT_GT(check.OrderedMessages(), 0u);
  EXPECT_GT(control.forcedStops, 0u);
  EXPECT_GT(control.restarts, 0u);

  std::printf("soak: %d s asked, %.1f s wall; %" PRIu64 " requests sent by %u clients (%" PRIu64
              " sessions, %" PRIu64 " kernel-mode opens refused by a trace device going away)\n",
              seconds, wall, requests, kSoakClients, sessions, refused);
  std::printf("soak: %" PRIu64 " control rounds: %" PRIu64 " starts (%" PRIu64
              " while tracing, %" PRIu64 " building a trace device), %" PRIu64 " stops, %" PRIu64
              " forced stops, %" PRIu64 " settings written; 1 device removal\n",
              control.rounds, control.starts, control.restarts, control.creations,
              control.plainStops, control.forcedStops, control.settings);
  std::printf(
      "soak: records logged %" PRIu64 ", announced lost %" PRIu64 ", expected %" PRIu64 " (%" PRIu64
      " requests, %" PRIu64 " completions, %" PRIu64 " not allocated); %" PRIu64
      " REQ and CONF messages in client order; log %" PRIu64 " bytes in %" PRIu64 " files\n",
      check.TracedRecords(), check.LostAnnounced(), expected, submitted.request,
      submitted.completion, submitted.lost, check.OrderedMessages(), check.Bytes(), check.Pieces());
  // Switching tracing on and off is not atomic with the start and stop
  // blocks (see SoakLogCheck::OnRecord): how often a record crossed one.
  std::printf("soak: %" PRIu64
              " traced records stand before their trace device's first "
              "\"Start Tracing\", %" PRIu64 " after a \"Stop Tracing\"\n",
              check.RecordsBeforeStart(), check.RecordsAfterStop());
  std::fflush(stdout);
  emu::Registry::Clear();
}

}  // namespace
}  // namespace reliability

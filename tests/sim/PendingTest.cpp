// Completion later, from a DPC at DISPATCH_LEVEL; unload with requests
// still pending; many applications at once.
#include "tests/sim/SimTestSupport.h"

#include "sim/ProviderDevice.h"

namespace simtest {
namespace {

// Waits (without the emulated clock) until the provider holds `count`
// pending requests; the requests are sent from other host threads.
bool WaitForPending(uint32_t count) {
  for (int i = 0; i < 200000; ++i) {
    if (sim::GetCapiDeviceCounters().pendingRequests == count)
      return true;
    std::this_thread::yield();
  }
  return false;
}

TEST_F(ProviderTest, PendingRequestsCompleteFromTheDpcAtDispatchLevel) {
  sim::CapiDeviceConfig config;
  config.SetAllPending();
  Load(config);
  CompletionWatcher watcher;
  for (KPROCESSOR_MODE mode : {UserMode, KernelMode}) {
    for (sim::Transport transport : {sim::Transport::kIoctl, sim::Transport::kReadWrite}) {
      auto app = MakeApplication(mode);
      app->SetTransport(transport);
      sim::CallReport report = app->RunCall(sim::CallOptions());
      ASSERT_TRUE(report.ok) << report.failure;
    }
  }
  std::vector<CompletionWatcher::Seen> seen = watcher.Completions();
  sim::CapiDeviceCounters counters = sim::GetCapiDeviceCounters();
  size_t capi = 0;
  for (const auto& s : seen) {
    // Create, cleanup and close complete at once at PASSIVE_LEVEL; every
    // CAPI request later, from the DPC.
    if (s.irql == DISPATCH_LEVEL) {
      EXPECT_TRUE(s.pendingReturned);
      ++capi;
    } else {
      EXPECT_FALSE(s.pendingReturned);
    }
  }
  EXPECT_EQ(capi, counters.completedLater);
  EXPECT_GT(capi, 4u * 20);
  EXPECT_EQ(counters.pendingRequests, 0u);
}

TEST_F(ProviderTest, OnlyTheChosenKindsPend) {
  sim::CapiDeviceConfig config;
  config.SetPending(sim::RequestKind::kGetVersion);
  config.SetPending(sim::RequestKind::kWrite);
  Load(config);
  CompletionWatcher watcher;
  sim::UserApplication app;
  ASSERT_EQ(app.Open(), STATUS_SUCCESS);
  std::array<uint16_t, 4> version{};
  std::string serial;
  EXPECT_EQ(app.GetVersion(1, &version).status, STATUS_SUCCESS);
  EXPECT_EQ(version[0], 2);
  EXPECT_EQ(app.GetSerial(1, &serial).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::GetCapiDeviceCounters().completedLater, 1u);
  std::vector<CompletionWatcher::Seen> seen = watcher.Completions();
  ASSERT_EQ(seen.size(), 3u);  // create, version, serial
  EXPECT_TRUE(seen[1].pendingReturned);
  EXPECT_EQ(seen[1].irql, DISPATCH_LEVEL);
  EXPECT_FALSE(seen[2].pendingReturned);
}

TEST_F(ProviderTest, ATimerDelaysPendingCompletionByTimerTime) {
  emu::Timers::SetManual(true);
  sim::CapiDeviceConfig config;
  config.SetPending(sim::RequestKind::kGetProfile);
  config.pendingDelayMs = 1000;
  Load(config);
  sim::KernelApplication app;
  ASSERT_EQ(app.Open(), STATUS_SUCCESS);
  sim::RequestResult result{STATUS_UNSUCCESSFUL, 0};
  std::array<uint8_t, 64> profile{};
  std::thread caller([&] { result = app.GetProfile(1, &profile); });
  ASSERT_TRUE(WaitForPending(1));
  emu::Timers::Advance(1000 * 10000 - 1);
  emu::Kernel::Quiesce();
  EXPECT_EQ(sim::GetCapiDeviceCounters().pendingRequests, 1u);
  emu::Timers::Advance(1);
  caller.join();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 64u);
  EXPECT_EQ(profile[2], 2);
}

// The Windows build's event mode: no timer or DPC is armed, however long
// the requests wait; the driver's own pass completes them at its IRQL, and
// unload still cancels what is left.
TEST_F(ProviderTest, RequestsHeldForTheDriverCompleteWhenItSays) {
  emu::Timers::SetManual(true);
  sim::CapiDeviceConfig config;
  config.SetPending(sim::RequestKind::kGetProfile);
  config.pendingDelayMs = sim::kCompleteWhenTold;
  Load(config);
  sim::KernelApplication app;
  ASSERT_EQ(app.Open(), STATUS_SUCCESS);
  std::array<uint8_t, 64> profile{};
  sim::RequestResult result{STATUS_UNSUCCESSFUL, 0};
  {
    CompletionWatcher watcher;  // above the device: gone before unload
    std::thread caller([&] { result = app.GetProfile(1, &profile); });
    ASSERT_TRUE(WaitForPending(1));
    EXPECT_EQ(emu::Timers::Pending(), 0u);
    emu::Timers::Advance(3600LL * 1000 * 10000);
    emu::Kernel::Quiesce();
    EXPECT_EQ(sim::GetCapiDeviceCounters().pendingRequests, 1u);
    EXPECT_EQ(sim::ProviderDevice::CompleteNow(sim::CapiDeviceObject()), 1u);
    caller.join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 64u);
    std::vector<CompletionWatcher::Seen> seen = watcher.Completions();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].pendingReturned);
    EXPECT_EQ(seen[0].irql, PASSIVE_LEVEL);
  }

  std::thread late([&] { result = app.GetProfile(1, &profile); });
  ASSERT_TRUE(WaitForPending(1));
  EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  late.join();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  app.Close();
}

TEST_F(ProviderTest, UnloadCancelsWhatIsStillPending) {
  emu::Timers::SetManual(true);
  sim::CapiDeviceConfig config;
  config.SetAllPending();
  config.pendingDelayMs = 5000;
  Load(config);
  sim::UserApplication user;
  sim::KernelApplication kernel;
  ASSERT_EQ(user.Open(), STATUS_SUCCESS);
  ASSERT_EQ(kernel.Open(), STATUS_SUCCESS);
  sim::RequestResult userResult{STATUS_UNSUCCESSFUL, 0};
  sim::RequestResult kernelResult{STATUS_UNSUCCESSFUL, 0};
  std::thread a([&] { userResult = user.Register(); });
  std::thread b([&] {
    std::array<uint16_t, 4> version{};
    kernelResult = kernel.GetVersion(1, &version);
  });
  ASSERT_TRUE(WaitForPending(2));
  EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  a.join();
  b.join();
  EXPECT_EQ(userResult.status, STATUS_CANCELLED);
  EXPECT_EQ(kernelResult.status, STATUS_CANCELLED);
  EXPECT_EQ(sim::GetCapiDeviceCounters().cancelledAtUnload, 2u);
  EXPECT_EQ(emu::Timers::Pending(), 0u);
  // The files outlive the driver: their requests are refused, their
  // cleanup and close still succeed.
  std::string text;
  EXPECT_EQ(kernel.GetManufacturer(&text).status, STATUS_DELETE_PENDING);
  user.Close();
  kernel.Close();
}

TEST_F(ProviderTest, ManyApplicationsAtOnce) {
  sim::CapiDeviceConfig config;
  config.SetPending(sim::RequestKind::kPutMessage);
  config.SetPending(sim::RequestKind::kRead);
  config.SetPending(sim::RequestKind::kGetMessage);
  Load(config);
  constexpr int kThreads = 8;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      auto app = MakeApplication(t % 2 == 0 ? UserMode : KernelMode);
      app->SetTransport(t % 4 < 2 ? sim::Transport::kIoctl : sim::Transport::kReadWrite);
      for (int call = 0; call < 3; ++call) {
        sim::CallOptions options;
        options.incoming = (t + call) % 3 == 0;
        options.dataBlocks = 5;
        options.blockSize = uint16_t(100 + t);
        sim::CallReport report = app->RunCall(options);
        if (!report.ok) {
          failures[t] = "call " + std::to_string(call) + ": " + report.failure;
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
  sim::CapiDeviceCounters counters = sim::GetCapiDeviceCounters();
  EXPECT_EQ(counters.applications, 0u);
  EXPECT_EQ(counters.plcisInUse, 0u);
  EXPECT_EQ(counters.pendingRequests, 0u);
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// Every allocation of the provider refused in turn, during a whole call:
// the call fails cleanly where it meets the refusal (or not at all), and
// unloading finds none of the provider's pool left.
TEST_F(ProviderTest, RefusedPoolLeavesNothingBehind) {
  for (unsigned nth = 1; nth <= 40; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth));
    Load();
    emu::PoolFault fault;
    fault.n = nth;
    fault.tag = sim::kSimPoolTag;
    emu::Pool::InjectFault(fault);
    for (KPROCESSOR_MODE mode : {UserMode, KernelMode}) {
      auto app = MakeApplication(mode);
      sim::CallOptions options;
      options.dataBlocks = 2;
      sim::CallReport report = app->RunCall(options);
      if (!report.ok) {
        // The refusal shows as the status of the request that met it.
        bool refused = false;
        for (const auto& r : app->Requests()) refused |= r.status == STATUS_INSUFFICIENT_RESOURCES;
        EXPECT_TRUE(refused) << report.failure;
      }
    }
    emu::Pool::ClearFaults();
    ASSERT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
    ASSERT_EQ(emu::Pool::Report(sim::kSimPoolTag).blocks, 0u);
  }
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// Unload in the middle of calls: each application is blocked on a pending
// request, after the line and the queues have been used for a while. Every
// request completes once (the emulated kernel checks), the blocked ones with
// STATUS_CANCELLED, and nothing of the provider remains.
TEST_F(ProviderTest, UnloadInTheMiddleOfCallsCancelsAndFreesEverything) {
  emu::Timers::SetManual(true);
  sim::CapiDeviceConfig config;
  config.SetAllPending();
  config.pendingDelayMs = 10;
  Load(config);
  constexpr uint32_t kThreads = 6;
  std::vector<std::unique_ptr<sim::CapiApplication>> apps;
  for (uint32_t t = 0; t < kThreads; ++t) {
    apps.push_back(MakeApplication(t % 2 == 0 ? UserMode : KernelMode));
    apps.back()->SetTransport(t % 3 == 0 ? sim::Transport::kReadWrite : sim::Transport::kIoctl);
    ASSERT_EQ(apps.back()->Open(), STATUS_SUCCESS);
  }
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      sim::CallOptions options;
      options.incoming = t % 2 == 1;
      while (apps[t]->RunCall(options).ok) {
      }
    });
  }
  // Each step lets every application's one pending request complete; so
  // the applications stand at different points of their calls.
  for (uint32_t step = 0; step < 37; ++step) {
    ASSERT_TRUE(WaitForPending(kThreads)) << "step " << step;
    emu::Timers::Advance(10 * 10000);
    emu::Kernel::Quiesce();
  }
  ASSERT_TRUE(WaitForPending(kThreads));
  EXPECT_GT(sim::GetCapiDeviceCounters().plcisInUse, 0u);
  ASSERT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sim::GetCapiDeviceCounters().cancelledAtUnload, kThreads);
  for (uint32_t t = 0; t < kThreads; ++t) {
    const auto& requests = apps[t]->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().status, STATUS_CANCELLED) << "application " << t;
    for (size_t r = 0; r + 1 < requests.size(); ++r)
      EXPECT_EQ(requests[r].status, STATUS_SUCCESS) << requests[r].what;
    apps[t]->Close();
  }
}

}  // namespace
}  // namespace simtest

// The trace driver above the simulated CAPI 2.0 provider, with its
// simulated applications running whole calls: whole logs compared, and
// every request answered exactly as without the tracer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "sim/CapiDevice.h"
#include "sim/KernelApplication.h"
#include "sim/UserApplication.h"
#include "tests/filter/FilterHarness.h"

#include "framework/Pool.h"
#include "framework/TraceDriver.h"

namespace filtertest {
namespace {

struct CallRun {
  sim::CallReport report;
  std::vector<sim::RequestRecord> requests;
};

// One call of a fresh application of the given kind.
CallRun Call(bool kernelMode, sim::Transport transport, const sim::CallOptions& options) {
  std::unique_ptr<sim::CapiApplication> app;
  if (kernelMode)
    app = std::make_unique<sim::KernelApplication>();
  else
    app = std::make_unique<sim::UserApplication>();
  app->SetTransport(transport);
  CallRun run;
  if (app->Open() != STATUS_SUCCESS) {
    ADD_FAILURE() << "the application cannot open the CAPI device";
    return run;
  }
  run.report = app->RunCall(options);
  run.requests = app->Requests();
  app->Close();
  return run;
}

void ExpectSameAnswers(const CallRun& traced, const CallRun& plain) {
  EXPECT_TRUE(traced.report.ok) << traced.report.failure;
  ASSERT_EQ(traced.requests.size(), plain.requests.size());
  for (size_t i = 0; i < plain.requests.size(); ++i) {
    EXPECT_EQ(traced.requests[i].what, plain.requests[i].what);
    EXPECT_EQ(traced.requests[i].status, plain.requests[i].status) << plain.requests[i].what;
    EXPECT_EQ(traced.requests[i].information, plain.requests[i].information)
        << plain.requests[i].what;
  }
  EXPECT_EQ(traced.report.blocksEchoed, plain.report.blocksEchoed);
}

struct SimCase {
  const char* golden;
  bool kernelMode;
  sim::Transport transport;
  bool pending;
  bool maker;
};

class SimTracing : public ::testing::TestWithParam<SimCase> {
 protected:
  void TearDown() override {
    system.Unload();
    if (sim::CapiDeviceLoaded())
      EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }
  TracedSystem system;
};

TEST_P(SimTracing, CallPassesThroughAndIsLoggedWhole) {
  const SimCase& c = GetParam();
  sim::CapiDeviceConfig config;
  if (c.maker) {
    config.manufacturer = "NRX Simulated ISDN";
    config.controllers.resize(3);
    config.controllers[0].manufacturerMajor = 0x32;
    config.controllers[0].manufacturerMinor = 0x17;
    config.controllers[1].serial = "0000002";
    config.controllers[2].serial = "0000003";
    config.controllers[2].bChannels = 30;
  }
  if (c.pending)
    config.SetAllPending();
  ASSERT_EQ(sim::LoadCapiDevice(config), STATUS_SUCCESS);
  sim::CallOptions options;
  options.dataBlocks = 2;
  options.blockSize = 40;
  CallRun plain = Call(c.kernelMode, c.transport, options);
  ASSERT_TRUE(plain.report.ok) << plain.report.failure;
  // The provider starts afresh, so that the traced call meets it as the
  // plain one did.
  ASSERT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
  ASSERT_EQ(sim::LoadCapiDevice(config), STATUS_SUCCESS);

  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
  CallRun traced = Call(c.kernelMode, c.transport, options);
  ExpectSameAnswers(traced, plain);
  EXPECT_EQ(system.Driver()->StopTraceDevice(0), STATUS_SUCCESS);
  EXPECT_EQ(system.Driver()->TraceState(), 0u);
  std::string log = system.Log();
  EXPECT_EQ(log, Golden(c.golden, log));
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimTracing,
    ::testing::Values(
        SimCase{"sim_user_call.log", false, sim::Transport::kReadWrite, false, false},
        // Completion from the provider's DPC changes nothing in the log.
        SimCase{"sim_user_call.log", false, sim::Transport::kReadWrite, true, false},
        SimCase{"sim_user_call_ioctl.log", false, sim::Transport::kIoctl, false, false},
        SimCase{"sim_kernel_call.log", true, sim::Transport::kIoctl, false, false},
        SimCase{"sim_kernel_call.log", true, sim::Transport::kIoctl, true, false},
        SimCase{"sim_maker_three_controllers.log", false, sim::Transport::kReadWrite, false,
                true}),
    [](const ::testing::TestParamInfo<SimCase>& info) {
      std::string name = info.param.golden;
      name = name.substr(0, name.find('.'));
      name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
      return name + (info.param.pending ? "Pending" : "");
    });

}  // namespace
}  // namespace filtertest

// The control device's start, state and stop requests against a real trace
// device above the simulated CAPI device: the Start value they write, the
// state word, and the stop with and without force while a request is
// outstanding.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "control/ControlDevice.h"
#include "emu/Clock.h"
#include "emu/Files.h"
#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Object.h"
#include "emu/Process.h"
#include "emu/Registry.h"
#include "emu/SystemVersion.h"
#include "emu/Timers.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "sim/CapiDevice.h"
#include "sim/UserApplication.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

class ControlDeviceTracing : public ::testing::Test {
 protected:
  PDRIVER_OBJECT driver = nullptr;
  ControlDevice* own = nullptr;
  HANDLE control = nullptr;
  std::string drive;

  void SetUp() override {
    // One drive per test: CTest runs the tests of this fixture side by side,
    // and one test's log must not appear in another's drive.
    drive = ::testing::TempDir() + "control-tracing-drive-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(drive);
    fs::create_directories(drive);
    emu::SetDriveC(drive);
    emu::Registry::Clear();
    emu::Registry::SetDword(kService, u"Start", 3);
    emu::Clock::Fix(emu::MakeSystemTime(2003, 1, 5, 14, 3, 7, 123));
    emu::Timers::SetManual(true);
    sim::CapiDeviceConfig config;
    // Reads complete a second of timer time after they arrive.
    config.SetPending(sim::RequestKind::kRead);
    config.pendingDelayMs = 1000;
    ASSERT_EQ(sim::LoadCapiDevice(config), STATUS_SUCCESS);
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
    if (emu::FindDevice(u"\\Device\\PellinorIOCTL") == nullptr) {
      ASSERT_EQ(CreateControlDevice(&own), STATUS_SUCCESS);
      own->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ASSERT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &control), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (control != nullptr) EXPECT_EQ(emu::Close(control), STATUS_SUCCESS);
    DestroyControlDevice(own);
    if (driver != nullptr) EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
    emu::Kernel::Quiesce();
    emu::Timers::SetManual(false);
    emu::Clock::Release();
  }

  emu::IoResult Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outLength = 0,
                        uint32_t* number = nullptr) {
    uint8_t output[4] = {};
    emu::IoResult result = emu::DeviceIoControl(control, code, input.empty() ? nullptr : input.data(),
                                                ULONG(input.size()), outLength ? output : nullptr,
                                                outLength);
    if (number != nullptr) {
      *number = uint32_t(output[0]) | uint32_t(output[1]) << 8 | uint32_t(output[2]) << 16 |
                uint32_t(output[3]) << 24;
    }
    return result;
  }
  uint32_t State() {
    uint32_t state = 0xFFFFFFFF;
    emu::IoResult result = Control(IOCTL_TRACE_GET_STATE, {}, 4, &state);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    return state;
  }
  static uint32_t StartValue() {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_TRUE(emu::Registry::GetValue(kService, u"Start", &type, &data));
    return data.size() == 4 ? data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24 : 0xDEAD;
  }
  // Real-time polling for a point another thread is about to reach.
  template <typename Condition>
  static bool Eventually(Condition condition) {
    for (int i = 0; i < 60000 && !condition(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
  }
};

TEST_F(ControlDeviceTracing, StartAndStopDriveTheStateAndTheStartValue) {
  EXPECT_EQ(State(), TRACE_STATE_NONE);
  emu::IoResult result = Control(IOCTL_TRACE_START);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(StartValue(), 2u);
  EXPECT_EQ(State(), TRACE_STATE_RUNNING);
  // Started again while tracing: success, and still automatic.
  EXPECT_EQ(Control(IOCTL_TRACE_START).status, STATUS_SUCCESS);
  // A stop with a short input is a stop without force; idle, the device goes.
  result = Control(IOCTL_TRACE_STOP, {1, 0});
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(StartValue(), 1u);
  EXPECT_EQ(State(), TRACE_STATE_NONE);
  EXPECT_EQ(Control(IOCTL_TRACE_STOP).status, STATUS_DEVICE_DOES_NOT_EXIST);
  // A target that does not exist: the start fails and writes 1.
  emu::Registry::SetString(kService, u"Pellinor_Target", u"NoSuchCapi");
  EXPECT_EQ(Control(IOCTL_TRACE_START).status, STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_EQ(StartValue(), 1u);
  EXPECT_EQ(State(), TRACE_STATE_NONE);
}

// The start request runs in the tool's thread and creates the log writer's
// thread there: its handle must be a kernel handle, never one of the tool's
// process, which could suspend the thread or close the handle and put
// another object at its value before the driver references it.
TEST_F(ControlDeviceTracing, TheWriterThreadsHandleNeverEntersTheToolsProcess) {
  emu::Process* tool = emu::CreateUserProcess(emu::Identity::Administrator, "tool");
  std::vector<std::string> made;
  emu::SetHandleObserver(tool, [&made](HANDLE, PVOID body) {
    made.push_back(emu::ObjectTypeName(emu::ObjectType(body)));
  });
  {
    emu::ProcessScope inTool(tool);
    ASSERT_EQ(Control(IOCTL_TRACE_START).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), TRACE_STATE_RUNNING);
    EXPECT_EQ(Control(IOCTL_TRACE_STOP, {1, 0, 0, 0}).status, STATUS_SUCCESS);
  }
  emu::SetHandleObserver(tool, nullptr);
  EXPECT_TRUE(made.empty()) << made.size() << " handles made in the tool's process, the first to a "
                            << made.front();
  EXPECT_TRUE(emu::ProcessHandles(tool).empty());
}

// Windows 98/Me cannot wait on a thread object: there the writer's end is
// known by its event alone, and no thread object is referenced.
TEST_F(ControlDeviceTracing, OnWindows98TheWriterIsStartedAndEndedWithoutWaitingOnItsThread) {
  EXPECT_EQ(emu::Close(control), STATUS_SUCCESS);
  control = nullptr;
  DestroyControlDevice(own);
  own = nullptr;
  ASSERT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  driver = nullptr;
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  bool ran = false;
  if (NT_SUCCESS(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver)) &&
      NT_SUCCESS(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &control))) {
    ran = true;
    EXPECT_EQ(Control(IOCTL_TRACE_START).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), TRACE_STATE_RUNNING);
    EXPECT_EQ(Control(IOCTL_TRACE_STOP, {1, 0, 0, 0}).status, STATUS_SUCCESS);
    EXPECT_EQ(emu::Close(control), STATUS_SUCCESS);
    control = nullptr;
    EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    driver = nullptr;
  }
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  ASSERT_TRUE(ran) << "the driver did not load on Windows 98";
  EXPECT_TRUE(fs::exists(fs::path(drive) / "Pellinor.log"));
}

// The reproduction of a user who points the log at a system file and starts
// tracing: the writer thread, in the system process, would append the
// banner to it. Refused whether the user opens the device or uses an
// administrator's handle, and nothing changes.
TEST_F(ControlDeviceTracing, AnOrdinaryUserCannotMakeTheDriverWriteToAFile) {
  const fs::path hosts = fs::path(drive) / "WINDOWS" / "system32" / "drivers" / "etc" / "hosts";
  fs::create_directories(hosts.parent_path());
  const std::string original = "127.0.0.1       localhost\r\n";
  std::ofstream(hosts, std::ios::binary) << original;
  const std::string registryBefore = emu::Registry::SaveText();
  const char path[] = "C:\\WINDOWS\\system32\\drivers\\etc\\hosts";
  std::vector<uint8_t> setLog(path, path + sizeof path);
  {
    emu::ProcessScope asUser(emu::CreateUserProcess(emu::Identity::User, "user"));
    HANDLE own = nullptr;
    EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &own), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(IOCTL_TRACE_SET_LOG, setLog).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(IOCTL_TRACE_START).status, STATUS_ACCESS_DENIED);
  }
  EXPECT_EQ(emu::Registry::SaveText(), registryBefore);
  std::ostringstream now;
  now << std::ifstream(hosts, std::ios::binary).rdbuf();
  EXPECT_EQ(now.str(), original);
  EXPECT_EQ(State(), TRACE_STATE_NONE);
  EXPECT_FALSE(fs::exists(fs::path(drive) / "Pellinor.log"));
}

TEST_F(ControlDeviceTracing, StopWithForceDestroysTheDeviceWhileARequestIsOutstanding) {
  ASSERT_EQ(Control(IOCTL_TRACE_START).status, STATUS_SUCCESS);
  sim::UserApplication app;
  app.SetTransport(sim::Transport::kReadWrite);
  ASSERT_EQ(app.Open(), STATUS_SUCCESS);
  ASSERT_EQ(app.Register().status, STATUS_SUCCESS);
  sim::RequestResult got;
  std::thread reader([&] {
    sim::ReceivedMessage message;
    got = app.Get(&message);
  });
  ASSERT_TRUE(Eventually([] { return sim::GetCapiDeviceCounters().pendingRequests == 1; }));

  // Without force the device stays, quiet, while the read is outstanding.
  EXPECT_EQ(Control(IOCTL_TRACE_STOP, {0, 0, 0, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(State(), TRACE_STATE_STOPPED);
  EXPECT_EQ(StartValue(), 1u);

  // With force (byte 0 of a 4-byte input; bytes 1-3 ignored) it goes: its
  // destruction waits for the read, which completes when the timer fires.
  emu::IoResult stopped{};
  std::thread stopper([&] { stopped = Control(IOCTL_TRACE_STOP, {1, 0xFF, 0xFF, 0xFF}); });
  PDEVICE_OBJECT capi = sim::CapiDeviceObject();
  ASSERT_TRUE(Eventually([capi] { return emu::StackTop(capi) == capi; }));
  emu::Timers::Advance(1000 * 10000);
  reader.join();
  stopper.join();
  EXPECT_EQ(stopped.status, STATUS_SUCCESS);
  EXPECT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(State(), TRACE_STATE_NONE);
  EXPECT_EQ(app.Release().status, STATUS_SUCCESS);
  app.Close();
}

}  // namespace

// Tracing started, stopped, force-stopped and restarted over and over while
// user-mode and kernel-mode clients keep sending traffic that the CAPI
// device completes from DPCs. Afterwards every request has been completed
// once with the CAPI device's answer, the log holds whole records, each
// request's record before its completion's, and no pool is left. The race
// runs with the host build and again with the shipped pellinor.sys.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "tests/filter/FilterHarness.h"

#include "framework/Pool.h"
#include "control/ControlDevice.h"
#include "framework/TraceDriver.h"
#include "trace/CapiIoctl.h"

namespace filtertest {
namespace {

const char kConnectReq[] =
    "1a 00 01 00 02 80 01 00 01 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00";
const char kConnectConf[] = "0e 00 01 00 02 81 01 00 01 01 00 00 00 00";

constexpr int kClientsPerMode = 2;
constexpr int kMinimumSessions = 8;
constexpr int kControlRounds = 6;

struct Failures {
  std::atomic<int> count{0};
  void Check(bool ok) {
    if (!ok)
      ++count;
  }
};

void UserSession(Failures* failures) {
  HANDLE handle = nullptr;
  if (emu::Open(u"\\Device\\CAPI201", UserMode, &handle) != STATUS_SUCCESS) {
    failures->Check(false);
    return;
  }
  std::vector<uint8_t> connect = Message(kConnectReq);
  emu::IoResult write = emu::Write(handle, connect.data(), ULONG(connect.size()));
  failures->Check(write.status == STATUS_SUCCESS && write.information == connect.size());
  uint8_t buffer[64] = {};
  emu::IoResult read = emu::Read(handle, buffer, sizeof buffer);
  failures->Check(read.status == STATUS_SUCCESS && read.information == 14 && buffer[5] == 0x81);
  uint8_t params[12] = {0, 4, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0};
  uint8_t id[4] = {};
  emu::IoResult reg = emu::DeviceIoControl(handle, CAPI_REGISTER, params, 12, id, 4);
  failures->Check(reg.status == STATUS_SUCCESS && reg.information == 4 && id[0] == 1);
  failures->Check(emu::Close(handle) == STATUS_SUCCESS);
}

void KernelSession(Failures* failures) {
  HANDLE handle = nullptr;
  NTSTATUS opened = emu::Open(u"\\Device\\CAPI201", KernelMode, &handle);
  // A trace device on its way out refuses new kernel-mode opens.
  if (opened == STATUS_DELETE_PENDING)
    return;
  if (opened != STATUS_SUCCESS) {
    failures->Check(false);
    return;
  }
  std::vector<uint8_t> connect = Message(kConnectReq);
  CAPI_PARAMETER_BLOCK put = {ULONG(ULONG_PTR(connect.data())), 0};
  emu::IoResult result = emu::InternalDeviceIoControl(handle, CAPI_PUT_MESSAGE, &put, 8, nullptr, 0);
  failures->Check(result.status == STATUS_SUCCESS && result.information == 0);
  uint8_t message[64] = {};
  CAPI_PARAMETER_BLOCK get = {ULONG(ULONG_PTR(message)), 0};
  result = emu::InternalDeviceIoControl(handle, CAPI_GET_MESSAGE, &get, 8, nullptr, 0);
  failures->Check(result.status == STATUS_SUCCESS && result.information == 14 &&
                  message[5] == 0x81);
  failures->Check(emu::Close(handle) == STATUS_SUCCESS);
}

// Every record of the log is whole, and a completion record follows the
// record of its request.
void CheckLog(const std::string& log, size_t starts, size_t stops) {
  std::istringstream lines(log);
  std::string line;
  std::set<std::string> requested;
  size_t startBlocks = 0, stopBlocks = 0, completions = 0;
  bool expectStatus = false;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty()) << "a line without CR LF";
    ASSERT_EQ(line.back(), '\r') << line;
    line.pop_back();
    if (expectStatus) {
      EXPECT_EQ(line.rfind("    0x0000 (0x00000000: STATUS_SUCCESS", 0), 0u) << line;
      expectStatus = false;
    }
    startBlocks += line == "Start Tracing";
    stopBlocks += line == "Stop Tracing";
    size_t irp = line.find("Irp IRP");
    if (irp == std::string::npos)
      continue;
    std::string name = line.substr(irp + 4, line.find(')', irp) - irp - 4);
    if (line.rfind("COMPLETION ", 0) == 0) {
      ++completions;
      EXPECT_EQ(requested.count(name), 1u) << "completion before its request: " << line;
      requested.erase(name);
      expectStatus = true;
    } else {
      requested.insert(name);
    }
  }
  EXPECT_EQ(startBlocks, starts);
  EXPECT_EQ(stopBlocks, stops);
  EXPECT_GT(completions, 0u);
}

// What the control loop needs of the trace driver: the host build's
// methods called directly, or the control device's requests, which are all
// a driver loaded from its image offers.
class Controller {
 public:
  virtual ~Controller() = default;
  virtual NTSTATUS Start() = 0;
  virtual NTSTATUS Stop(UCHAR force) = 0;
  virtual ULONG State() = 0;
};

class DirectController : public Controller {
 public:
  explicit DirectController(TraceDriver* driver) : driver_(driver) {}
  NTSTATUS Start() override { return driver_->RestartTracing(); }
  NTSTATUS Stop(UCHAR force) override { return driver_->StopTraceDevice(force); }
  ULONG State() override { return driver_->TraceState(); }

 private:
  TraceDriver* driver_;
};

// Through \\.\PellinorWin32CTL, as the control tool reaches the driver.
class DeviceController : public Controller {
 public:
  DeviceController() {
    EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle_), STATUS_SUCCESS);
  }
  ~DeviceController() override {
    if (handle_ != nullptr)
      EXPECT_EQ(emu::Close(handle_), STATUS_SUCCESS);
  }
  NTSTATUS Start() override {
    return emu::DeviceIoControl(handle_, IOCTL_TRACE_START, nullptr, 0, nullptr, 0).status;
  }
  NTSTATUS Stop(UCHAR force) override {
    uint8_t input[4] = {force, 0, 0, 0};
    return emu::DeviceIoControl(handle_, IOCTL_TRACE_STOP, input, 4, nullptr, 0).status;
  }
  ULONG State() override {
    uint8_t state[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    emu::IoResult result = emu::DeviceIoControl(handle_, IOCTL_TRACE_GET_STATE, nullptr, 0, state, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    return ULONG(state[0]) | ULONG(state[1]) << 8 | ULONG(state[2]) << 16 | ULONG(state[3]) << 24;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The driver loaded, by `load`, into `system`; then clients and the control
// loop race until the rounds are done, the driver unloads, and everything
// is checked.
void RunConcurrency(TracedSystem* system, const std::function<NTSTATUS()>& load,
                    const std::function<std::unique_ptr<Controller>()>& controller) {
  auto lower = std::make_unique<LowerCapi>();
  lower->SetDefaultMessage(Message(kConnectConf));
  for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_DEVICE_CONTROL),
                      UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
    lower->SetCompletion(major, Completion::kFromDpc);
  }
  ASSERT_EQ(load(), STATUS_SUCCESS);
  std::unique_ptr<Controller> control = controller();

  Failures failures;
  std::atomic<bool> controlDone{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 2 * kClientsPerMode; ++i) {
    clients.emplace_back([&, i] {
      for (int session = 0; session < kMinimumSessions || !controlDone; ++session) {
        if (i % 2 == 0)
          UserSession(&failures);
        else
          KernelSession(&failures);
      }
    });
  }

  // Each round: a fresh device, a start while tracing, a stop without force
  // (the device may stay while requests are in flight), a restart, and a
  // forced stop.
  size_t starts = 0;
  size_t stops = 0;
  for (int round = 0; round < kControlRounds; ++round) {
    NTSTATUS status = control->Start();
    EXPECT_EQ(status, STATUS_SUCCESS);
    starts += NT_SUCCESS(status);
    status = control->Start();
    EXPECT_EQ(status, STATUS_SUCCESS);
    starts += NT_SUCCESS(status);
    EXPECT_EQ(control->Stop(0), STATUS_SUCCESS);
    ++stops;
    status = control->Start();
    EXPECT_EQ(status, STATUS_SUCCESS);
    starts += NT_SUCCESS(status);
    EXPECT_EQ(control->Stop(1), STATUS_SUCCESS);
    ++stops;
    EXPECT_EQ(control->State(), 0u);
  }
  // One more device, still tracing when the driver unloads. A session of
  // each mode goes through it from here: however the scheduler (or a chaos
  // seed) held the clients back, the log has requests and completions to
  // check.
  EXPECT_EQ(control->Start(), STATUS_SUCCESS);
  ++starts;
  ++stops;  // written at unload
  UserSession(&failures);
  KernelSession(&failures);
  controlDone = true;
  for (std::thread& client : clients) client.join();
  control.reset();
  system->Unload();

  EXPECT_EQ(failures.count.load(), 0);
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
  EXPECT_EQ(emu::LiveIrpCount(), 0);
  // Every request the CAPI device saw was answered as it was sent.
  for (const Seen& seen : lower->SeenRequests()) EXPECT_EQ(seen.status, STATUS_SUCCESS);
  lower.reset();
  CheckLog(system->Log(), starts, stops);
}

TEST(FilterConcurrency, StartsAndStopsWhileClientsSendTraffic) {
  TracedSystem system;
  RunConcurrency(
      &system, [&] { return system.Load(); },
      [&] { return std::unique_ptr<Controller>(new DirectController(system.Driver())); });
}

// The same race with the shipped pellinor.sys (the Windows build, loaded by
// the emulated kernel's image loader), driven through its control device.
TEST(FilterConcurrency, ShippedImageStartsAndStopsWhileClientsSendTraffic) {
  const std::string image = PELLINOR_WINDOWS_IMAGE;
  if (image.empty() || !std::ifstream(image).good())
    GTEST_SKIP() << "no pellinor.sys (configure with -DPELLINOR_WINDOWS_IMAGE=FILE)";
  TracedSystem system;
  std::string message;
  RunConcurrency(
      &system,
      [&] {
        NTSTATUS status = system.LoadImage(image, &message);
        EXPECT_TRUE(message.empty()) << message;
        return status;
      },
      [] { return std::unique_ptr<Controller>(new DeviceController()); });
}

}  // namespace
}  // namespace filtertest

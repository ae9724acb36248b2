// Tracing started, stopped, force-stopped and restarted over and over while
// user-mode and kernel-mode clients keep sending traffic that the CAPI
// device completes from DPCs. Afterwards every request has been completed
// once with the CAPI device's answer, the log holds whole records, each
// request's record before its completion's, and no pool is left.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "tests/filter/FilterHarness.h"

#include "framework/Pool.h"
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

TEST(FilterConcurrency, StartsAndStopsWhileClientsSendTraffic) {
  TracedSystem system;
  auto lower = std::make_unique<LowerCapi>();
  lower->SetDefaultMessage(Message(kConnectConf));
  for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_DEVICE_CONTROL),
                      UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
    lower->SetCompletion(major, Completion::kFromDpc);
  }
  ASSERT_EQ(system.Load(), STATUS_SUCCESS);
  TraceDriver* driver = system.Driver();

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
    NTSTATUS status = driver->RestartTracing();
    EXPECT_EQ(status, STATUS_SUCCESS);
    starts += NT_SUCCESS(status);
    status = driver->RestartTracing();
    EXPECT_EQ(status, STATUS_SUCCESS);
    starts += NT_SUCCESS(status);
    EXPECT_EQ(driver->StopTraceDevice(0), STATUS_SUCCESS);
    ++stops;
    status = driver->RestartTracing();
    EXPECT_EQ(status, STATUS_SUCCESS);
    starts += NT_SUCCESS(status);
    EXPECT_EQ(driver->StopTraceDevice(1), STATUS_SUCCESS);
    ++stops;
    EXPECT_EQ(driver->TraceState(), 0u);
  }
  // One more device, still tracing when the driver unloads.
  EXPECT_EQ(driver->RestartTracing(), STATUS_SUCCESS);
  ++starts;
  ++stops;  // written at unload
  controlDone = true;
  for (std::thread& client : clients) client.join();
  system.Unload();

  EXPECT_EQ(failures.count.load(), 0);
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
  EXPECT_EQ(emu::LiveIrpCount(), 0);
  // Every request the CAPI device saw was answered as it was sent.
  for (const Seen& seen : lower->SeenRequests()) EXPECT_EQ(seen.status, STATUS_SUCCESS);
  lower.reset();
  CheckLog(system.Log(), starts, stops);
}

}  // namespace
}  // namespace filtertest

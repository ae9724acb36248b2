// The trace driver loaded into the emulated kernel above a scripted CAPI
// device, for the tests of the filter, the interception and the start and
// stop of tracing.
//
// LowerCapi is a small CAPI 2.0 provider in a test driver of its own: it
// answers the information I/O controls of the target query from its
// configuration, hands out messages to reads and kernel-mode get-message
// requests, and records every request it sees (the stack location it was
// given, and the status and information it completed it with), so that a
// test can check that the filter passed each request down unchanged and
// that the caller got exactly the lower driver's answer. It completes at
// once, or later from a DPC at DISPATCH_LEVEL, or holds requests until the
// test lets them go.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/Image.h"
#include "emu/Io.h"
#include "tests/emu/IoTestDriver.h"
#include "tests/pipeline/TraceHarness.h"

#include <ntddk.h>

class TraceDriver;

namespace filtertest {

struct ControllerConfig {
  std::string serial = "1234567";
  uint16_t capiMajor = 2, capiMinor = 0;
  uint16_t manufacturerMajor = 3, manufacturerMinor = 11;
  uint16_t bChannels = 2;
};

struct LowerConfig {
  std::string manufacturer = "Test Systems CAPI";
  std::vector<ControllerConfig> controllers{ControllerConfig()};
  // An information I/O control (code) that fails for one controller (0:
  // the request without a controller number) with the status given.
  ULONG failCode = 0;
  ULONG failController = 0;
  NTSTATUS failStatus = STATUS_SUCCESS;
};

// What the lower device saw of one request and how it answered it.
struct Seen {
  PIRP irp;
  UCHAR major, minor;
  KPROCESSOR_MODE mode;
  ULONG parameter1, parameter2, parameter3;  // lengths and code
  PVOID parameter4;                          // Type3InputBuffer
  PFILE_OBJECT file;
  // The filter above set a completion routine for it.
  bool watched;
  NTSTATUS status;
  ULONG_PTR information;
};

enum class Completion { kAtOnce, kFromDpc, kHold };

class LowerCapi {
 public:
  explicit LowerCapi(LowerConfig config = LowerConfig(), const std::u16string& name = u"CAPI201");
  ~LowerCapi();

  PDEVICE_OBJECT Device() const { return device_; }
  PDRIVER_OBJECT Driver() const { return driver_.object(); }
  // How the requests of one major function are completed from now on.
  void SetCompletion(UCHAR major, Completion how);
  // Messages that reads and kernel-mode get-message requests hand out, in
  // order; without one a read gives 0 bytes and a get-message no message.
  // Kernel-mode opens fail with `status` from now on (when it is a failure).
  void FailKernelOpens(NTSTATUS status);
  // The message that reads and get-message requests hand out when none is
  // queued (none by default).
  void SetDefaultMessage(std::vector<uint8_t> message);
  void QueueMessage(std::vector<uint8_t> message, std::vector<uint8_t> payload = {});

  // Waits until `count` requests are held; completes every held request
  // from a DPC, or on the calling thread at PASSIVE_LEVEL (a thread of the
  // lower driver's that nothing else waits for).
  void WaitHeld(size_t count);
  void ReleaseHeld(bool fromDpc = true);

  std::vector<Seen> SeenRequests();
  // The last request of major function `major` (fails the test without).
  Seen Last(UCHAR major);
  size_t Count(UCHAR major);

 private:
  NTSTATUS Handle(PIRP irp);
  void Answer(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* status, ULONG_PTR* information);
  NTSTATUS Information(ULONG code, ULONG controller, uint8_t* buffer, ULONG output,
                       ULONG_PTR* information);

  LowerConfig config_;
  iotest::TestDriver driver_;
  PDEVICE_OBJECT device_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<UCHAR, Completion> completion_;
  NTSTATUS kernelOpenStatus_ = STATUS_SUCCESS;
  std::vector<uint8_t> defaultMessage_;
  std::deque<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> messages_;
  std::vector<PIRP> held_;
  std::vector<Seen> seen_;
};

// Expects that the caller got what the lower driver completed the request
// with, and that the lower driver saw the request as it was sent.
void ExpectPassedThrough(const emu::IoResult& result, const Seen& seen, UCHAR major,
                         ULONG parameter1 = 0, ULONG parameter2 = 0, ULONG parameter3 = 0);

// The service key of the trace driver and its values.
extern const std::u16string kServiceKey;
void SetStart(uint32_t start);
void SetFlags(uint32_t flags);
void SetB3Bytes(uint32_t bytes);
void SetTarget(const std::u16string& target);
void SetLog(const std::u16string& log);

// Sends one request without buffers (IOCTL_TRACE_START, IOCTL_TRACE_STOP)
// to the trace driver's control device, as pellinorctl does; its status.
NTSTATUS SendControl(ULONG code);

// The trace driver, loaded on construction (with the registry values set
// before) and unloaded by Unload or the destructor. The clock is fixed at
// the golden time for the test's life; the log goes to a fresh drive C.
class TracedSystem {
 public:
  TracedSystem();
  ~TracedSystem();
  NTSTATUS Load();
  // Loads the trace driver from a PE image (the Windows build's
  // pellinor.sys) instead; *message says why a refused image was refused.
  NTSTATUS LoadImage(const std::string& path, std::string* message);
  void Unload();
  // The host build's driver object; null for a driver from an image, which
  // is reached only through its devices.
  TraceDriver* Driver();
  PDRIVER_OBJECT DriverObject() const { return driver_; }
  // The log file, every address replaced by a stable name (message and
  // payload pointers by "(address)") and the build date of the banner by
  // "(build date)".
  std::string Log(const std::string& name = "pellinor.log");
  const tracetest::TempDriveC& Drive() const { return drive_; }

 private:
  tracetest::TempDriveC drive_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<emu::Image> image_;
};

// The golden file tests/data/filter/NAME (rewritten with
// PELLINOR_UPDATE_GOLDEN=1).
std::string Golden(const std::string& name, const std::string& actual);

// CAPI messages for the traffic of a simple call.
std::vector<uint8_t> Message(const std::string& hex);

}  // namespace filtertest

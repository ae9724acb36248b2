// What tracing costs the traced traffic: the same requests sent through the
// emulated stack to the simulated CAPI provider (sim/), with the trace driver
// loaded above it in four states:
//   (a) no filter: the driver loaded, no trace device;
//   (b) the filter attached, tracing off;
//   (c) tracing with the default settings (CAPI messages and functions,
//       MaxDataB3Bytes 32);
//   (d) tracing with every message and request flag on (details and all
//       requests too) and MaxDataB3Bytes 32.
// The trace device's writer thread runs throughout (c) and (d), formatting
// and writing what the requests queue.
//
//   request_path_bench [samples per state and round, default 40] [rounds, default 50]
//
// Three requests:
//   - a user-mode write of a DATA_B3_REQ with 2048 bytes of payload (the
//     confirmation and the looped-back indication it causes are read off
//     between samples, untimed);
//   - a kernel-mode CAPI_GET_MESSAGE internal I/O control that completes
//     with a DATA_B3_IND of 2048 bytes (the DATA_B3_REQ that causes it and
//     its confirmation are put and got between samples, untimed);
//   - a user-mode CAPI_GET_VERSION I/O control for controller 1.
// Each sample is one request from the application's call until it returns,
// timed by the processor time of the sending thread (the provider completes
// at once, so the whole request runs there; the writer thread and other
// work on the machine do not count), less the timer's own cost. The rounds
// cycle through the four states ((c) and (d) in turns), many short rounds
// rather than a few long ones, so that drift of a shared machine's load
// falls on all of them alike; the figure is the median of every sample of
// a state.
//
// Then the driver's own share: captureRequest and LogWriter::Queue of the
// request, and captureCompletion and Queue of its completion, called
// directly on requests built as the filter sees them, queued to the trace
// device's running writer: the part of (c) and (d) that is the tracer's
// copying and queueing, whatever the emulated I/O manager costs around it;
// and the emulated kernel's own price of the services that path calls
// (PoolAlloc above all), so that the driver's work can be told from the
// emulator's checks.
//
// The states are set on the trace device directly (StopTracing, and
// StartTracing with the settings word), as the control device's requests
// do: (d)'s TRACE_DETAILS and TRACE_ALL_REQUESTS are bits that the registry
// values cannot switch on. For these three requests, which
// TRACE_CAPI_FUNCTIONS already selects, (d) records what (c) records.
//
// The i386 build runs under qemu-i386 where the kernel cannot execute i386
// programs: those are qemu figures, which inflate computation more than
// system calls.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "tests/pipeline/TraceHarness.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "sim/CapiCodes.h"
#include "sim/CapiDevice.h"
#include "sim/KernelApplication.h"
#include "sim/MessageBuilder.h"
#include "sim/UserApplication.h"

#include "control/TraceDevice.h"
#include "control/TraceSettings.h"
#include "framework/Device.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "framework/TraceDriver.h"
#include "log/LogWriter.h"
#include "trace/CapiIoctl.h"
#include "trace/RequestCapture.h"

namespace {

constexpr uint16_t kPayload = 2048;
constexpr uint32_t kController = 1;

enum Kind { kWrite, kGetMessage, kGetVersion, kKinds };
const char* const kKindNames[kKinds] = {
    "DATA_B3_REQ write, 2048 bytes",
    "CAPI_GET_MESSAGE internal, DATA_B3_IND",
    "CAPI_GET_VERSION I/O control",
};

enum State { kPlain, kAttached, kDefault, kAllDecoding, kStates };
const char* const kStateNames[kStates] = {"(a) no filter", "(b) attached", "(c) default",
                                          "(d) all on"};

constexpr TraceSettings kDefaultSettings =
    DEFAULT_TRACE_FLAGS | (DEFAULT_MAX_DATA_B3_BYTES << 16);
constexpr TraceSettings kAllSettings =
    TRACE_CAPI_MESSAGES | TRACE_CAPI_FUNCTIONS | TRACE_DETAILS | TRACE_ALL_REQUESTS |
    (MAX_DATA_B3_BYTES_LIMIT << 16);

const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

[[noreturn]] void Fail(const std::string& what, NTSTATUS status = 0) {
  std::fprintf(stderr, "request_path_bench: %s (0x%08lX)\n", what.c_str(), ULONG(status));
  std::exit(1);
}

// Processor time of the calling thread, in nanoseconds.
int64_t ThreadNs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int64_t Median(std::vector<int64_t> samples) {
  if (samples.empty())
    return 0;
  auto middle = samples.begin() + samples.size() / 2;
  std::nth_element(samples.begin(), middle, samples.end());
  return *middle;
}

// What one ThreadNs pair costs, taken off every sample.
int64_t TimerCost() {
  std::vector<int64_t> samples;
  for (int i = 0; i < 2000; ++i) {
    int64_t start = ThreadNs();
    samples.push_back(ThreadNs() - start);
  }
  return Median(samples);
}

std::vector<uint8_t> Bytes(sim::MessageBuilder& message) {
  const uint8_t* bytes = message.Bytes();
  return std::vector<uint8_t>(bytes, bytes + message.Length());
}

// The next message, which must be `command` `subcommand`.
bool Expect(sim::CapiApplication& app, uint8_t command, uint8_t subcommand,
            sim::ReceivedMessage* message) {
  sim::RequestResult result = app.Get(message);
  return NT_SUCCESS(result.status) && message->Command() == command &&
         message->Subcommand() == subcommand;
}

// Registers, connects an outgoing call and its B3 connection; the NCCI.
uint32_t Connect(sim::CapiApplication& app) {
  if (!NT_SUCCESS(app.Open()))
    Fail("open");
  sim::RequestResult registered = app.Register(3072, 2, 7, kPayload);
  if (!NT_SUCCESS(registered.status))
    Fail("register", registered.status);
  const uint16_t id = app.ApplicationId();
  sim::ReceivedMessage message;
  sim::MessageBuilder connect(id, sim::kConnect, sim::kReq, app.NextMessageNumber());
  const uint8_t called[] = {0x80, '5', '5', '5', '1', '2', '3', '4'};
  const uint8_t calling[] = {0x00, 0x80, '5', '5', '5', '0', '0', '0', '1'};
  connect.Dword(kController).Word(2).Struct(called, sizeof called).Struct(calling, sizeof calling);
  connect.Empty().Empty();
  connect.BeginGroup().Word(1).Word(1).Word(0).Empty().Empty().Empty().EndGroup();
  connect.Empty().Empty().Empty().Empty();
  if (!NT_SUCCESS(app.Put(Bytes(connect)).status) ||
      !Expect(app, sim::kConnect, sim::kConf, &message))
    Fail("CONNECT_REQ");
  uint32_t plci = message.Address();
  if (!Expect(app, sim::kConnectActive, sim::kInd, &message))
    Fail("CONNECT_ACTIVE_IND");
  sim::MessageBuilder active(id, sim::kConnectActive, sim::kResp, message.Word(6));
  active.Dword(plci);
  if (!NT_SUCCESS(app.Put(Bytes(active)).status))
    Fail("CONNECT_ACTIVE_RESP");
  sim::MessageBuilder b3(id, sim::kConnectB3, sim::kReq, app.NextMessageNumber());
  b3.Dword(plci).Empty();
  if (!NT_SUCCESS(app.Put(Bytes(b3)).status) ||
      !Expect(app, sim::kConnectB3, sim::kConf, &message))
    Fail("CONNECT_B3_REQ");
  uint32_t ncci = message.Address();
  if (!Expect(app, sim::kConnectB3Active, sim::kInd, &message))
    Fail("CONNECT_B3_ACTIVE_IND");
  sim::MessageBuilder b3Active(id, sim::kConnectB3Active, sim::kResp, message.Word(6));
  b3Active.Dword(ncci);
  if (!NT_SUCCESS(app.Put(Bytes(b3Active)).status))
    Fail("CONNECT_B3_ACTIVE_RESP");
  app.ClearRequests();
  return ncci;
}

// A DATA_B3_REQ on `ncci` announcing kPayload bytes.
std::vector<uint8_t> DataB3Req(uint16_t application, uint32_t ncci) {
  sim::MessageBuilder data(application, sim::kDataB3, sim::kReq, 1);
  data.Dword(ncci).Dword(0).Word(kPayload).Word(1).Word(0);
  return Bytes(data);
}

std::vector<uint8_t> Payload() {
  std::vector<uint8_t> payload(kPayload);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 0x20);
  return payload;
}

// The trace device: the Device that owns the top of the provider's stack.
TraceDevice* AttachedTraceDevice(PDRIVER_OBJECT traceDriver) {
  PDEVICE_OBJECT top = emu::StackTop(sim::CapiDeviceObject());
  if (top == nullptr || top->DriverObject != traceDriver)
    Fail("the trace device is not on top of the provider");
  return static_cast<TraceDevice*>(*static_cast<Device**>(top->DeviceExtension));
}

// The samples of one state: each kind's requests, timed one by one.
class Sampler {
 public:
  explicit Sampler(int64_t timerCost) : timerCost_(timerCost), payload_(Payload()) {}

  void Run(int count, std::vector<int64_t> (&samples)[kKinds]) {
    sim::UserApplication user;
    user.SetTransport(sim::Transport::kReadWrite);
    uint32_t userNcci = Connect(user);
    sim::KernelApplication kernel;
    kernel.SetTransport(sim::Transport::kIoctl);
    uint32_t kernelNcci = Connect(kernel);

    std::vector<uint8_t> write = DataB3Req(user.ApplicationId(), userNcci);
    write.insert(write.end(), payload_.begin(), payload_.end());
    std::vector<uint8_t> kernelReq = DataB3Req(kernel.ApplicationId(), kernelNcci);
    std::vector<uint8_t> readBuffer(sim::kMaxPutMessage + kPayload + 16);

    for (int i = 0; i < count; ++i) {
      // The write; its confirmation and indication are read off afterwards.
      int64_t start = ThreadNs();
      emu::IoResult io = emu::Write(user.Handle(), write.data(), ULONG(write.size()));
      samples[kWrite].push_back(ThreadNs() - start - timerCost_);
      if (io.status != STATUS_SUCCESS || io.information != write.size())
        Fail("DATA_B3_REQ write", io.status);
      for (int answer = 0; answer < 2; ++answer) {
        io = emu::Read(user.Handle(), readBuffer.data(), ULONG(readBuffer.size()));
        if (io.status != STATUS_SUCCESS || io.information < 8)
          Fail("read after the write", io.status);
      }

      // The kernel-mode get of a DATA_B3_IND: the request that causes it
      // and its confirmation go first.
      CAPI_PARAMETER_BLOCK block = {ULONG(uintptr_t(kernelReq.data())),
                                    ULONG(uintptr_t(payload_.data()))};
      io = emu::InternalDeviceIoControl(kernel.Handle(), sim::kCapiPutMessage, &block,
                                        sizeof block, nullptr, 0);
      if (io.status != STATUS_SUCCESS)
        Fail("kernel-mode put", io.status);
      block = {0, 0};
      io = emu::InternalDeviceIoControl(kernel.Handle(), sim::kCapiGetMessage, &block,
                                        sizeof block, nullptr, 0);
      if (io.status != STATUS_SUCCESS || block.message == 0)
        Fail("kernel-mode get of the confirmation", io.status);
      block = {0, 0};
      start = ThreadNs();
      io = emu::InternalDeviceIoControl(kernel.Handle(), sim::kCapiGetMessage, &block,
                                        sizeof block, nullptr, 0);
      samples[kGetMessage].push_back(ThreadNs() - start - timerCost_);
      const uint8_t* got = reinterpret_cast<const uint8_t*>(uintptr_t(block.message));
      if (io.status != STATUS_SUCCESS || got == nullptr || got[4] != sim::kDataB3 ||
          got[5] != sim::kInd || block.b3Data == 0)
        Fail("kernel-mode get of the DATA_B3_IND", io.status);

      // The version.
      uint32_t controller = kController;
      uint8_t version[sim::kVersionBytes];
      start = ThreadNs();
      io = emu::DeviceIoControl(user.Handle(), sim::kCapiGetVersion, &controller,
                                sizeof controller, version, sizeof version);
      samples[kGetVersion].push_back(ThreadNs() - start - timerCost_);
      if (io.status != STATUS_SUCCESS || io.information != sizeof version)
        Fail("CAPI_GET_VERSION", io.status);
    }
    if (!NT_SUCCESS(user.Release().status) || !NT_SUCCESS(kernel.Release().status))
      Fail("release");
    user.Close();
    kernel.Close();
  }

 private:
  int64_t timerCost_;
  std::vector<uint8_t> payload_;
};

// Requests built as the trace device sees them on the way down and at
// completion, for timing the capture and the queueing alone.
class BuiltRequest {
 public:
  explicit BuiltRequest(Kind kind) : irp_(IoAllocateIrp(1, FALSE)) {
    if (irp_ == nullptr)
      Fail("IoAllocateIrp");
    IoSetNextIrpStackLocation(irp_);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp_);
    std::vector<uint8_t> payload = Payload();
    switch (kind) {
      case kWrite:
        data_ = DataB3Req(1, 0x00010101);
        data_.insert(data_.end(), payload.begin(), payload.end());
        stack->MajorFunction = IRP_MJ_WRITE;
        stack->Parameters.Write.Length = ULONG(data_.size());
        irp_->AssociatedIrp.SystemBuffer = data_.data();
        irp_->RequestorMode = UserMode;
        irp_->IoStatus.Information = data_.size();
        break;
      case kGetMessage: {
        sim::MessageBuilder ind(1, sim::kDataB3, sim::kInd, 1);
        ind.Dword(0x00010101).Dword(0).Word(kPayload).Word(1).Word(0);
        data_ = Bytes(ind);
        payload_ = payload;
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = CAPI_GET_MESSAGE;
        stack->Parameters.DeviceIoControl.InputBufferLength = sizeof block_;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = &block_;
        irp_->RequestorMode = KernelMode;
        break;
      }
      case kGetVersion:
        data_.assign(sim::kVersionBytes, 0);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = CAPI_GET_VERSION;
        stack->Parameters.DeviceIoControl.InputBufferLength = 4;
        stack->Parameters.DeviceIoControl.OutputBufferLength = sim::kVersionBytes;
        irp_->AssociatedIrp.SystemBuffer = data_.data();
        irp_->RequestorMode = UserMode;
        irp_->IoStatus.Information = sim::kVersionBytes;
        break;
      default:
        break;
    }
    kind_ = kind;
  }
  ~BuiltRequest() { IoFreeIrp(irp_); }
  BuiltRequest(const BuiltRequest&) = delete;
  BuiltRequest& operator=(const BuiltRequest&) = delete;

  // As the request goes down: the input as the caller gave it.
  PIRP Down() {
    irp_->IoStatus.Status = STATUS_PENDING;
    block_ = {0, 0};
    if (kind_ == kGetVersion) {
      data_.assign(sim::kVersionBytes, 0);
      data_[0] = kController;
    }
    return irp_;
  }
  // As it completes: the provider's answer in place.
  PIRP Up() {
    irp_->IoStatus.Status = STATUS_SUCCESS;
    if (kind_ == kGetMessage)
      block_ = {ULONG(uintptr_t(data_.data())), ULONG(uintptr_t(payload_.data()))};
    if (kind_ == kGetVersion) {
      const uint8_t version[] = {2, 0, 0, 0, 3, 0, 11, 0};
      std::memcpy(data_.data(), version, sizeof version);
    }
    return irp_;
  }

 private:
  PIRP irp_;
  Kind kind_;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> payload_;
  CAPI_PARAMETER_BLOCK block_ = {0, 0};
};

// The medians, in ns, of the driver's own work for one request and its
// completion: captureRequest + Queue and captureCompletion + Queue
// (`whole`), and of the two captures alone and the two queueings alone,
// into the running writer.
struct Share {
  int64_t whole, capture, queue;
  double allocations;  // pool blocks the two captures allocate
  int64_t allocation;  // one PoolAlloc of 64 bytes, taken among the captures
};

Share DriverShare(Kind kind, TraceSettings settings, LogWriter* writer, int count,
                  int64_t timerCost) {
  BuiltRequest request(kind);
  std::vector<int64_t> whole, capture, queue, allocation;
  size_t allocationsBefore = emu::Pool::Report(POOL_TAG).allocations;
  for (int i = 0; i < count; ++i) {
    // The pool's price as the captures meet it (the writer busy alongside).
    int64_t start0 = ThreadNs();
    PVOID block = PoolAlloc(64, NonPagedPool);
    allocation.push_back(ThreadNs() - start0 - timerCost);
    PoolFree(block);
    PIRP down = request.Down();
    int64_t start = ThreadNs();
    TraceRecord* record = captureRequest(down, settings);
    int64_t captured = ThreadNs();
    if (record != nullptr)
      writer->Queue(record);
    int64_t queued = ThreadNs();
    PIRP up = request.Up();
    int64_t start2 = ThreadNs();
    record = captureCompletion(up, settings);
    int64_t captured2 = ThreadNs();
    if (record != nullptr)
      writer->Queue(record);
    int64_t queued2 = ThreadNs();
    // Four timer readings in each pair of pieces: one timer cost a piece.
    capture.push_back(captured - start + captured2 - start2 - 2 * timerCost);
    queue.push_back(queued - captured + queued2 - captured2 - 2 * timerCost);
    whole.push_back(queued - start + queued2 - start2 - 3 * timerCost);
  }
  // Less the probe's own allocation.
  double allocations =
      double(emu::Pool::Report(POOL_TAG).allocations - allocationsBefore) / double(count) - 1;
  return Share{Median(whole), Median(capture), Median(queue), allocations, Median(allocation)};
}

// The emulated kernel's own price for the services the request path uses,
// ns per call pair (median), so that its share can be told from the
// driver's.
struct ServiceCost {
  const char* name;
  int64_t ns;
};

template <typename F>
int64_t Price(F call, int64_t timerCost) {
  std::vector<int64_t> samples;
  for (int i = 0; i < 2000; ++i) {
    int64_t start = ThreadNs();
    call();
    samples.push_back(ThreadNs() - start - timerCost);
  }
  return Median(samples);
}

std::vector<ServiceCost> ServiceCosts(int64_t timerCost) {
  std::vector<ServiceCost> costs;
  // Allocations and frees apart: records are allocated on the request
  // path and freed by the writer. A small block, and one that holds a
  // written DATA_B3_REQ with its 2048 bytes.
  for (SIZE_T size : {SIZE_T(64), SIZE_T(2070)}) {
    std::vector<int64_t> allocate, free;
    for (int i = 0; i < 2000; ++i) {
      int64_t start = ThreadNs();
      PVOID block = PoolAlloc(size, NonPagedPool);
      int64_t allocated = ThreadNs();
      PoolFree(block);
      int64_t freed = ThreadNs();
      allocate.push_back(allocated - start - timerCost);
      free.push_back(freed - allocated - timerCost);
    }
    costs.push_back({size == 64 ? "PoolAlloc, 64 bytes" : "PoolAlloc, 2070 bytes", Median(allocate)});
    costs.push_back({size == 64 ? "PoolFree, 64 bytes" : "PoolFree, 2070 bytes", Median(free)});
  }
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  costs.push_back({"KfAcquireSpinLock + KfReleaseSpinLock", Price([] {
                     KIRQL irql = KfAcquireSpinLock(&lock);
                     KfReleaseSpinLock(&lock, irql);
                   }, timerCost)});
  static KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 0, 0x7FFFFFFF);
  costs.push_back({"KeReleaseSemaphore (nobody waiting)",
                   Price([] { KeReleaseSemaphore(&semaphore, 0, 1, FALSE); }, timerCost)});
  costs.push_back({"KeQuerySystemTime", Price([] {
                     LARGE_INTEGER now;
                     KeQuerySystemTime(&now);
                   }, timerCost)});
  costs.push_back({"IoAllocateIrp(2) + IoFreeIrp", Price([] { IoFreeIrp(IoAllocateIrp(2, FALSE)); }, timerCost)});
  return costs;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 40;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  if (count <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: request_path_bench [samples per state and round] [rounds]\n");
    return 2;
  }
  tracetest::TempDriveC drive;
  emu::Registry::Clear();
  emu::Registry::SetDword(kServiceKey, u"Start", 3);
  emu::Registry::SetString(kServiceKey, u"Pellinor_Log", u"C:\\pellinor.log");

  NTSTATUS status = sim::LoadCapiDevice();
  if (!NT_SUCCESS(status))
    Fail("the CAPI device does not load", status);
  PDRIVER_OBJECT traceDriverObject = nullptr;
  status = emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &traceDriverObject);
  if (!NT_SUCCESS(status))
    Fail("the trace driver does not load", status);
  auto* driver = static_cast<TraceDriver*>(theDriver);

  int64_t timerCost = TimerCost();
  Sampler sampler(timerCost);
  std::vector<int64_t> samples[kStates][kKinds];
  for (int round = 0; round < rounds; ++round) {
    sampler.Run(count, samples[kPlain]);
    status = driver->CreateTraceDevice();
    if (!NT_SUCCESS(status))
      Fail("CreateTraceDevice", status);
    TraceDevice* device = AttachedTraceDevice(traceDriverObject);
    device->StopTracing();
    sampler.Run(count, samples[kAttached]);
    // (c) and (d) take turns to go first: the writer still busy with the
    // records of the one before falls on both alike.
    for (int turn = 0; turn < 2; ++turn) {
      State state = (turn + round) % 2 == 0 ? kDefault : kAllDecoding;
      if (!NT_SUCCESS(device->StartTracing(state == kDefault ? kDefaultSettings : kAllSettings)))
        Fail("StartTracing");
      sampler.Run(count, samples[state]);
    }
    status = driver->StopTraceDevice(1);
    if (!NT_SUCCESS(status))
      Fail("StopTraceDevice", status);
  }

  // The driver's own share, into a running writer.
  Share share[kStates][kKinds] = {};
  status = driver->CreateTraceDevice();
  if (!NT_SUCCESS(status))
    Fail("CreateTraceDevice", status);
  TraceDevice* device = AttachedTraceDevice(traceDriverObject);
  int shareCount = count * rounds;
  for (int kind = 0; kind < kKinds; ++kind) {
    share[kDefault][kind] =
        DriverShare(Kind(kind), kDefaultSettings, device->Writer(), shareCount, timerCost);
    share[kAllDecoding][kind] =
        DriverShare(Kind(kind), kAllSettings, device->Writer(), shareCount, timerCost);
  }
  status = driver->StopTraceDevice(1);
  if (!NT_SUCCESS(status))
    Fail("StopTraceDevice", status);
  // With the writer gone: the prices alone.
  std::vector<ServiceCost> services = ServiceCosts(timerCost);
  size_t logBytes = drive.Read("pellinor.log").size();
  status = emu::UnloadDriver(traceDriverObject);
  if (!NT_SUCCESS(status))
    Fail("the trace driver does not unload", status);
  status = sim::UnloadCapiDevice();
  if (!NT_SUCCESS(status))
    Fail("the CAPI device does not unload", status);

  int64_t median[kStates][kKinds];
  for (int state = 0; state < kStates; ++state)
    for (int kind = 0; kind < kKinds; ++kind) median[state][kind] = Median(samples[state][kind]);

  std::printf("Request path through the emulated stack to the simulated CAPI provider\n");
  std::printf("ns per request: median of %d samples a state (%d rounds of %d), processor time\n",
              count * rounds, rounds, count);
  std::printf("of the sending thread, less the timer's %lld ns; i386 build (qemu-i386 figures\n",
              static_cast<long long>(timerCost));
  std::printf("where the kernel cannot run i386 programs)\n\n");
  std::printf("%-40s %9s %9s %9s %9s %7s %7s %7s\n", "request", "(a)", "(b)", "(c)", "(d)",
              "(b)/(a)", "(c)/(a)", "(d)/(a)");
  for (int kind = 0; kind < kKinds; ++kind) {
    double plain = double(median[kPlain][kind]);
    std::printf("%-40s %9lld %9lld %9lld %9lld %7.2f %7.2f %7.2f\n", kKindNames[kind],
                static_cast<long long>(median[kPlain][kind]),
                static_cast<long long>(median[kAttached][kind]),
                static_cast<long long>(median[kDefault][kind]),
                static_cast<long long>(median[kAllDecoding][kind]), median[kAttached][kind] / plain,
                median[kDefault][kind] / plain, median[kAllDecoding][kind] / plain);
  }
  std::printf("(a) no filter  (b) filter attached, tracing off  (c) default settings  "
              "(d) all flags, MaxDataB3Bytes 32\n");
  std::printf("targets: (b)/(a) <= 1.10; (c)/(a) <= 2.0 for the DATA_B3 write\n\n");

  std::printf("Driver's own share: captureRequest + Queue and captureCompletion + Queue of one\n");
  std::printf("request, into the running writer (median of %d, ns)\n", shareCount);
  // How much of the captures the emulated pool's allocations are.
  std::printf("%-40s %7s %7s %7s %7s %7s %7s %7s %7s\n", "request", "(c)", "capture", "blocks",
              "pool", "queue", "(d)", "(c)-(a)", "(d)-(a)");
  for (int kind = 0; kind < kKinds; ++kind) {
    std::printf("%-40s %7lld %7lld %7.1f %7lld %7lld %7lld %7lld %7lld\n", kKindNames[kind],
                static_cast<long long>(share[kDefault][kind].whole),
                static_cast<long long>(share[kDefault][kind].capture),
                share[kDefault][kind].allocations,
                static_cast<long long>(share[kDefault][kind].allocations *
                                       double(share[kDefault][kind].allocation)),
                static_cast<long long>(share[kDefault][kind].queue),
                static_cast<long long>(share[kAllDecoding][kind].whole),
                static_cast<long long>(median[kDefault][kind] - median[kPlain][kind]),
                static_cast<long long>(median[kAllDecoding][kind] - median[kPlain][kind]));
  }
  std::printf("capture, queue: the two captures alone and the two Queue calls alone, under (c);\n");
  std::printf("blocks: pool blocks the two captures allocate; pool: that many PoolAlloc calls\n");
  std::printf("at the price met among the captures (%lld ns under (c)): the emulated pool's part\n",
              static_cast<long long>(share[kDefault][kWrite].allocation));
  std::printf("of the capture, an estimate (the rest: selection, copying, clock)\n");
  std::printf("(c)-(a), (d)-(a): what tracing added to the whole request, for comparison\n");
  std::printf("\nThe emulated kernel's price of the services on that path (ns a call, median;\n");
  std::printf("no writer running)\n");
  for (const ServiceCost& cost : services)
    std::printf("%-40s %9lld\n", cost.name, static_cast<long long>(cost.ns));
  std::printf("\nlog written: %zu bytes\n", logBytes);
  return 0;
}

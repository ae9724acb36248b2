// A burst of requests through a traced stack: real IRPs built by the
// emulated I/O manager, captured on their way down to a CAPI-like lower
// device and at completion, and handed to a real LogWriter. Each write puts
// a DATA_B3_REQ, each read gets a DATA_B3_IND, both with 2048 bytes of
// payload behind the message. The writer is held while the burst is sent
// (the emulated file system cannot be slowed, so the capture results wait
// in front of Submit) and then gets them all at once: the whole burst is
// queued at the peak.
//
// Checked: the pool the trace records hold at the peak against what they
// copied; that every byte of it comes back once the writer has drained the
// queue, and nothing at all once the writer is gone; that every record is
// in the log, whole and in order; and, with allocations of records failing
// during a stretch of the burst, that the log tells exactly the records
// that could not be built, in front of the record that follows them, with
// the records around each gap whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "emu/Clock.h"
#include "framework/SystemRoutines.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "tests/emu/IoTestDriver.h"
#include "tests/pipeline/TraceHarness.h"

#include <ntddk.h>

#include "log/LogWriter.h"
#include "trace/RequestCapture.h"
#include "trace/TraceRecord.h"

namespace reliability {
namespace {

constexpr uint32_t kTraceTag = emu::MakePoolTag("NRXc");

// AddressSanitizer makes each request two to three times as expensive
// (20,000 requests took 8.6 s under qemu-i386), and its redzones and
// quarantine on top of a whole burst held at once exhaust the 32-bit
// address space under qemu-i386 at 40,000: the burst is scaled down there.
#if defined(__SANITIZE_ADDRESS__)
#define BURST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BURST_UNDER_ASAN 1
#endif
#endif
#if defined(BURST_UNDER_ASAN)
constexpr uint32_t kRequests = 20000;
#else
constexpr uint32_t kRequests = 100000;
#endif
constexpr uint16_t kPayload = 2048;
constexpr uint32_t kMessageLength = 22;
constexpr uint32_t kTransfer = kMessageLength + kPayload;
// The settings of the stack: messages and functions, 32 payload bytes.
constexpr TraceSettings kSettings = 0x00200003;
constexpr uint32_t kShownPayload = 32;
// What a queued record may hold of the pool beyond the bytes it copied.
constexpr size_t kPoolPerRecord = 96;
// Requests during which record allocations fail, and how.
constexpr uint32_t kFaultStart = kRequests / 2;
constexpr uint32_t kFaultRequests = 600;
// LossOf repeats every 8 requests: the stretch starts and ends in step, so
// that its last request loses nothing and no count is left to tell after it.
static_assert(kFaultStart % 8 == 0 && kFaultRequests % 8 == 0, "faults in whole periods");

// Request i: even ones write a DATA_B3_REQ, odd ones read a DATA_B3_IND.
bool IsWrite(uint32_t i) {
  return i % 2 == 0;
}

uint16_t Number(uint32_t i) {
  return uint16_t(i);
}

uint16_t Handle(uint32_t i) {
  return uint16_t(i >> 16);
}

// Letters, shifted by the request, so that each record's dump is its own.
char PayloadByte(uint32_t i, uint32_t k) {
  return char('A' + (i + k) % 26);
}

// The message and its payload as request i carries it, in `bytes`.
void BuildTransfer(uint32_t i, std::vector<uint8_t>* bytes) {
  static const std::vector<uint8_t> req = tracetest::DataB3(0x80, kPayload);
  static const std::vector<uint8_t> ind = tracetest::DataB3(0x82, kPayload);
  std::vector<uint8_t> message = IsWrite(i) ? req : ind;
  tracetest::PutWord(message, 2, 1);
  tracetest::PutWord(message, 6, Number(i));
  tracetest::PutDword(&message[8], 0x00010101);
  tracetest::PutWord(message, 18, Handle(i));
  bytes->resize(kTransfer);
  std::memcpy(bytes->data(), message.data(), kMessageLength);
  for (uint32_t k = 0; k < kPayload; ++k) (*bytes)[kMessageLength + k] = uint8_t(PayloadByte(i, k));
}

// How a request's records fare while allocations fail.
enum class Loss { kNone, kRequest, kCompletion, kBoth };

Loss LossOf(uint32_t i) {
  if (i < kFaultStart || i >= kFaultStart + kFaultRequests) return Loss::kNone;
  switch (i % 8) {
    case 1:
      return Loss::kRequest;
    case 4:
      return Loss::kCompletion;
    case 6:
      return Loss::kBoth;
    default:
      return Loss::kNone;
  }
}

// The pool allocations of request i in the order the captures make them,
// '.' for one that succeeds and 'x' for one that fails: the request record
// (and a write's message), then the completion record (and a read's
// message). A record that cannot be built copies nothing.
std::string AllocationPattern(uint32_t i) {
  Loss loss = LossOf(i);
  bool request = loss == Loss::kRequest || loss == Loss::kBoth;
  bool completion = loss == Loss::kCompletion || loss == Loss::kBoth;
  std::string pattern;
  pattern += request ? "x" : (IsWrite(i) ? ".." : ".");
  pattern += completion ? "x" : (IsWrite(i) ? "." : "..");
  return pattern;
}

// ---- The expected text ----------------------------------------------------

const char kStamp[] = "14:03:07.123 Sun, Jan 05 2003";

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

// "41 42 43 44 45 46 47 48 - 49 4A 4B 4C 4D 4E 4F 50   ABCDEFGHIJKLMNOP" for
// 16 printable bytes.
std::string DumpLine(uint32_t i, uint32_t first) {
  std::string line;
  for (uint32_t k = 0; k < 16; ++k) {
    if (k == 8) line += "- ";
    line += Printf("%02X ", unsigned(uint8_t(PayloadByte(i, first + k))));
  }
  line += "  ";
  for (uint32_t k = 0; k < 16; ++k) line += PayloadByte(i, first + k);
  return line + "\r\n";
}

// '@' stands for an address: eight upper-case hexadecimal digits.
std::string Summary(uint32_t i, bool completion) {
  const char* name = IsWrite(i) ? "CAPI_PUT_MESSAGE" : "CAPI_GET_MESSAGE";
  const char* major = IsWrite(i) ? "MJ_WRITE" : "MJ_READ";
  std::string line = completion ? Printf("COMPLETION %s (", name) : Printf("%s            (", name);
  return line + Printf("%s (UserMode, FileObj @, Irp @))\r\n", major);
}

// The decoded message with its payload dump. The record texts are made
// 200,000 times: what does not depend on the request is made once.
std::string Message(uint32_t i) {
  static const std::string constant =
      "  Controller/PLCI/NCCI            = 0x00010101\r\n"
      "  Data                            = 0x00000000\r\n" +
      Printf("  DataLength                      = 0x%04x\r\n", unsigned(kPayload));
  static const std::vector<std::string> dumps = [] {
    std::vector<std::string> texts;
    for (uint32_t shift = 0; shift < 26; ++shift) {
      std::string text;
      for (uint32_t first = 0; first < kShownPayload; first += 16) text += DumpLine(shift, first);
      texts.push_back(text);
    }
    return texts;
  }();
  std::string text = Printf("%-26s  %4u Byte  ApplID:%2u   MsgNr: %u\r\n",
                            IsWrite(i) ? "DATA_B3_REQ" : "DATA_B3_IND", kMessageLength, 1u,
                            unsigned(Number(i)));
  text += constant;
  text += Printf("  DataHandle                      = 0x%04x\r\n", unsigned(Handle(i)));
  text += "  Flags                           = 0x0000\r\n";
  return text + dumps[i % 26];
}

// Request i's record on the way down or at completion.
std::string RecordText(uint32_t i, bool completion) {
  // By write (0) or read (1), request or completion (+2).
  static const std::vector<std::string> heads = [] {
    std::vector<std::string> texts;
    for (uint32_t kind = 0; kind < 4; ++kind) {
      uint32_t i = kind & 1;
      bool completion = kind >= 2;
      std::string text = std::string("\r\n\r\n") + kStamp + "\r\n" + Summary(i, completion);
      if (completion) {
        text += Printf("    0x0000 (0x00000000: STATUS_SUCCESS, Information: %u (0x%X))\r\n",
                       kTransfer, kTransfer);
      } else {
        text += Printf("    %sBufferLength: %u (0x%X)\r\n", IsWrite(i) ? "Write" : "Read",
                       kTransfer, kTransfer);
      }
      texts.push_back(text);
    }
    return texts;
  }();
  std::string text = heads[(i & 1) + (completion ? 2 : 0)];
  // A write's message goes down with it, a read's comes up at completion.
  if (IsWrite(i) != completion) text += Message(i);
  return text;
}

std::string LostText(uint32_t lost) {
  return std::string("\r\n") + kStamp + "\r\n" + Printf("*** %u trace records lost ***\r\n", lost);
}

// Walks the log, matching one expected text after the other; '@' in an
// expected text matches an address, which is handed back.
class LogWalker {
 public:
  explicit LogWalker(const std::string& log) : log_(log) {}

  bool Match(const std::string& expected, std::vector<std::string>* addresses) {
    size_t at = at_;
    addresses->clear();
    for (char c : expected) {
      if (c == '@') {
        if (log_.size() - at < 8) return false;
        for (size_t k = 0; k < 8; ++k) {
          char d = log_[at + k];
          if (!((d >= '0' && d <= '9') || (d >= 'A' && d <= 'F'))) return false;
        }
        addresses->push_back(log_.substr(at, 8));
        at += 8;
        continue;
      }
      if (at >= log_.size() || log_[at] != c) return false;
      ++at;
    }
    at_ = at;
    return true;
  }

  bool AtEnd() const { return at_ == log_.size(); }
  // A few lines of the log from where the walk stands, for a message.
  std::string Here() const { return log_.substr(at_, 400); }

 private:
  const std::string& log_;
  size_t at_ = 0;
};

// ---- The burst ------------------------------------------------------------

// A CAPI-like lower device and above it a filter that captures each read
// and write on its way down and at completion, as the trace device does,
// and hands what the capture returned (null for a record that could not be
// allocated) to the log writer's Submit. While the gate is closed the
// results wait, in order, in front of Submit: the writer is held, as a
// writer behind a slow disk is, while the requests go on; opening the gate
// queues them all at once.
class BurstStack {
 public:
  BurstStack() : driver_("BurstTest") {
    SystemRoutines::Resolve();  // as the trace driver's entry does
    lower_ = driver_.CreateDevice(u"BurstCapi", DO_BUFFERED_IO,
                                  [this](PDEVICE_OBJECT, PIRP irp) { return Answer(irp); });
    filter_ =
        driver_.CreateDevice(u"", DO_BUFFERED_IO, [this](PDEVICE_OBJECT, PIRP irp) { return Filter(irp); });
    below_ = driver_.Attach(filter_, lower_);
  }
  ~BurstStack() {
    if (handle_ != nullptr) emu::Close(handle_);
    delete writer_;
  }
  BurstStack(const BurstStack&) = delete;
  BurstStack& operator=(const BurstStack&) = delete;

  NTSTATUS StartWriter(const wchar_t* log) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    writer_ = new LogWriter(&status, log);
    return status;
  }
  // Drains the queue and closes the log.
  void StopWriter() {
    delete writer_;
    writer_ = nullptr;
  }
  HANDLE Open() {
    if (!NT_SUCCESS(emu::Open(u"\\Device\\BurstCapi", UserMode, &handle_))) std::abort();
    return handle_;
  }
  // What a read gets: the message and payload of the request being sent.
  void SetTransfer(const std::vector<uint8_t>* transfer) { transfer_ = transfer; }

  void CloseGate() { closed_ = true; }
  // Submits everything held, in order, as fast as Submit goes.
  void OpenGate() {
    closed_ = false;
    for (TraceRecord* record : held_) writer_->Submit(record);
    held_.clear();
    held_.shrink_to_fit();
  }

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    static_cast<BurstStack*>(context)->Deliver(captureCompletion(irp, kSettings));
    return STATUS_SUCCESS;
  }

  void Deliver(TraceRecord* record) {
    if (closed_) {
      held_.push_back(record);
      return;
    }
    writer_->Submit(record);
  }

  NTSTATUS Filter(PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major != IRP_MJ_READ && major != IRP_MJ_WRITE) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(below_, irp);
    }
    Deliver(captureRequest(irp, kSettings));
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &BurstStack::Completed, this, TRUE, TRUE, TRUE);
    return IoCallDriver(below_, irp);
  }

  NTSTATUS Answer(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_WRITE) {
      irp->IoStatus.Information = stack->Parameters.Write.Length;
    } else if (stack->MajorFunction == IRP_MJ_READ && transfer_ != nullptr) {
      ULONG n = std::min<ULONG>(ULONG(transfer_->size()), stack->Parameters.Read.Length);
      std::memcpy(irp->AssociatedIrp.SystemBuffer, transfer_->data(), n);
      irp->IoStatus.Information = n;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  iotest::TestDriver driver_;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  PDEVICE_OBJECT below_ = nullptr;
  HANDLE handle_ = nullptr;
  LogWriter* writer_ = nullptr;
  const std::vector<uint8_t>* transfer_ = nullptr;
  bool closed_ = false;
  std::vector<TraceRecord*> held_;
};

struct Figures {
  size_t records = 0;       // records built
  size_t lost = 0;          // records that could not be built
  size_t traffic = 0;       // bytes the requests carried
  size_t copied = 0;        // bytes the records copied
  size_t idle = 0;          // the driver's pool with the writer idle
  size_t peak = 0;          // the driver's pool at the peak
  size_t peakBlocks = 0;
  double sendSeconds = 0;   // sending the burst
  double drainSeconds = 0;  // from opening the gate until the writer has drained
};

// The driver's pool once the writer has written and freed every queued
// record; false if it has not come back to `target` within the limit.
bool WaitForPool(size_t target, std::chrono::seconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (emu::Pool::Report(kTraceTag).chargedBytes != target) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sends the burst with the writer held, then lets the writer drain it.
Figures SendBurst(BurstStack& stack) {
  Figures figures;
  EXPECT_EQ(stack.StartWriter(L"C:\\burst.log"), STATUS_SUCCESS);
  HANDLE handle = stack.Open();
  // The writer with an empty queue: its thread, buffers and file.
  figures.idle = emu::Pool::Report(kTraceTag).chargedBytes;
  emu::Pool::ResetPeaks();
  size_t injectedBefore = emu::Pool::Report(kTraceTag).injectedFailures;

  std::vector<uint8_t> transfer;
  std::vector<uint8_t> buffer(kTransfer + 16);
  stack.SetTransfer(&transfer);
  stack.CloseGate();
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < kRequests; ++i) {
    if (i == kFaultStart) {
      std::string pattern;
      for (uint32_t j = kFaultStart; j < kFaultStart + kFaultRequests; ++j)
        pattern += AllocationPattern(j);
      emu::PoolFault fault;
      fault.mode = emu::PoolFault::kPattern;
      fault.pattern = pattern;
      fault.tag = kTraceTag;
      emu::Pool::InjectFault(fault);
    }
    if (i == kFaultStart + kFaultRequests) emu::Pool::ClearFaults();
    BuildTransfer(i, &transfer);
    emu::IoResult result = IsWrite(i) ? emu::Write(handle, transfer.data(), kTransfer)
                                      : emu::Read(handle, buffer.data(), kTransfer);
    // The traffic passes unchanged whatever becomes of its records.
    if (result.status != STATUS_SUCCESS || result.information != kTransfer) {
      ADD_FAILURE() << "request " << i << ": status 0x" << std::hex << result.status
                    << ", information " << std::dec << result.information;
      break;
    }
    if (!IsWrite(i) && std::memcmp(buffer.data(), transfer.data(), kTransfer) != 0) {
      ADD_FAILURE() << "request " << i << ": the read's data changed on its way up";
      break;
    }
    figures.traffic += kTransfer;
    Loss loss = LossOf(i);
    size_t lost = loss == Loss::kBoth ? 2 : loss == Loss::kNone ? 0 : 1;
    figures.records += 2 - lost;
    figures.lost += lost;
    bool messageKept = IsWrite(i) ? (loss != Loss::kRequest && loss != Loss::kBoth)
                                  : (loss != Loss::kCompletion && loss != Loss::kBoth);
    if (messageKept) figures.copied += kMessageLength + kShownPayload;
  }
  emu::Pool::ClearFaults();
  figures.sendSeconds = SecondsSince(start);
  EXPECT_EQ(emu::Pool::Report(kTraceTag).injectedFailures - injectedBefore, figures.lost);

  start = std::chrono::steady_clock::now();
  stack.OpenGate();
  // Every block of a record comes back once the writer has drained.
  EXPECT_TRUE(WaitForPool(figures.idle, std::chrono::seconds(600)))
      << "the trace driver holds " << emu::Pool::Report(kTraceTag).chargedBytes
      << " bytes of pool after the drain, " << figures.idle << " before the burst";
  figures.drainSeconds = SecondsSince(start);
  emu::PoolTagReport report = emu::Pool::Report(kTraceTag);
  figures.peak = report.peakChargedBytes;
  figures.peakBlocks = report.peakBlocks;
  stack.StopWriter();
  // Nothing of the trace side is left once the writer is gone.
  EXPECT_EQ(emu::Pool::Report(kTraceTag).blocks, 0u) << emu::Pool::DescribeBlocks(kTraceTag);
  return figures;
}

// The log against the burst: every record whole and in order, each stretch
// of lost records told in front of the record that follows it.
void CheckLog(const std::string& log) {
  LogWalker walker(log);
  std::vector<std::string> addresses;
  std::string fileObject;
  uint32_t lost = 0;
  uint32_t told = 0;
  auto expect = [&](uint32_t i, bool completion, std::string* irp) {
    if (lost != 0) {
      ASSERT_TRUE(walker.Match(LostText(lost), &addresses))
          << "request " << i << ": " << lost << " lost records not told in front of it:\n"
          << walker.Here();
      told += lost;
      lost = 0;
    }
    ASSERT_TRUE(walker.Match(RecordText(i, completion), &addresses))
        << "request " << i << (completion ? " (completion)" : "")
        << " is not whole or not in order:\n"
        << walker.Here() << "\nexpected:\n"
        << RecordText(i, completion);
    if (fileObject.empty()) fileObject = addresses[0];
    ASSERT_EQ(addresses[0], fileObject) << "request " << i;
    if (!irp->empty()) ASSERT_EQ(addresses[1], *irp) << "request " << i << ": completion";
    *irp = addresses[1];
  };
  for (uint32_t i = 0; i < kRequests; ++i) {
    Loss loss = LossOf(i);
    std::string irp;
    if (loss == Loss::kRequest || loss == Loss::kBoth) {
      ++lost;
    } else {
      expect(i, false, &irp);
      if (::testing::Test::HasFatalFailure()) return;
    }
    if (loss == Loss::kCompletion || loss == Loss::kBoth) {
      ++lost;
    } else {
      expect(i, true, &irp);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(lost, 0u) << "the burst ends with records lost";
  EXPECT_GT(told, 0u);
  EXPECT_TRUE(walker.AtEnd()) << "more in the log than the burst:\n" << walker.Here();
}

TEST(Burst, RecordsOfABurstReachTheLogWholeAndInOrderAndThePoolComesBack) {
  tracetest::TempDriveC drive;
  emu::Clock::Fix(tracetest::GoldenTime());
  Figures f;
  {
    BurstStack stack;
    f = SendBurst(stack);
  }
  emu::Clock::Release();
  size_t held = f.peak - f.idle;
  std::printf("burst: %u requests (writes of DATA_B3_REQ, reads of DATA_B3_IND, %u payload bytes "
              "each) sent in %.1f s with the writer held, drained in %.1f s\n",
              kRequests, unsigned(kPayload), f.sendSeconds, f.drainSeconds);
  std::printf("  records: %zu queued, %zu lost to %u requests of allocation faults\n", f.records,
              f.lost, kFaultRequests);
  std::printf("  traffic %zu bytes; copied into records %zu bytes\n", f.traffic, f.copied);
  std::printf("  peak pool %zu bytes over the idle %zu (%zu blocks): %.2f x copied, %.1f per "
              "record beyond its copy, %.4f x traffic\n",
              held, f.idle, f.peakBlocks, double(held) / double(f.copied),
              double(held - f.copied) / double(f.records), double(held) / double(f.traffic));
  std::fflush(stdout);
  // The records held at the peak: each its copy and at most kPoolPerRecord
  // besides. A capture that copied a whole 2048-byte payload, or a record
  // grown past its budget, breaks this.
  EXPECT_LE(held, f.copied + kPoolPerRecord * f.records);
  // All of them were held at once.
  EXPECT_GE(f.peakBlocks, f.records);
  CheckLog(drive.Read("burst.log"));
}

}  // namespace
}  // namespace reliability

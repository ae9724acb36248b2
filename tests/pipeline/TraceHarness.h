// A traced device stack for the tests of trace records and the log
// pipeline: a CAPI-like lower device whose answers each test scripts, and
// above it a capture filter that records every read, write and I/O control
// on the way down and its completion on the way up, as the trace device
// does, queueing the records on a real LogWriter that writes to a file on
// the emulated drive C. Records are thus captured from real IRPs built by
// the emulated I/O manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/Clock.h"
#include "emu/Files.h"
#include "emu/Io.h"
#include "tests/emu/IoTestDriver.h"

#include <ntddk.h>

#include "control/TraceSettings.h"
#include "log/LogWriter.h"
#include "trace/RequestCapture.h"
#include "trace/TraceRecord.h"

namespace tracetest {

// 5 January 2003, 14:03:07.123 UTC, a Sunday.
emu::SystemTime GoldenTime();

// A fresh host folder for drive C (removed by the destructor).
class TempDriveC {
 public:
  TempDriveC();
  ~TempDriveC();
  const std::string& Path() const { return path_; }
  std::string Read(const std::string& name) const;
  void Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
  std::string previous_;
};

// The text of `text` with every address the trace prints replaced by a
// stable name, so that logs with real addresses compare whole: file objects
// and message pointers by order of first appearance (ADDR1, ADDR2, ...),
// request addresses per request (IRP1, IRP2, ...; a completion takes its
// request's name), null as 00000000.
std::string NormaliseAddresses(const std::string& text);

// The golden file tests/data/trace/NAME; with PELLINOR_UPDATE_GOLDEN=1 in
// the environment the actual text is written there instead.
std::string Golden(const std::string& name, const std::string& actual);

// The lower device's answer to one request: the status and information to
// complete it with; it may also fill the output buffer. `pend` completes it
// later from another thread instead of in the call.
using Responder = std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION stack)>;

// Where the lower device completes the requests it answers at once: in
// the dispatch call (at the caller's IRQL), or as a device completes from
// its interrupt path, in a DPC at DISPATCH_LEVEL (the request pending).
enum class CompletionMode { kInCall, kFromDpc };
// The name of a mode in parameterised test names.
std::string CompletionModeName(CompletionMode mode);
// Both modes, for INSTANTIATE_TEST_SUITE_P.
#define TRACE_COMPLETION_MODES                                                      \
  ::testing::Values(tracetest::CompletionMode::kInCall, tracetest::CompletionMode::kFromDpc), \
      [](const ::testing::TestParamInfo<tracetest::CompletionMode>& info) {         \
        return tracetest::CompletionModeName(info.param);                           \
      }

class TracedStack {
 public:
  // lowerFlags: DO_BUFFERED_IO or DO_DIRECT_IO for reads and writes.
  explicit TracedStack(ULONG lowerFlags = DO_BUFFERED_IO);
  ~TracedStack();

  // Starts a LogWriter on C:\<logName>; returns its status.
  NTSTATUS StartWriter(const wchar_t* logName = L"C:\\trace.log");
  // Destroys the writer, which drains its queue and closes the file.
  void StopWriter();
  LogWriter* Writer() { return writer_; }

  void SetSettings(TraceSettings settings) { settings_ = settings; }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // Hands records to `sink` instead of the writer (which need not exist);
  // the sink owns them.
  void SetRecordSink(std::function<void(TraceRecord*)> sink) { sink_ = std::move(sink); }
  // Answers later, from another thread (STATUS_PENDING in the call).
  void SetPending(bool pending) { pending_ = pending; }
  // How answers given at once are completed.
  void SetCompletionMode(CompletionMode mode) { mode_ = mode; }

  // Opens the stack's top in user or kernel mode.
  HANDLE Open(KPROCESSOR_MODE mode);

  PDEVICE_OBJECT Lower() const { return lower_; }
  // The IRQL at which the last completion was captured.
  KIRQL CompletionIrql() const { return completionIrql_.load(); }

 private:
  static NTSTATUS NTAPI CaptureCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  void Deliver(TraceRecord* record);
  NTSTATUS Filter(PIRP irp);
  NTSTATUS Answer(PIRP irp);

  iotest::TestDriver driver_;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  PDEVICE_OBJECT below_ = nullptr;
  LogWriter* writer_ = nullptr;
  std::atomic<TraceSettings> settings_{0x00200003};
  Responder responder_;
  std::function<void(TraceRecord*)> sink_;
  bool pending_ = false;
  CompletionMode mode_ = CompletionMode::kInCall;
  std::atomic<KIRQL> completionIrql_{PASSIVE_LEVEL};
  std::vector<HANDLE> handles_;
};

// Little-endian builders for CAPI messages and buffers.
std::vector<uint8_t> Hex(const std::string& text);
void PutWord(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void PutDword(uint8_t* bytes, uint32_t value);

// A DATA_B3 message (REQ or IND) of 22 bytes announcing `payload` bytes.
std::vector<uint8_t> DataB3(uint8_t subcommand, uint16_t payload, uint32_t dataPointer = 0);

}  // namespace tracetest

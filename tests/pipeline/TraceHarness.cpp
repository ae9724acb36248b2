#include "tests/pipeline/TraceHarness.h"

#include "framework/SystemRoutines.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace tracetest {

emu::SystemTime GoldenTime() {
  return emu::MakeSystemTime(2003, 1, 5, 14, 3, 7, 123);
}

TempDriveC::TempDriveC() : previous_(emu::DriveC()) {
  char pattern[] = "/tmp/pellinor-drive-c-XXXXXX";
  path_ = mkdtemp(pattern);
  emu::SetDriveC(path_);
}

TempDriveC::~TempDriveC() {
  emu::SetDriveC(previous_);
  // No shell: forking a process whose other threads may hold locks can hang
  // the child (under qemu-i386 it does, now and then).
  std::error_code ignored;  // leftover temporary files are harmless
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDriveC::Read(const std::string& name) const {
  std::ifstream in(path_ + "/" + name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void TempDriveC::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(path_ + "/" + name, std::ios::binary);
  out << content;
}

std::string NormaliseAddresses(const std::string& text) {
  static const char* const kLeads[] = {"FileObj ", "Irp ", "Pointer: 0x", "Pointer:  0x"};
  std::map<std::string, std::string> names;
  // A request's address is reused by later requests once it is freed, so
  // each request summary names its IRP afresh and a completion takes the
  // name of the pending request with its address (a fresh one if its
  // request was not recorded).
  std::map<std::string, std::string> irps;
  int requests = 0;
  std::string out;
  size_t lineStart = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\n')
      lineStart = i + 1;
    bool replaced = false;
    for (const char* lead : kLeads) {
      size_t n = std::char_traits<char>::length(lead);
      if (text.compare(i, n, lead) != 0 || i + n + 8 > text.size())
        continue;
      std::string address = text.substr(i + n, 8);
      if (address.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        continue;
      std::string name;
      if (address == "00000000") {
        name = address;
      } else if (std::string(lead) == "Irp ") {
        bool completion = text.compare(lineStart, 10, "COMPLETION") == 0;
        auto found = irps.find(address);
        if (completion && found != irps.end()) {
          name = found->second;
          irps.erase(found);  // a request completes once
        } else {
          name = "IRP" + std::to_string(++requests);
          irps[address] = name;
        }
      } else {
        auto found = names.find(address);
        if (found == names.end()) {
          found = names.emplace(address, "ADDR" + std::to_string(names.size() + 1)).first;
        }
        name = found->second;
      }
      out += std::string(lead) + name;
      i += n + 8;
      replaced = true;
      break;
    }
    if (!replaced)
      out += text[i++];
  }
  return out;
}

std::string Golden(const std::string& name, const std::string& actual) {
  std::string path = std::string(PELLINOR_SOURCE_DIR) + "/tests/data/trace/" + name;
  const char* update = std::getenv("PELLINOR_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream out(path, std::ios::binary);
    out << actual;
    return actual;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

TracedStack::TracedStack(ULONG lowerFlags) : driver_("TraceTest") {
  // What the trace driver's entry finds of the system, which the capture
  // asks (where user memory ends, the mapping that may fail).
  SystemRoutines::Resolve();
  lower_ = driver_.CreateDevice(u"TestCapi", lowerFlags,
                                [this](PDEVICE_OBJECT, PIRP irp) { return Answer(irp); });
  filter_ = driver_.CreateDevice(u"", 0, [this](PDEVICE_OBJECT, PIRP irp) { return Filter(irp); });
  filter_->Flags |= lower_->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
  below_ = driver_.Attach(filter_, lower_);
}

TracedStack::~TracedStack() {
  for (HANDLE handle : handles_) emu::Close(handle);
  StopWriter();
}

NTSTATUS TracedStack::StartWriter(const wchar_t* logName) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  writer_ = new LogWriter(&status, logName);
  return status;
}

void TracedStack::StopWriter() {
  delete writer_;
  writer_ = nullptr;
}

HANDLE TracedStack::Open(KPROCESSOR_MODE mode) {
  HANDLE handle = nullptr;
  NTSTATUS status = emu::Open(u"\\Device\\TestCapi", mode, &handle);
  if (!NT_SUCCESS(status))
    std::abort();
  handles_.push_back(handle);
  return handle;
}

NTSTATUS NTAPI TracedStack::CaptureCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* self = static_cast<TracedStack*>(context);
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  self->completionIrql_ = KeGetCurrentIrql();
  self->Deliver(captureCompletion(irp, self->settings_.load()));
  return STATUS_SUCCESS;
}

void TracedStack::Deliver(TraceRecord* record) {
  if (sink_) {
    if (record != nullptr)
      sink_(record);
    return;
  }
  // As the trace device does: a record that could not be built is counted.
  writer_->Submit(record);
}

NTSTATUS TracedStack::Filter(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR major = stack->MajorFunction;
  bool traced = major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL ||
                major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  if (!traced || (writer_ == nullptr && !sink_)) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(below_, irp);
  }
  Deliver(captureRequest(irp, settings_.load()));
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, &TracedStack::CaptureCompletion, this, TRUE, TRUE, TRUE);
  return IoCallDriver(below_, irp);
}

NTSTATUS TracedStack::Answer(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR major = stack->MajorFunction;
  if (major != IRP_MJ_READ && major != IRP_MJ_WRITE && major != IRP_MJ_DEVICE_CONTROL &&
      major != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    return iotest::Complete(irp, STATUS_SUCCESS);
  }
  if (!pending_) {
    NTSTATUS status = responder_ ? responder_(irp, stack) : STATUS_SUCCESS;
    if (mode_ == CompletionMode::kFromDpc) {
      // The completion routines above run at DISPATCH_LEVEL on the DPC
      // thread, as they do when a device completes from its interrupt path.
      IoMarkIrpPending(irp);
      emu::CompleteFromDpc(irp);
      return STATUS_PENDING;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  Responder responder = responder_;
  std::thread([irp, stack, responder] {
    if (responder)
      responder(irp, stack);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }).detach();
  return STATUS_PENDING;
}

std::string CompletionModeName(CompletionMode mode) {
  return mode == CompletionMode::kFromDpc ? "FromDpc" : "InCall";
}

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream in(text);
  std::string token;
  while (in >> token) bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
  return bytes;
}

void PutWord(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  bytes[offset] = uint8_t(value);
  bytes[offset + 1] = uint8_t(value >> 8);
}

void PutDword(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(value >> (8 * i));
}

std::vector<uint8_t> DataB3(uint8_t subcommand, uint16_t payload, uint32_t dataPointer) {
  std::vector<uint8_t> message =
      Hex("16 00 02 00 86 80 34 12 01 01 01 00 00 00 00 00 00 00 03 00 00 00");
  message[5] = subcommand;
  PutDword(&message[12], dataPointer);
  PutWord(message, 16, payload);
  return message;
}

}  // namespace tracetest

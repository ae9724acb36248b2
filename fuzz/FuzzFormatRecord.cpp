// Fuzz target for formatRecord: the writer thread's text of any record the
// queue could hold. Every field of the record is taken from the input (kind,
// settings word, status, information, capture time, requestor mode, the
// 36-byte stack location whose words the record keeps, with its major
// function and I/O control code), and the I/O buffer and message blocks are
// pool blocks of exactly the size the input gives, so that a read past what
// was captured is caught by AddressSanitizer. The text goes to a sink that
// reads it whole.
//
// Input:
//   0       control: bits 0-1 kind (3 is no kind), bit 2 the maker's own
//           target (NrxTarget), bit 3 no stack copy, bit 4 user mode,
//           bit 5 I/O buffer present, bit 6 message present, bit 7 an
//           arbitrary capture time (else the fixed clock's)
//   1-4     settings word (flags, MaxDataB3Bytes in the upper half)
//   5-8     status
//   9-12    information
//   13-20   capture time
//   21      where the rest splits between I/O buffer and message (of 255)
//   22-57   stack location (i386 layout), kept by TraceRecord::CopyStack
//   58-     I/O buffer bytes, then message bytes
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include <ntddk.h>

#include "fuzz/FuzzWriters.h"
#include "log/TimeStamp.h"
#include "trace/RecordText.h"
#include "trace/TraceRecord.h"

namespace {

constexpr size_t kHeaderSize = 22;
constexpr size_t kStackSize = 36;
static_assert(sizeof(IO_STACK_LOCATION) == kStackSize, "the i386 stack location");
constexpr size_t kFixedSize = kHeaderSize + kStackSize;

using fuzzing::Dword;

bool Block(CapturedBlock* block, const uint8_t* bytes, size_t size) {
  if (!TraceRecord::AllocateBlock(block, ULONG(size))) {
    return false;
  }
  std::memcpy(block->data, bytes, size);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzing::FuzzWriters writers = fuzzing::MakeWriters();
  if (size < kFixedSize) {
    return 0;
  }
  uint8_t control = data[0];
  TraceRecord* record = new TraceRecord(Dword(data + 1), TraceRecordKind(control & 3));
  if (record == nullptr) {
    __builtin_trap();  // no fault is injected here
  }
  record->status = NTSTATUS(Dword(data + 5));
  record->information = Dword(data + 9);
  if (control & 0x80) {
    uint64_t time = uint64_t(Dword(data + 13)) | uint64_t(Dword(data + 17)) << 32;
    record->captureTime = TimeStamp(LONGLONG(time >> 1));  // a system time is never negative
  }
  record->requestorMode = (control & 0x10) ? UserMode : KernelMode;
  record->irp = reinterpret_cast<PVOID>(uintptr_t(Dword(data + 1) ^ Dword(data + 9)));
  if (!(control & 0x08)) {
    IO_STACK_LOCATION location;
    std::memcpy(&location, data + kHeaderSize, kStackSize);
    record->CopyStack(&location);
  }
  bool ok = true;
  const uint8_t* rest = data + kFixedSize;
  size_t restSize = size - kFixedSize;
  size_t ioSize = restSize * data[21] / 255;
  if (ok && (control & 0x20)) {
    ok = Block(&record->ioBuffer, rest, ioSize);
  }
  if (ok && (control & 0x40)) {
    ok = Block(&record->message, rest + ioSize, restSize - ioSize);
  }
  if (!ok) {
    __builtin_trap();
  }
  formatRecord((control & 0x04) ? *writers.nrx : *writers.plain, record);
  delete record;
  return 0;
}

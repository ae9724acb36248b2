// Fuzz target for the capture of requests and completions: captureRequest
// and captureCompletion on requests built from arbitrary stack-location
// words over real buffers, then formatRecord on what they made.
//
// The buffers are what the I/O manager and a kernel-mode caller guarantee,
// each of exactly that size so that a read past it is caught: a system
// buffer of the request's length (reads, writes) or of the larger of the
// I/O control lengths; an MDL over such a buffer; a kernel-mode caller's
// parameter block of the lengths it gives, with a message as long as its
// own length word and a payload as long as its data length word. A
// user-mode request's METHOD_NEITHER input, its UserBuffer and a direct
// I/O MDL lie in emulated user memory, which a dereference turns into a
// bug check: the capture must never follow them. The parameter block of a
// user-mode CAPI_PUT_MESSAGE or CAPI_GET_MESSAGE points into user memory
// too, to a message shorter than its length word or not, or anywhere: the
// capture may read it only through its guarded copy (TRACE_USER_MESSAGES,
// bit 31 of the settings word), in the requester's thread or not.
//
// Input:
//   0       request: bits 0-2 major function (read, write, device control,
//           internal device control, create, cleanup, other arbitrary),
//           bit 3 completion, bit 4 user mode, bit 5 MDL instead of a
//           system buffer, bit 6 METHOD_NEITHER pointers present, bit 7
//           a null message pointer in the parameter block
//   1-4     settings word; 5-8 status; 9-12 information
//   13-28   stack words: parameter 1 to 4 (lengths, code, Type3InputBuffer)
//   29      minor function / CAPI code selector (below 0x80: one of the nine
//           CAPI codes, the word kept otherwise)
//   30      NrxTarget of the writer
//   31-     buffer contents, then the message (a user-mode message block:
//           its length word, a byte of choices, the message, the payload)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "emu/Io.h"
#include "emu/UserMemory.h"

#include <ntddk.h>

#include "capi/CapiMessage.h"
#include "framework/SystemRoutines.h"
#include "fuzz/FuzzWriters.h"
#include "trace/CapiIoctl.h"
#include "trace/NameTables.h"
#include "trace/RecordText.h"
#include "trace/RequestCapture.h"
#include "trace/TraceRecord.h"

namespace {

constexpr size_t kFixedSize = 31;
// The largest buffer built: lengths above it are cut to it, so that every
// length word stays the truth about its buffer.
constexpr ULONG kMaxBuffer = 4096;

constexpr uint32_t kCapiCodes[] = {
    CAPI_REGISTER,   CAPI_RELEASE,    CAPI_PUT_MESSAGE, CAPI_GET_MESSAGE, CAPI_GET_MANUFACTURER,
    CAPI_GET_VERSION, CAPI_GET_SERIAL, CAPI_GET_PROFILE, CAPI_MANUFACTURER,
};
constexpr UCHAR kMajors[] = {IRP_MJ_READ,    IRP_MJ_WRITE,   IRP_MJ_DEVICE_CONTROL,
                             IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CREATE, IRP_MJ_CLEANUP};

using fuzzing::Dword;

// Bytes from the input, as many as asked for, zero past its end.
class Source {
 public:
  Source(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  std::vector<uint8_t> Take(size_t count) {
    std::vector<uint8_t> bytes(count, 0);
    size_t n = count < size_ ? count : size_;
    if (n != 0)
      std::memcpy(bytes.data(), data_, n);
    data_ += n;
    size_ -= n;
    return bytes;
  }
  std::vector<uint8_t> Rest() { return Take(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
};

// The memory of one request: host (kernel) blocks and user blocks, freed
// at the end.
class Memory {
 public:
  ~Memory() {
    for (uint8_t* block : kernel_) delete[] block;
    for (void* block : user_) emu::UserFree(block);
  }
  // A block of exactly `bytes.size()` bytes (null for none).
  uint8_t* Kernel(const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
      return nullptr;
    uint8_t* block = new uint8_t[bytes.size()];
    std::memcpy(block, bytes.data(), bytes.size());
    kernel_.push_back(block);
    return block;
  }
  void* User(const std::vector<uint8_t>& bytes) {
    void* block = emu::UserCopy(bytes.data(), bytes.empty() ? 1 : bytes.size());
    user_.push_back(block);
    return block;
  }

 private:
  std::vector<uint8_t*> kernel_;
  std::vector<void*> user_;
};

ULONG Cut(ULONG length) {
  return length < kMaxBuffer ? length : kMaxBuffer;
}

// A user-mode caller's parameter block at `to`: a message in user memory,
// as long as its length word says or cut short (choice bit 7, to the low
// bits), or an arbitrary message pointer (bit 4); its payload in user
// memory or an arbitrary pointer (bit 6). The request is in the requester's
// thread unless bit 5 says otherwise.
void UserMessageBlock(Source& source, Memory& memory, uint8_t* to, PIRP irp) {
  std::vector<uint8_t> head = source.Take(3);
  const uint8_t choices = head[2];
  ULONG length = ULONG(head[0]) | ULONG(head[1]) << 8;
  ULONG held = (choices & 0x80) ? length % ((choices & 0x0F) + 1) : length;
  std::vector<uint8_t> text = source.Take(held < 2 ? 2 : held);
  text[0] = head[0];
  text[1] = head[1];
  CAPI_PARAMETER_BLOCK block = {0, 0};
  block.message = ULONG(reinterpret_cast<uintptr_t>(memory.User(text)));
  if (choices & 0x10)
    block.message = Dword(source.Take(4).data());
  ULONG payload = text.size() >= kCapiDataB3Length + 2
                      ? ULONG(text[kCapiDataB3Length]) | ULONG(text[kCapiDataB3Length + 1]) << 8
                      : 0;
  block.b3Data = ULONG(reinterpret_cast<uintptr_t>(memory.User(source.Take(Cut(payload) + 1))));
  if (choices & 0x40)
    block.b3Data = Dword(source.Take(4).data());
  std::memcpy(to, &block, sizeof block);
  irp->Tail.Overlay.Thread = (choices & 0x20) ? nullptr : PsGetCurrentThread();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzing::FuzzWriters writers = fuzzing::MakeWriters();
  // What the trace driver's entry finds of the system, which the capture
  // asks (where user memory ends, the mapping that may fail).
  static const bool resolved = (SystemRoutines::Resolve(), true);
  (void)resolved;
  if (size < kFixedSize)
    return 0;
  const uint8_t control = data[0];
  const UCHAR major = (control & 7) < 6 ? kMajors[control & 7] : UCHAR(data[29] % 0x1C);
  const bool completion = (control & 0x08) != 0;
  // Only kernel components send internal device I/O controls.
  const bool user = (control & 0x10) && major != IRP_MJ_INTERNAL_DEVICE_CONTROL;
  const bool mdl = (control & 0x20) != 0;
  const TraceSettings settings = Dword(data + 1);
  ULONG p1 = Dword(data + 13), p2 = Dword(data + 17), code = Dword(data + 21);
  if (data[29] < 0x80)
    code = kCapiCodes[data[29] % 9];
  Source source(data + kFixedSize, size - kFixedSize);
  Memory memory;

  PIRP irp = IoAllocateIrp(1, FALSE);
  if (irp == nullptr)
    __builtin_trap();
  irp->RequestorMode = user ? UserMode : KernelMode;
  irp->IoStatus.Status = NTSTATUS(Dword(data + 5));
  irp->IoStatus.Information = Dword(data + 9);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = data[29];
  PMDL allocatedMdl = nullptr;
  bool locked = false;

  switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
      p1 = Cut(p1);
      stack->Parameters.Read.Length = p1;
      std::vector<uint8_t> bytes = source.Take(p1);
      if (p1 == 0)
        break;
      if (!mdl) {
        irp->AssociatedIrp.SystemBuffer = memory.Kernel(bytes);
      } else if (user) {
        // Direct I/O from user mode: the MDL describes the caller's pages;
        // only its system mapping may be read.
        void* buffer = memory.User(bytes);
        irp->UserBuffer = buffer;
        allocatedMdl = IoAllocateMdl(buffer, p1, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(allocatedMdl, UserMode,
                            major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        locked = true;
      } else {
        allocatedMdl = IoAllocateMdl(memory.Kernel(bytes), p1, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(allocatedMdl);
      }
      irp->MdlAddress = allocatedMdl;
      break;
    }
    case IRP_MJ_DEVICE_CONTROL: {
      stack->Parameters.DeviceIoControl.IoControlCode = code;
      ULONG method = code & 3;
      if (method == METHOD_NEITHER || user) {
        // Arbitrary lengths: nothing in kernel space stands behind them.
        stack->Parameters.DeviceIoControl.OutputBufferLength = p1;
        stack->Parameters.DeviceIoControl.InputBufferLength = p2;
      } else {
        p1 = Cut(p1);
        p2 = Cut(p2);
        stack->Parameters.DeviceIoControl.OutputBufferLength = p1;
        stack->Parameters.DeviceIoControl.InputBufferLength = p2;
      }
      if (method == METHOD_NEITHER) {
        if (control & 0x40) {
          if (user) {
            stack->Parameters.DeviceIoControl.Type3InputBuffer = memory.User(source.Take(16));
            irp->UserBuffer = memory.User(source.Take(16));
          }
        }
        break;
      }
      // Buffered (and, for the capture alike, direct): one system buffer of
      // the larger length. From user mode the lengths are cut too: the I/O
      // manager built that buffer.
      if (user) {
        p1 = Cut(p1);
        p2 = Cut(p2);
        stack->Parameters.DeviceIoControl.OutputBufferLength = p1;
        stack->Parameters.DeviceIoControl.InputBufferLength = p2;
      }
      std::vector<uint8_t> buffer = source.Take(p1 > p2 ? p1 : p2);
      if (user && (code == CAPI_PUT_MESSAGE || code == CAPI_GET_MESSAGE) && (control & 0x40) &&
          buffer.size() >= sizeof(CAPI_PARAMETER_BLOCK)) {
        UserMessageBlock(source, memory, buffer.data(), irp);
      }
      irp->AssociatedIrp.SystemBuffer = memory.Kernel(buffer);
      break;
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      stack->Parameters.DeviceIoControl.IoControlCode = code;
      bool message = code == CAPI_PUT_MESSAGE || code == CAPI_GET_MESSAGE;
      // A kernel-mode caller's block holds what its lengths say; a message
      // block is 8 bytes whatever they say.
      if (!message) {
        p2 = Cut(p2);
      }
      stack->Parameters.DeviceIoControl.OutputBufferLength = p1;
      stack->Parameters.DeviceIoControl.InputBufferLength = p2;
      if (!(control & 0x40))
        break;  // no block
      if (!message) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = memory.Kernel(source.Take(p2 + 1));
        break;
      }
      CAPI_PARAMETER_BLOCK block = {0, 0};
      if (!(control & 0x80)) {
        std::vector<uint8_t> head = source.Take(2);
        ULONG length = ULONG(head[0]) | ULONG(head[1]) << 8;
        std::vector<uint8_t> text = source.Take(length < 2 ? 2 : length);
        text[0] = head[0];
        text[1] = head[1];
        uint8_t* messageBytes = memory.Kernel(text);
        block.message = ULONG(reinterpret_cast<uintptr_t>(messageBytes));
        ULONG payload = text.size() >= kCapiDataB3Length + 2
                            ? ULONG(text[kCapiDataB3Length]) | ULONG(text[kCapiDataB3Length + 1]) << 8
                            : 0;
        block.b3Data = ULONG(reinterpret_cast<uintptr_t>(memory.Kernel(source.Take(payload + 1))));
      }
      std::vector<uint8_t> blockBytes(sizeof block);
      std::memcpy(blockBytes.data(), &block, sizeof block);
      stack->Parameters.DeviceIoControl.Type3InputBuffer = memory.Kernel(blockBytes);
      break;
    }
    default:
      stack->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(uintptr_t(p1));
      stack->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(uintptr_t(p2));
      break;
  }
  IoSetNextIrpStackLocation(irp);

  TraceRecord* record = completion ? captureCompletion(irp, settings)
                                   : captureRequest(irp, settings);
  if (record == nullptr)
    __builtin_trap();  // no allocation fails here
  formatRecord(data[30] & 1 ? *writers.nrx : *writers.plain, record);
  delete record;

  if (allocatedMdl != nullptr) {
    if (locked)
      MmUnlockPages(allocatedMdl);
    IoFreeMdl(allocatedMdl);
  }
  irp->MdlAddress = nullptr;
  IoFreeIrp(irp);
  return 0;
}

// Requests of applications and kernel components, built as the I/O manager
// builds them, and the Plug and Play and power requests of the system.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/Io.h"
#include "emu/UserMemory.h"

namespace emu {
namespace {

using namespace io;

struct HandleEntry {
  PFILE_OBJECT file;
  KPROCESSOR_MODE mode;
};

// The handles of Open: an application's own table, apart from the kernel's.
struct HandleTable {
  std::mutex lock;
  std::map<HANDLE, HandleEntry> entries;
  ULONG_PTR next = 4;
};

HandleTable& Handles() {
  static auto* table = new HandleTable;
  return *table;
}

bool Lookup(HANDLE handle, HandleEntry* entry) {
  std::lock_guard<std::mutex> guard(Handles().lock);
  auto it = Handles().entries.find(handle);
  if (it == Handles().entries.end())
    return false;
  *entry = it->second;
  return true;
}

bool IsError(NTSTATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 3;
}

// The bytes at `address`, as the I/O manager reaches them in the
// requester's context: a user address through the requester's view of user
// memory, any other (a kernel-mode caller's buffer) as it is.
void* Reach(const void* address, size_t length) {
  if (address == nullptr || length == 0)
    return const_cast<void*>(address);
  if (IsUserAddress(address, length))
    return UserAccess(address, length);
  return const_cast<void*>(address);
}

// A user-mode caller's buffer, placed in user memory for the time of one
// request: the driver sees its user address only. The bytes go in at the
// start (also for an output buffer: what the driver does not write stays
// as the caller left it) and come back at the end.
class UserBuffer {
 public:
  UserBuffer(const void* host, ULONG length) : host_(host), length_(length) {
    if (host == nullptr || length == 0)
      return;
    user_ = UserAlloc(length);
    memcpy(UserAccess(user_, length), host, length);
  }
  ~UserBuffer() {
    if (user_ != nullptr)
      UserFree(user_);
  }
  UserBuffer(const UserBuffer&) = delete;
  UserBuffer& operator=(const UserBuffer&) = delete;

  void* user() const { return user_; }
  void CopyBack() {
    if (user_ != nullptr)
      memcpy(const_cast<void*>(host_), UserAccess(user_, length_), length_);
  }

 private:
  const void* host_;
  ULONG length_;
  void* user_ = nullptr;
};

// One request on an open file: the file is referenced while the request is
// under way, the IRP goes to the top of the file's stack. The IRP is freed
// by its completion; what the requester needs comes back in the Outcome.
class FileRequest {
 public:
  FileRequest(const HandleEntry& entry, UCHAR major) : entry_(entry) {
    ReferenceFile(entry.file);
    top_ = IoGetRelatedDeviceObject(entry.file);
    irp_ = AllocateIrp(top_->StackSize, true, true);
    irp_->RequestorMode = entry.mode;
    irp_->Tail.Overlay.OriginalFileObject = entry.file;
    // The requester's thread, as the I/O manager queues the request to it.
    irp_->Tail.Overlay.Thread = PsGetCurrentThread();
    sp_ = IoGetNextIrpStackLocation(irp_);
    sp_->MajorFunction = major;
    sp_->FileObject = entry.file;
  }
  ~FileRequest() {
    if (!sent_) {
      Unwind(irp_);
      FreeIrp(irp_);
    }
    DereferenceFile(entry_.file);
  }
  FileRequest(const FileRequest&) = delete;
  FileRequest& operator=(const FileRequest&) = delete;

  PIRP irp() const { return irp_; }
  PIO_STACK_LOCATION sp() const { return sp_; }
  PDEVICE_OBJECT top() const { return top_; }
  KPROCESSOR_MODE mode() const { return entry_.mode; }

  // A system buffer of `size` bytes from non-paged pool (the I/O manager's
  // tag), the first `inputLength` copied from `input`. False when the pool
  // has no room: the request then fails with STATUS_INSUFFICIENT_RESOURCES
  // without reaching the driver.
  bool Buffer(ULONG size, const void* input, ULONG inputLength, bool output) {
    if (size == 0)
      return true;
    void* buffer = internal::AllocateSystemBuffer(size);
    if (buffer == nullptr)
      return false;
    // The kernel does not clear the part the input does not fill; neither
    // does the emulated pool (its fill shows what a driver reads unset).
    if (inputLength != 0)
      memcpy(buffer, Reach(input, inputLength), inputLength);
    irp_->AssociatedIrp.SystemBuffer = buffer;
    irp_->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (output)
      irp_->Flags |= IRP_INPUT_OPERATION;
    return true;
  }

  // An MDL of the caller's buffer, its pages locked as for `operation`.
  void Direct(void* buffer, ULONG length, LOCK_OPERATION operation) {
    if (length == 0)
      return;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, TRUE, irp_);
    MmProbeAndLockPages(mdl, entry_.mode, operation);
  }

  // Sends the request and waits for it. At its completion to the top the
  // I/O manager's end runs: a buffered result is copied to the caller's
  // buffer (never more than `outputLength` bytes: a driver reporting more
  // is stopped), the system buffer freed, the MDLs unlocked and freed.
  IoResult Send(ULONG outputLength) {
    sent_ = true;
    UCHAR major = sp_->MajorFunction;
    Outcome outcome = SendAndWait(top_, irp_, [outputLength, major](PIRP irp) {
      ULONG_PTR information = irp->IoStatus.Information;
      if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) &&
          !IsError(irp->IoStatus.Status)) {
        if (information > outputLength) {
          BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IRP %p (major function 0x%X) reports %lu bytes transferred into a %lu-byte "
                   "buffer",
                   static_cast<void*>(irp), major,
                   static_cast<unsigned long>(information),
                   static_cast<unsigned long>(outputLength));
        }
        if (information != 0) {
          memcpy(Reach(irp->UserBuffer, information), irp->AssociatedIrp.SystemBuffer,
                 information);
        }
      }
      Unwind(irp);
    });
    return IoResult{outcome.status, outcome.information};
  }

  // Refuses the request before it reaches a driver.
  IoResult Fail(NTSTATUS status) { return IoResult{status, 0}; }

 private:
  static void Unwind(PIRP irp) {
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
      internal::FreeSystemBuffer(irp->AssociatedIrp.SystemBuffer);
      irp->AssociatedIrp.SystemBuffer = nullptr;
      irp->Flags &= ~IRP_DEALLOCATE_BUFFER;
    }
    while (PMDL mdl = irp->MdlAddress) {
      irp->MdlAddress = mdl->Next;
      if (mdl->MdlFlags & MDL_PAGES_LOCKED)
        MmUnlockPages(mdl);
      IoFreeMdl(mdl);
    }
  }

  HandleEntry entry_;
  PDEVICE_OBJECT top_;
  PIRP irp_;
  PIO_STACK_LOCATION sp_;
  bool sent_ = false;
};

HandleEntry RequireHandle(HANDLE handle, const char* service) {
  HandleEntry entry;
  if (!Lookup(handle, &entry)) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "%s: %p is not an open handle", service, handle);
  }
  return entry;
}

// A system request to the top of a device's stack.
PIRP SystemIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PDEVICE_OBJECT* top) {
  {
    std::lock_guard<std::mutex> guard(Lock());
    RequireDevice(device, "system request");
    *top = TopOfStack(device);
  }
  PIRP irp = AllocateIrp((*top)->StackSize, true, true);
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  return irp;
}

}  // namespace

NTSTATUS Open(const std::u16string& path, KPROCESSOR_MODE mode, HANDLE* handle,
              ACCESS_MASK desiredAccess) {
  *handle = nullptr;
  // "\\.\NAME" is the Win32 spelling of "\??\NAME".
  std::u16string objectPath = path;
  if (objectPath.compare(0, 4, u"\\\\.\\") == 0)
    objectPath = u"\\??\\" + objectPath.substr(4);
  PFILE_OBJECT file;
  NTSTATUS status = OpenDeviceFile(objectPath, mode, desiredAccess, 0,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &file);
  if (!NT_SUCCESS(status))
    return status;
  std::lock_guard<std::mutex> guard(Handles().lock);
  *handle = reinterpret_cast<HANDLE>(Handles().next);
  Handles().next += 4;
  Handles().entries[*handle] = HandleEntry{file, mode};
  return status;
}

NTSTATUS Open(const std::string& path, KPROCESSOR_MODE mode, HANDLE* handle,
              ACCESS_MASK desiredAccess) {
  return Open(Widen(path), mode, handle, desiredAccess);
}

NTSTATUS Close(HANDLE handle) {
  PFILE_OBJECT file;
  {
    std::lock_guard<std::mutex> guard(Handles().lock);
    auto it = Handles().entries.find(handle);
    if (it == Handles().entries.end())
      return STATUS_INVALID_HANDLE;
    file = it->second.file;
    Handles().entries.erase(it);
  }
  CloseFileHandle(file);
  return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOf(HANDLE handle) {
  HandleEntry entry;
  return Lookup(handle, &entry) ? entry.file : nullptr;
}

namespace {

IoResult ReadCore(const HandleEntry& entry, void* buffer, ULONG length, LONGLONG byteOffset) {
  FileRequest request(entry, IRP_MJ_READ);
  request.irp()->Flags |= IRP_READ_OPERATION;
  request.irp()->UserBuffer = buffer;
  request.sp()->Parameters.Read.Length = length;
  request.sp()->Parameters.Read.ByteOffset.QuadPart = byteOffset;
  if (request.top()->Flags & DO_BUFFERED_IO) {
    if (!request.Buffer(length, nullptr, 0, true))
      return request.Fail(STATUS_INSUFFICIENT_RESOURCES);
  } else if (request.top()->Flags & DO_DIRECT_IO) {
    request.Direct(buffer, length, IoWriteAccess);
  }
  return request.Send(length);
}

IoResult WriteCore(const HandleEntry& entry, const void* buffer, ULONG length,
                   LONGLONG byteOffset) {
  FileRequest request(entry, IRP_MJ_WRITE);
  request.irp()->Flags |= IRP_WRITE_OPERATION;
  request.irp()->UserBuffer = const_cast<void*>(buffer);
  request.sp()->Parameters.Write.Length = length;
  request.sp()->Parameters.Write.ByteOffset.QuadPart = byteOffset;
  if (request.top()->Flags & DO_BUFFERED_IO) {
    if (!request.Buffer(length, buffer, length, false))
      return request.Fail(STATUS_INSUFFICIENT_RESOURCES);
  } else if (request.top()->Flags & DO_DIRECT_IO) {
    request.Direct(const_cast<void*>(buffer), length, IoReadAccess);
  }
  return request.Send(0);
}

IoResult ControlCore(const HandleEntry& entry, ULONG code, const void* input, ULONG inputLength,
                     void* output, ULONG outputLength) {
  FileRequest request(entry, IRP_MJ_DEVICE_CONTROL);
  PIO_STACK_LOCATION sp = request.sp();
  sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  request.irp()->UserBuffer = output;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      if (!request.Buffer(std::max(inputLength, outputLength), input, inputLength,
                          outputLength != 0)) {
        return request.Fail(STATUS_INSUFFICIENT_RESOURCES);
      }
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (!request.Buffer(inputLength, input, inputLength, false))
        return request.Fail(STATUS_INSUFFICIENT_RESOURCES);
      request.Direct(output, outputLength,
                     METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      break;
    case METHOD_NEITHER:
      sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
      break;
  }
  return request.Send(outputLength);
}

}  // namespace

// A user-mode caller's buffers are copied into user memory for the request
// and back after it; a kernel-mode caller's are passed as they are.
IoResult Read(HANDLE handle, void* buffer, ULONG length, LONGLONG byteOffset) {
  HandleEntry entry = RequireHandle(handle, "Read");
  if (entry.mode == KernelMode)
    return ReadCore(entry, buffer, length, byteOffset);
  UserBuffer user(buffer, length);
  IoResult result = ReadCore(entry, user.user(), length, byteOffset);
  user.CopyBack();
  return result;
}

IoResult Write(HANDLE handle, const void* buffer, ULONG length, LONGLONG byteOffset) {
  HandleEntry entry = RequireHandle(handle, "Write");
  if (entry.mode == KernelMode)
    return WriteCore(entry, buffer, length, byteOffset);
  UserBuffer user(buffer, length);
  return WriteCore(entry, user.user(), length, byteOffset);
}

IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength) {
  HandleEntry entry = RequireHandle(handle, "DeviceIoControl");
  if (entry.mode == KernelMode)
    return ControlCore(entry, code, input, inputLength, output, outputLength);
  UserBuffer userInput(input, inputLength);
  UserBuffer userOutput(output, outputLength);
  IoResult result =
      ControlCore(entry, code, userInput.user(), inputLength, userOutput.user(), outputLength);
  userOutput.CopyBack();
  return result;
}

IoResult DeviceIoControlUser(HANDLE handle, ULONG code, const void* userInput, ULONG inputLength,
                             void* userOutput, ULONG outputLength) {
  HandleEntry entry = RequireHandle(handle, "DeviceIoControlUser");
  if (entry.mode != UserMode) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "DeviceIoControlUser on a handle opened in kernel mode");
  }
  if ((inputLength != 0 && !IsUserAddress(userInput, inputLength)) ||
      (outputLength != 0 && !IsUserAddress(userOutput, outputLength))) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "DeviceIoControlUser: the buffers %p (%lu bytes) and %p (%lu bytes) must be user "
             "memory (UserAlloc)",
             userInput, static_cast<unsigned long>(inputLength), userOutput,
             static_cast<unsigned long>(outputLength));
  }
  return ControlCore(entry, code, userInput, inputLength, userOutput, outputLength);
}

void* UserCopy(const void* bytes, size_t length) {
  void* user = UserAlloc(length);
  if (length != 0)
    memcpy(UserAccess(user, length), bytes, length);
  return user;
}

IoResult InternalDeviceIoControl(HANDLE handle, ULONG code, void* type3Input, ULONG inputLength,
                                 void* output, ULONG outputLength, void* systemBuffer) {
  HandleEntry entry = RequireHandle(handle, "InternalDeviceIoControl");
  if (entry.mode != KernelMode) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "internal device I/O control from user mode: only kernel components can send it");
  }
  FileRequest request(entry, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  PIO_STACK_LOCATION sp = request.sp();
  sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  sp->Parameters.DeviceIoControl.Type3InputBuffer = type3Input;
  request.irp()->UserBuffer = output;
  request.irp()->AssociatedIrp.SystemBuffer = systemBuffer;
  return request.Send(outputLength);
}

IoResult SendPnp(PDEVICE_OBJECT device, UCHAR minorFunction) {
  PDEVICE_OBJECT top;
  PIRP irp = SystemIrp(device, IRP_MJ_PNP, minorFunction, &top);
  Outcome outcome = SendAndWait(top, irp);
  return IoResult{outcome.status, outcome.information};
}

PowerResult SendPower(PDEVICE_OBJECT device, UCHAR minorFunction, POWER_STATE_TYPE type,
                      POWER_STATE state) {
  PDEVICE_OBJECT top;
  PIRP irp = SystemIrp(device, IRP_MJ_POWER, minorFunction, &top);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Power.Type = type;
  sp->Parameters.Power.State = state;
  Outcome outcome = SendAndWait(top, irp);
  return PowerResult{outcome.status, outcome.information, outcome.startNextPowerIrp};
}

void ShutDownSystem() {
  // As the I/O manager's shutdown: IRP_MJ_SHUTDOWN to each registered device
  // itself (not the top of its stack), the last registered first, each
  // waited for; then the file systems are shut down and no write reaches a
  // volume any more.
  for (PDEVICE_OBJECT device : ShutdownDevices()) {
    {
      std::lock_guard<std::mutex> guard(Lock());
      RequireDevice(device, "system shutdown");
    }
    PIRP irp = AllocateIrp(device->StackSize, true, true);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SHUTDOWN;
    SendAndWait(device, irp);
  }
  SetSystemShutDown(true);
}

void RestartSystem() { SetSystemShutDown(false); }

}  // namespace emu

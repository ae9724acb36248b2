#include <cstdint>
#include <cstring>

#include "sim/CapiProvider.h"

#include "capi/CapiMessage.h"
#include "sim/CapiCodes.h"
#include "sim/SimPool.h"
#include "sim/UserSpace.h"

namespace sim {
namespace {

// The spin lock of the provider, held for one statement block.
class LockGuard {
 public:
  explicit LockGuard(KSPIN_LOCK* lock) : lock_(lock) { KeAcquireSpinLock(lock_, &previous_); }
  ~LockGuard() { KeReleaseSpinLock(lock_, previous_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  KSPIN_LOCK* lock_;
  KIRQL previous_;
};

void PutDword(UCHAR* at, ULONG value) {
  for (int i = 0; i < 4; ++i) at[i] = UCHAR(value >> (8 * i));
}

void PutWord(UCHAR* at, USHORT value) {
  at[0] = UCHAR(value);
  at[1] = UCHAR(value >> 8);
}

// Copies `length` bytes from a caller's pointer: a user address read in
// the caller's context after probing it, or a kernel address as it is.
NTSTATUS CopyFromCaller(UCHAR* to, const void* from, ULONG length, KPROCESSOR_MODE mode) {
  if (length == 0)
    return STATUS_SUCCESS;
  if (mode == UserMode) {
    if (!UserSpaceContains(from, length))
      return STATUS_ACCESS_VIOLATION;
    from = UserSpaceView(from, length);
  } else if (UserSpaceContains(from, 1)) {
    // A kernel-mode caller's pointer into user memory: whose memory it is
    // depends on the context, so the provider does not follow it.
    return STATUS_ACCESS_VIOLATION;
  }
  std::memcpy(to, from, length);
  return STATUS_SUCCESS;
}

// A read's or write's data: the system buffer of buffered I/O, or the
// system address of a direct-I/O request's pages, mapped as a provider
// must (a mapping that fails returns null rather than stopping the
// system). Null when there is none.
UCHAR* DataBuffer(PIRP irp) {
  if (irp->AssociatedIrp.SystemBuffer != nullptr)
    return static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  PMDL mdl = irp->MdlAddress;
  if (mdl == nullptr)
    return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
    return static_cast<UCHAR*>(mdl->MappedSystemVa);
  return static_cast<UCHAR*>(
      MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
}

// Copies a string into a fixed answer, zero-filled; one that fills it is
// cut there without a terminating zero.
void CopyText(UCHAR* to, ULONG size, const UCHAR* text, ULONG length) {
  std::memset(to, 0, size);
  std::memcpy(to, text, length < size ? length : size);
}

// An I/O control's kind is its function's place among the nine.
static_assert(int(RequestKind::kRegister) == 0 && int(RequestKind::kManufacturer) == 8 &&
                  int(RequestKind::kGetProfile) == int((kCapiGetProfile - kCapiRegister) >> 2),
              "request kinds follow the I/O control functions");

bool IsDataB3Req(const UCHAR* message, ULONG length) {
  return length >= kDataB3Bytes && message[kCapiMessageCommand] == kDataB3 &&
         message[kCapiMessageSubcommand] == kReq;
}

}  // namespace

CapiProvider::CapiProvider(const ProviderSettings* settings)
    : settings_(settings),
      controllers_(settings->controllerCount),
      line_(settings->controllerCount) {
  KeInitializeSpinLock(&lock_);
}

CapiProvider::~CapiProvider() {
  for (Application*& app : apps_) {
    if (app != nullptr)
      SimDelete(app);
    app = nullptr;
  }
}

Application* CapiProvider::FindLocked(PFILE_OBJECT file) const {
  for (Application* app : apps_) {
    if (app != nullptr && app->File() == file)
      return app;
  }
  return nullptr;
}

Application* CapiProvider::Reference(PFILE_OBJECT file) {
  LockGuard guard(&lock_);
  Application* app = FindLocked(file);
  if (app != nullptr)
    app->AddReference();
  return app;
}

void CapiProvider::Dereference(Application* app) {
  bool last;
  {
    LockGuard guard(&lock_);
    last = app->DropReference();
  }
  if (last)
    SimDelete(app);
}

Application* CapiProvider::Unpublish(PFILE_OBJECT file) {
  LockGuard guard(&lock_);
  for (Application*& app : apps_) {
    if (app != nullptr && app->File() == file) {
      Application* found = app;
      app = nullptr;
      line_.Forget(*found);
      return found;
    }
  }
  return nullptr;
}

NTSTATUS CapiProvider::Handle(PIRP irp, ULONG_PTR* information, int* kind) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  *information = 0;
  *kind = -1;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
      return STATUS_SUCCESS;
    case IRP_MJ_CLEANUP:
      Cleanup(file);
      return STATUS_SUCCESS;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
      const bool read = stack->MajorFunction == IRP_MJ_READ;
      *kind = int(read ? RequestKind::kRead : RequestKind::kWrite);
      UCHAR* data = DataBuffer(irp);
      if (data == nullptr && irp->MdlAddress != nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;  // no system mapping to be had now
      return read ? GetToRead(file, data, stack->Parameters.Read.Length, information)
                  : PutFromWrite(file, data, stack->Parameters.Write.Length, information);
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      if (code < kCapiRegister || code > kCapiManufacturer || (code & 3) != 0)
        return STATUS_INVALID_DEVICE_REQUEST;
      *kind = int((code - kCapiRegister) >> 2);
      Buffers buffers;
      buffers.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
      buffers.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
      if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        buffers.input = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        buffers.output = buffers.input;
        buffers.pointerMode = irp->RequestorMode;
        buffers.internal = false;
      } else {
        // Only kernel components send internal I/O controls.
        if (irp->RequestorMode != KernelMode)
          return STATUS_INVALID_DEVICE_REQUEST;
        buffers.input = static_cast<UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        buffers.output = static_cast<UCHAR*>(
            irp->UserBuffer != nullptr ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer);
        buffers.pointerMode = KernelMode;
        buffers.internal = true;
      }
      if (buffers.input == nullptr)
        buffers.inputLength = 0;
      if (buffers.output == nullptr)
        buffers.outputLength = 0;
      return Ioctl(file, code, buffers, irp->RequestorMode, information);
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS CapiProvider::Ioctl(PFILE_OBJECT file, ULONG code, const Buffers& buffers,
                             KPROCESSOR_MODE mode, ULONG_PTR* information) {
  ULONG controller = buffers.inputLength >= 4 ? ReadDword(buffers.input) & 0x7F : 0;
  for (ULONG i = 0; i < settings_->failureCount; ++i) {
    const FailureSetting& failure = settings_->failures[i];
    if (failure.code == code && (failure.controller == FailureSetting::kAnyController ||
                                 failure.controller == controller)) {
      return failure.status;
    }
  }
  switch (code) {
    case kCapiRegister:
      return Register(file, buffers, mode, information);
    case kCapiRelease:
      return Release(file, buffers);
    case kCapiPutMessage:
      return PutFromBlock(file, buffers);
    case kCapiGetMessage:
      return GetToBlock(file, buffers, information);
    case kCapiManufacturer:
      return STATUS_SUCCESS;
    default:
      return Information(code, buffers, information);
  }
}

NTSTATUS CapiProvider::Register(PFILE_OBJECT file, const Buffers& buffers, KPROCESSOR_MODE mode,
                                ULONG_PTR* information) {
  if (buffers.inputLength < kRegisterBytes)
    return STATUS_INVALID_PARAMETER;
  if (buffers.outputLength < 4)
    return STATUS_BUFFER_TOO_SMALL;
  RegisterParams params;
  params.messageBufferSize = ReadWord(buffers.input);
  params.maxLogicalConnections = ReadWord(buffers.input + 2);
  params.maxBDataBlocks = ReadWord(buffers.input + 4);
  params.maxBDataLength = ReadWord(buffers.input + 6);
  // As CAPI 2.0 bounds them: at least one connection, 1 to 7 B3 blocks of
  // at least 128 bytes.
  if (params.maxLogicalConnections == 0 || params.maxBDataBlocks == 0 ||
      params.maxBDataBlocks > 7) {
    return STATUS_NOT_SUPPORTED;
  }
  if (params.maxBDataLength < 128)
    return STATUS_INVALID_PARAMETER;

  Application* app = SimNew<Application>(USHORT(0), file, params);
  if (app == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  if (mode == UserMode) {
    app->AllocateUserArea();
    if (app->UserArea() == nullptr) {
      SimDelete(app);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  NTSTATUS status = STATUS_SUCCESS;
  {
    LockGuard guard(&lock_);
    ULONG limit =
        settings_->maxApplications < kMaxApplications ? settings_->maxApplications : kMaxApplications;
    ULONG slot = limit;
    for (ULONG i = 0; i < limit; ++i) {
      if (apps_[i] == nullptr) {
        slot = i;
        break;
      }
    }
    if (FindLocked(file) != nullptr) {
      status = STATUS_INVALID_DEVICE_STATE;  // one application per file
    } else if (slot == limit) {
      status = STATUS_TOO_MANY_SESSIONS;
    } else {
      app->SetId(USHORT(slot + 1));
      apps_[slot] = app;
    }
  }
  if (!NT_SUCCESS(status)) {
    SimDelete(app);
    return status;
  }
  PutDword(buffers.output, app->Id());
  *information = 4;
  return STATUS_SUCCESS;
}

NTSTATUS CapiProvider::Release(PFILE_OBJECT file, const Buffers& buffers) {
  {
    LockGuard guard(&lock_);
    Application* app = FindLocked(file);
    if (app == nullptr)
      return STATUS_INVALID_HANDLE;
    if (buffers.inputLength >= 4 && ReadDword(buffers.input) != app->Id())
      return STATUS_INVALID_HANDLE;
  }
  Application* app = Unpublish(file);
  if (app == nullptr)
    return STATUS_INVALID_HANDLE;  // released by a request running at the same time
  Dereference(app);
  return STATUS_SUCCESS;
}

void CapiProvider::Cleanup(PFILE_OBJECT file) {
  // The last handle went without a release: the application goes with it.
  if (Application* app = Unpublish(file))
    Dereference(app);
}

NTSTATUS CapiProvider::Information(ULONG code, const Buffers& buffers, ULONG_PTR* information) {
  ULONG controller = buffers.inputLength >= 4 ? ReadDword(buffers.input) & 0x7F : 0;
  if (controller > controllers_)
    return STATUS_INVALID_PARAMETER;
  // Controller 0 stands for the provider as a whole: the first controller's
  // serial number and versions.
  const ControllerSettings& config = settings_->controllers[controller == 0 ? 0 : controller - 1];
  UCHAR* out = buffers.output;
  switch (code) {
    case kCapiGetManufacturer:
      if (buffers.outputLength < kManufacturerBytes)
        return STATUS_BUFFER_TOO_SMALL;
      CopyText(out, kManufacturerBytes, settings_->manufacturer, settings_->manufacturerLength);
      *information = kManufacturerBytes;
      return STATUS_SUCCESS;
    case kCapiGetSerial:
      if (buffers.outputLength < kSerialBytes)
        return STATUS_BUFFER_TOO_SMALL;
      CopyText(out, kSerialBytes, config.serial, config.serialLength);
      *information = kSerialBytes;
      return STATUS_SUCCESS;
    case kCapiGetVersion:
      if (buffers.outputLength < kVersionBytes)
        return STATUS_BUFFER_TOO_SMALL;
      PutWord(out, config.capiMajor);
      PutWord(out + 2, config.capiMinor);
      PutWord(out + 4, config.manufacturerMajor);
      PutWord(out + 6, config.manufacturerMinor);
      *information = kVersionBytes;
      return STATUS_SUCCESS;
    case kCapiGetProfile: {
      if (buffers.outputLength < kProfileBytes)
        return STATUS_BUFFER_TOO_SMALL;
      std::memset(out, 0, kProfileBytes);
      if (controller != 0 && config.hasRawProfile) {
        std::memcpy(out, config.rawProfile, kProfileBytes);
      } else if (controller != 0) {
        PutWord(out + 2, config.bChannels);
        PutDword(out + 4, config.globalOptions);
        PutDword(out + 8, config.b1Protocols);
        PutDword(out + 12, config.b2Protocols);
        PutDword(out + 16, config.b3Protocols);
      }
      if (controller == 0 || !config.hasRawProfile)
        PutWord(out, USHORT(controllers_));
      *information = kProfileBytes;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS CapiProvider::Put(PFILE_OBJECT file, const UCHAR* message, ULONG length,
                           const UCHAR* payload, ULONG payloadLength) {
  LockGuard guard(&lock_);
  Application* app = FindLocked(file);
  if (app == nullptr || ReadWord(message + kCapiMessageApplication) != app->Id())
    return STATUS_INVALID_HANDLE;
  return line_.Put(*app, message, length, payload, payloadLength, settings_->queueLimit);
}

NTSTATUS CapiProvider::PutFromWrite(PFILE_OBJECT file, const UCHAR* buffer, ULONG length,
                                    ULONG_PTR* information) {
  if (buffer == nullptr || length < kCapiMinimumMessage)
    return STATUS_ILLEGAL_FUNCTION;
  ULONG messageLength = ReadWord(buffer + kCapiMessageLength);
  if (messageLength < kCapiMinimumMessage || messageLength > length ||
      messageLength > kMaxPutMessage) {
    return STATUS_ILLEGAL_FUNCTION;
  }
  ULONG payloadLength = 0;
  if (IsDataB3Req(buffer, messageLength)) {
    payloadLength = ReadWord(buffer + kDataB3LengthOffset);
    if (length - messageLength < payloadLength)
      return STATUS_ILLEGAL_FUNCTION;
  }
  NTSTATUS status = Put(file, buffer, messageLength, buffer + messageLength, payloadLength);
  if (NT_SUCCESS(status))
    *information = messageLength + payloadLength;
  return status;
}

NTSTATUS CapiProvider::PutFromBlock(PFILE_OBJECT file, const Buffers& buffers) {
  if (buffers.inputLength < kParameterBlockBytes)
    return STATUS_INVALID_PARAMETER;
  ParameterBlock block;
  std::memcpy(&block, buffers.input, sizeof(block));
  const void* message = reinterpret_cast<const void*>(ULONG_PTR(block.message));
  if (message == nullptr)
    return STATUS_INVALID_PARAMETER;
  // The length first; then the whole message and its payload, copied once
  // into the provider's own memory. Nothing beyond the length the message
  // states is read.
  UCHAR header[2];
  NTSTATUS status = CopyFromCaller(header, message, sizeof(header), buffers.pointerMode);
  if (!NT_SUCCESS(status))
    return status;
  ULONG messageLength = ReadWord(header);
  if (messageLength < kCapiMinimumMessage || messageLength > kMaxPutMessage)
    return STATUS_ILLEGAL_FUNCTION;
  UCHAR* copy = static_cast<UCHAR*>(SimAlloc(messageLength));
  if (copy == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  status = CopyFromCaller(copy, message, messageLength, buffers.pointerMode);
  UCHAR* payload = nullptr;
  ULONG payloadLength = 0;
  if (NT_SUCCESS(status) && IsDataB3Req(copy, messageLength)) {
    payloadLength = ReadWord(copy + kDataB3LengthOffset);
    // The block's B3 data pointer, or else the message's own Data field.
    ULONG where = block.b3Data != 0 ? block.b3Data : ReadDword(copy + kDataB3DataOffset);
    if (payloadLength != 0 && where == 0)
      status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status) && payloadLength != 0) {
      payload = static_cast<UCHAR*>(SimAlloc(payloadLength));
      status = payload == nullptr
                   ? STATUS_INSUFFICIENT_RESOURCES
                   : CopyFromCaller(payload, reinterpret_cast<const void*>(ULONG_PTR(where)),
                                    payloadLength, buffers.pointerMode);
    }
  }
  if (NT_SUCCESS(status))
    status = Put(file, copy, messageLength, payload, payloadLength);
  if (payload != nullptr)
    SimFree(payload);
  SimFree(copy);
  return status;
}

NTSTATUS CapiProvider::GetToRead(PFILE_OBJECT file, UCHAR* buffer, ULONG length,
                                 ULONG_PTR* information) {
  QueuedMessage* message;
  {
    LockGuard guard(&lock_);
    Application* app = FindLocked(file);
    if (app == nullptr)
      return STATUS_INVALID_HANDLE;
    message = app->Peek();
    if (message == nullptr)
      return STATUS_SUCCESS;  // nothing to get: information 0
    // A read without room for the message and its payload leaves it queued.
    if (buffer == nullptr || message->Total() > length)
      return STATUS_BUFFER_TOO_SMALL;
    app->Dequeue();
  }
  std::memcpy(buffer, message->bytes, message->Total());
  *information = message->Total();
  message->Destroy();
  return STATUS_SUCCESS;
}

NTSTATUS CapiProvider::GetToBlock(PFILE_OBJECT file, const Buffers& buffers,
                                  ULONG_PTR* information) {
  // The block: in the system buffer as output of an I/O control; behind
  // Type3InputBuffer for an internal one, which the caller sizes with
  // either length.
  UCHAR* block = buffers.internal ? buffers.input : buffers.output;
  ULONG room = buffers.internal
                   ? (buffers.inputLength > buffers.outputLength ? buffers.inputLength
                                                                 : buffers.outputLength)
                   : buffers.outputLength;
  if (block == nullptr || room < kParameterBlockBytes)
    return STATUS_INVALID_PARAMETER;
  ParameterBlock answer = {0, 0};
  if (buffers.pointerMode == KernelMode) {
    LockGuard guard(&lock_);
    Application* app = FindLocked(file);
    if (app == nullptr)
      return STATUS_INVALID_HANDLE;
    QueuedMessage* message = app->Dequeue();
    // The previous message's memory goes now; this one's stays until the
    // next get.
    app->KeepDelivered(message);
    if (message != nullptr) {
      answer.message = ULONG(ULONG_PTR(message->bytes));
      answer.b3Data = message->payloadLength != 0 ? ULONG(ULONG_PTR(message->Payload())) : 0;
    }
  } else {
    Application* app = Reference(file);
    if (app == nullptr)
      return STATUS_INVALID_HANDLE;
    QueuedMessage* message = nullptr;
    {
      LockGuard guard(&lock_);
      QueuedMessage* next = app->Peek();
      if (next != nullptr && next->length <= Application::kUserMessageBytes &&
          next->payloadLength <= app->Params().maxBDataLength) {
        message = app->Dequeue();
      } else if (next != nullptr) {
        // Larger than the area the application registered for: lost, as
        // CAPI loses what overflows an application's buffers.
        next = app->Dequeue();
        next->Destroy();
      }
    }
    UCHAR* area = static_cast<UCHAR*>(app->UserArea());
    if (message != nullptr && area == nullptr) {
      // Registered from kernel mode: there is no user area to put it in.
      message->Destroy();
      Dereference(app);
      return STATUS_INVALID_DEVICE_STATE;
    }
    if (message != nullptr) {
      // The caller's context: its user memory is reachable here.
      UCHAR* view = static_cast<UCHAR*>(UserSpaceView(area, app->UserAreaSize()));
      std::memcpy(view, message->bytes, message->length);
      std::memcpy(view + Application::kUserMessageBytes, message->Payload(),
                  message->payloadLength);
      answer.message = ULONG(ULONG_PTR(area));
      answer.b3Data =
          message->payloadLength != 0 ? ULONG(ULONG_PTR(area + Application::kUserMessageBytes)) : 0;
      message->Destroy();
    }
    Dereference(app);
  }
  std::memcpy(block, &answer, sizeof(answer));
  *information = answer.message != 0 ? kParameterBlockBytes : 0;
  return STATUS_SUCCESS;
}

ULONG CapiProvider::Offer(ULONG controller, USHORT cipValue, const char* called,
                         ULONG calledLength, const char* calling, ULONG callingLength,
                         USHORT application, NTSTATUS* status) {
  LockGuard guard(&lock_);
  for (Application* app : apps_) {
    if (app == nullptr || (application != 0 && app->Id() != application))
      continue;
    ULONG mask = app->ListenMask(controller);
    if ((mask & 1) == 0 && (cipValue >= 32 || (mask & (1u << cipValue)) == 0))
      continue;
    return line_.Offer(*app, controller, cipValue, called, calledLength, calling, callingLength,
                       settings_->queueLimit, status);
  }
  *status = STATUS_NOT_FOUND;
  return 0;
}

void CapiProvider::AddCounters(ULONG* applications, ULONG* queuedMessages, ULONG* plcisInUse) {
  LockGuard guard(&lock_);
  for (Application* app : apps_) {
    if (app == nullptr)
      continue;
    *applications += 1;
    *queuedMessages += app->Queued();
  }
  for (ULONG c = 1; c <= controllers_; ++c) *plcisInUse += line_.PlcisInUse(c);
}

}  // namespace sim

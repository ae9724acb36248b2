// What a kernel-mode CAPI client does, at the bidding of capiapp.exe: each
// of its handles to \Device\CapiSimClient is one client, with one file
// object on \Device\CAPI201. The client plays the I/O manager's part for
// that file object: Wine gives a driver no documented way to open another
// driver's device in its own driver host (a ZwCreateFile from a dispatch
// routine yields a file object without its device until the create has
// been dispatched), so the client builds the file object and the IRPs
// itself and sends them to the top of the provider's stack, which is where
// a kernel-mode open on Windows sends them. The file object is only ever a
// key there: the provider and the trace driver compare it, nothing
// references it.
#include "windows/capisim/KernelClient.h"

#include "sim/CapiCodes.h"
#include "sim/SimPool.h"
#include "windows/capisim/ClientCodes.h"

namespace capisim {
namespace {

struct Extension {
  PDEVICE_OBJECT provider;
};

// One client: in its handle's FsContext from kClientOpen to the close.
struct Client {
  FILE_OBJECT file;
};

// A kernel copy of a request's buffer, as a kernel-mode caller's own
// buffers are: `length` bytes of pool, copied from `from` (zero-filled when
// it is null), for as long as the object lives. Data() is null when the
// pool refused.
class PoolCopy {
 public:
  PoolCopy(const UCHAR* from, ULONG length)
      : data_(static_cast<UCHAR*>(sim::SimAlloc(length + 1))) {
    if (data_ != nullptr && from != nullptr)
      RtlCopyMemory(data_, from, length);
  }
  ~PoolCopy() {
    if (data_ != nullptr)
      sim::SimFree(data_);
  }
  PoolCopy(const PoolCopy&) = delete;
  PoolCopy& operator=(const PoolCopy&) = delete;
  UCHAR* Data() const { return data_; }

 private:
  UCHAR* data_;
};

struct Sent {
  NTSTATUS status;
  ULONG_PTR information;
};

NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The IRP is the client's: it frees it once the wait is over.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// One request to the top of the provider's stack, from kernel mode, waited
// for. For an internal I/O control `code` and the buffers as a kernel-mode
// caller passes them: input behind Type3InputBuffer, output at UserBuffer.
Sent Send(PDEVICE_OBJECT provider, UCHAR major, FILE_OBJECT* file, ULONG code, void* input,
          ULONG inputLength, void* output, ULONG outputLength) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(provider);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return Sent{STATUS_INSUFFICIENT_RESOURCES, 0};
  }
  irp->RequestorMode = KernelMode;
  irp->UserBuffer = output;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, Completed, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(top, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  Sent sent{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return sent;
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A request's answer: the result of the request sent, then `extra` bytes
// the caller put behind it in the system buffer.
NTSTATUS Answer(PIRP irp, UCHAR* buffer, Sent sent, ULONG extra) {
  ClientResult result{ULONG(sent.status), ULONG(sent.information)};
  RtlCopyMemory(buffer, &result, sizeof(result));
  return Finish(irp, STATUS_SUCCESS, sizeof(result) + extra);
}

void CloseClient(PDEVICE_OBJECT provider, Client* client) {
  Send(provider, IRP_MJ_CLEANUP, &client->file, 0, nullptr, 0, nullptr, 0);
  Send(provider, IRP_MJ_CLOSE, &client->file, 0, nullptr, 0, nullptr, 0);
  sim::SimFree(client);
}

NTSTATUS Control(PDEVICE_OBJECT provider, PIRP irp, PIO_STACK_LOCATION stack) {
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  PFILE_OBJECT handle = stack->FileObject;
  Client* client = static_cast<Client*>(handle->FsContext);
  if (outLength < sizeof(ClientResult) || buffer == nullptr)
    return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);

  if (code == kClientOpen) {
    if (client != nullptr)
      return Finish(irp, STATUS_INVALID_DEVICE_STATE, 0);
    client = static_cast<Client*>(sim::SimAlloc(sizeof(Client)));
    if (client == nullptr)
      return Finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    client->file.Type = IO_TYPE_FILE;
    client->file.Size = sizeof(FILE_OBJECT);
    client->file.DeviceObject = provider;
    Sent sent = Send(provider, IRP_MJ_CREATE, &client->file, 0, nullptr, 0, nullptr, 0);
    if (NT_SUCCESS(sent.status)) {
      handle->FsContext = client;
    } else {
      sim::SimFree(client);
    }
    return Answer(irp, buffer, sent, 0);
  }
  if (client == nullptr)
    return Finish(irp, STATUS_INVALID_DEVICE_STATE, 0);
  if (code == kClientClose) {
    handle->FsContext = nullptr;
    CloseClient(provider, client);
    return Answer(irp, buffer, Sent{STATUS_SUCCESS, 0}, 0);
  }

  if (code == kClientControl) {
    ClientControl head;
    if (inLength < sizeof(head))
      return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(&head, buffer, sizeof(head));
    if (head.inputLength > kClientMaxData || head.outputLength > kClientMaxData ||
        inLength - sizeof(head) < head.inputLength ||
        outLength - sizeof(ClientResult) < head.outputLength) {
      return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    PoolCopy input(buffer + sizeof(head), head.inputLength);
    PoolCopy output(nullptr, head.outputLength);
    if (input.Data() == nullptr || output.Data() == nullptr)
      return Answer(irp, buffer, Sent{STATUS_INSUFFICIENT_RESOURCES, 0}, 0);
    Sent sent = Send(provider, IRP_MJ_INTERNAL_DEVICE_CONTROL, &client->file, head.code,
                     head.inputLength != 0 ? input.Data() : nullptr, head.inputLength,
                     head.outputLength != 0 ? output.Data() : nullptr, head.outputLength);
    RtlCopyMemory(buffer + sizeof(ClientResult), output.Data(), head.outputLength);
    return Answer(irp, buffer, sent, head.outputLength);
  }

  if (code == kClientPut) {
    ClientMessage head;
    if (inLength < sizeof(head))
      return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(&head, buffer, sizeof(head));
    if (head.messageLength > kClientMaxData || head.payloadLength > kClientMaxData ||
        inLength - sizeof(head) < head.messageLength + head.payloadLength) {
      return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    // The message and its payload apart, each in pool, as a client keeps
    // them; the block points at both.
    PoolCopy message(buffer + sizeof(head), head.messageLength);
    PoolCopy payload(buffer + sizeof(head) + head.messageLength, head.payloadLength);
    if (message.Data() == nullptr || payload.Data() == nullptr)
      return Answer(irp, buffer, Sent{STATUS_INSUFFICIENT_RESOURCES, 0}, 0);
    sim::ParameterBlock block;
    block.message = ULONG(ULONG_PTR(message.Data()));
    block.b3Data = head.payloadLength != 0 ? ULONG(ULONG_PTR(payload.Data())) : 0;
    return Answer(irp, buffer,
                  Send(provider, IRP_MJ_INTERNAL_DEVICE_CONTROL, &client->file,
                       sim::kCapiPutMessage, &block, sizeof(block), nullptr, 0),
                  0);
  }

  if (code == kClientGet) {
    sim::ParameterBlock block = {0, 0};
    Sent sent = Send(provider, IRP_MJ_INTERNAL_DEVICE_CONTROL, &client->file,
                     sim::kCapiGetMessage, &block, sizeof(block), nullptr, 0);
    ClientMessage head{0, 0};
    const UCHAR* message = reinterpret_cast<const UCHAR*>(ULONG_PTR(block.message));
    const UCHAR* payload = reinterpret_cast<const UCHAR*>(ULONG_PTR(block.b3Data));
    // The provider keeps what it returned until this client's next get.
    if (NT_SUCCESS(sent.status) && message != nullptr) {
      head.messageLength = message[0] | ULONG(message[1]) << 8;
      if (payload != nullptr && head.messageLength >= sim::kDataB3Bytes) {
        head.payloadLength = message[sim::kDataB3LengthOffset] |
                             ULONG(message[sim::kDataB3LengthOffset + 1]) << 8;
      }
    }
    ULONG room = outLength - sizeof(ClientResult) - sizeof(head);
    if (outLength < sizeof(ClientResult) + sizeof(head) ||
        room < head.messageLength + head.payloadLength) {
      return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    UCHAR* at = buffer + sizeof(ClientResult);
    RtlCopyMemory(at, &head, sizeof(head));
    if (head.messageLength != 0)
      RtlCopyMemory(at + sizeof(head), message, head.messageLength);
    if (head.payloadLength != 0)
      RtlCopyMemory(at + sizeof(head) + head.messageLength, payload, head.payloadLength);
    return Answer(irp, buffer, sent, sizeof(head) + head.messageLength + head.payloadLength);
  }
  return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

NTSTATUS KernelClient::Create(PDRIVER_OBJECT driver, PDEVICE_OBJECT provider,
                              PDEVICE_OBJECT* created) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kClientDeviceName);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status))
    return status;
  static_cast<Extension*>(device->DeviceExtension)->provider = provider;
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kClientLinkName);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *created = device;
  return STATUS_SUCCESS;
}

void KernelClient::Delete(PDEVICE_OBJECT device) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kClientLinkName);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(device);
}

NTSTATUS KernelClient::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT provider = static_cast<Extension*>(device->DeviceExtension)->provider;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      return Control(provider, irp, stack);
    case IRP_MJ_CLOSE:
      // A client whose program ended without kClientClose (Wine sends no
      // cleanup, so the close is the last word of a handle there).
      if (Client* client = static_cast<Client*>(stack->FileObject->FsContext)) {
        stack->FileObject->FsContext = nullptr;
        CloseClient(provider, client);
      }
      return Finish(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
      return Finish(irp, STATUS_SUCCESS, 0);
    default:
      return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

}  // namespace capisim

#include "trace/InternalRequest.h"

#include "framework/SystemRoutines.h"

namespace {

// Keeps the request with its sender, which reads the status and frees it.
NTSTATUS NTAPI InternalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  static_cast<InternalRequest*>(context)->done.Set(IO_NO_INCREMENT);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS sendInternalIoctl(InternalRequest* request, ULONG code, PVOID buffer, ULONG outputLength,
                           ULONG inputValue) {
  PIRP irp = IoAllocateIrp(request->targetDevice->StackSize, FALSE);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  next->Parameters.DeviceIoControl.InputBufferLength = 0;
  if (inputValue != 0) {
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(ULONG);
    *static_cast<ULONG*>(buffer) = inputValue;
  }
  next->DeviceObject = request->targetDevice;
  next->FileObject = request->targetFile;
  irp->AssociatedIrp.SystemBuffer = buffer;

  // The sender goes on as soon as the routine has set its event, and may
  // let the unload go on while the routine still returns: set with
  // IoSetCompletionRoutineEx where it can be (Windows XP on), which keeps
  // the driver loaded until then.
  SystemRoutines::SetCompletionRoutineExRoutine unloadSafe = SystemRoutines::SetCompletionRoutineEx();
  if (unloadSafe == NULL || request->ownDevice == NULL ||
      !NT_SUCCESS(unloadSafe(request->ownDevice, irp, &InternalCompletion, request, TRUE, TRUE,
                             TRUE)))
    IoSetCompletionRoutine(irp, &InternalCompletion, request, TRUE, TRUE, TRUE);
  IoCallDriver(request->targetDevice, irp);
  // Whatever the call returned, the completion routine has run or will run.
  request->done.Wait();

  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

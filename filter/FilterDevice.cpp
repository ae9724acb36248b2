#include "filter/FilterDevice.h"

#include "filter/RetiredFilter.h"
#include "framework/Driver.h"
#include "framework/Interlocked.h"
#include "framework/SystemRoutines.h"

namespace {

// All access rights to the target: the filter sends it requests of every
// kind (the target query's I/O controls among them).
constexpr ACCESS_MASK TARGET_ACCESS = 0x001F03FF;

// Flags of the target that say nothing about the filter's own device
// object: it has no name, and it is readied when it attaches.
// (0x40 is DO_DEVICE_HAS_NAME, which the kernel sets for named devices.)
constexpr ULONG DEVICE_HAS_NAME = 0x00000040;
constexpr ULONG TARGET_FLAGS_NOT_COPIED = DEVICE_HAS_NAME | DO_DEVICE_INITIALIZING;

bool IsKernelModeOpen(PIRP irp, PIO_STACK_LOCATION stack) {
  return stack->MajorFunction == IRP_MJ_CREATE && irp->RequestorMode == KernelMode;
}

}  // namespace

FilterDevice::FilterDevice(PCWSTR deviceName, PCWSTR target, NTSTATUS* status)
    : targetDriver(NULL),
      lowerDevice(NULL),
      targetFile(NULL),
      attached(FALSE),
      tracing(FALSE),
      outstanding(0),
      detaching(0),
      detached(NotificationEvent, false),
      everAttached(FALSE),
      retired(FALSE) {
  targetName.Assign(target != NULL ? target : L"");
  if (!NT_SUCCESS(targetName.Status())) {
    *status = targetName.Status();
    return;
  }
  // Without a target name there is nothing to open: the kernel would be
  // handed no path at all.
  if (target == NULL) {
    *status = STATUS_DEVICE_DOES_NOT_EXIST;
    return;
  }
  CountedString path;
  if (target[0] != L'\\')
    path.Append(L"\\Device\\");
  path.Append(target);
  if (!NT_SUCCESS(path.Status())) {
    *status = path.Status();
    return;
  }
  PFILE_OBJECT file = NULL;
  PDEVICE_OBJECT device = NULL;
  NTSTATUS opened = IoGetDeviceObjectPointer(path.Unicode(), TARGET_ACCESS, &file, &device);
  if (!NT_SUCCESS(opened)) {
    *status = (opened == STATUS_OBJECT_NAME_NOT_FOUND || opened == STATUS_OBJECT_NAME_INVALID)
                  ? STATUS_DEVICE_DOES_NOT_EXIST
                  : opened;
    return;
  }
  targetFile = file;
  lowerDevice = device;
  targetDriver = device->DriverObject;
  *status = CreateDeviceObject(deviceName, device->DeviceType, device->Characteristics, FALSE,
                               device->Flags & ~TARGET_FLAGS_NOT_COPIED);
}

FilterDevice::~FilterDevice() {
  RetireDeviceObject();
  deviceGuard.ReleaseAndWait();
  if (attached)
    Detach();
  if (targetFile != NULL) {
    ObfDereferenceObject(targetFile);
    targetFile = NULL;
  }
  attachGuard.ReleaseAndWait();
  // Then, as members go: kernelOpens (empty once Detach has waited),
  // targetName; then the Device part, which deletes the device object if
  // it is still ours.
}

void FilterDevice::RetireDeviceObject() {
  if (retired)
    return;
  retired = TRUE;
  // A device object that has been in the stack may still be called by a
  // request that found it there before the detach: it stays, passing
  // requests on, until the driver unloads. One that never was can be
  // reached by nobody.
  if (!everAttached || deviceObject == NULL)
    return;
  if (RetiredFilter::Retire(deviceObject, lowerDevice))
    deviceObject = NULL;
  theDriver->WaitForDispatchers();
}

void FilterDevice::Attach() {
  if (!NT_SUCCESS(attachGuard.Acquire()))
    return;
  if (deviceObject == NULL || lowerDevice == NULL) {
    attachGuard.Release();
    return;
  }
  deviceObject->AlignmentRequirement = lowerDevice->AlignmentRequirement;
  PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(deviceObject, lowerDevice);
  if (below == NULL) {
    // Not attached: the filter stays as it was (the target still open,
    // lowerDevice still the target) and a later start may try again.
    attachGuard.Release();
    return;
  }
  lowerDevice = below;
  // Created after the driver's entry: the I/O manager readies only the
  // devices made there.
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  attached = TRUE;
  everAttached = TRUE;
  if (targetFile != NULL) {
    ObfDereferenceObject(targetFile);
    targetFile = NULL;
  }
  // The reference taken above stays for as long as the filter is attached.
}

void FilterDevice::Detach() {
  if (Interlocked::Exchange(&detaching, 1) != 0) {
    detached.Wait();
    return;
  }
  attachGuard.Release();
  attachGuard.ReleaseAndWait();
  IoDetachDevice(lowerDevice);
  attached = FALSE;
  detached.Set();
}

void FilterDevice::EnableTracing() {
  if (!attached)
    Attach();
  tracing = attached;
}

NTSTATUS FilterDevice::CompleteHere(PIRP irp, NTSTATUS status) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
    PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FilterDevice::PassOn(PDEVICE_OBJECT lower, PIRP irp, bool power) {
  return power ? PoCallDriver(lower, irp) : IofCallDriver(lower, irp);
}

bool FilterDevice::RecordKernelOpen(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* status) {
  if (!NT_SUCCESS(attachGuard.Acquire())) {
    *status = CompleteHere(irp, STATUS_DELETE_PENDING);
    return false;
  }
  NTSTATUS added = kernelOpens.Add(reinterpret_cast<ULONG_PTR>(stack->FileObject));
  if (!NT_SUCCESS(added)) {
    // An open that Detach could not wait for must not go through: its
    // client would keep sending to a filter that may be gone. It fails
    // instead, and holds nothing.
    attachGuard.Release();
    *status = CompleteHere(irp, added);
    return false;
  }
  Interlocked::Increment(&outstanding);
  return true;
}

void FilterDevice::ForgetFailedOpen(PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!kernelOpens.RemoveFirst(reinterpret_cast<ULONG_PTR>(file)))
    return;
  Interlocked::Decrement(&outstanding);
  // Last: the open's reference may be what keeps this object alive.
  attachGuard.Release();
}

NTSTATUS FilterDevice::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR major = stack->MajorFunction;
  bool power = major == IRP_MJ_POWER;
  // Only an attached filter (or a kernel-mode client that opened through
  // it) sends anything here; a filter without a device below completes
  // the request itself rather than pass it to nothing.
  PDEVICE_OBJECT lower = lowerDevice;
  if (lower == NULL)
    return CompleteHere(irp, STATUS_INVALID_DEVICE_REQUEST);

  bool recordedOpen = false;
  if (IsKernelModeOpen(irp, stack)) {
    NTSTATUS refused;
    if (!RecordKernelOpen(irp, stack, &refused))
      return refused;
    recordedOpen = true;
  }
  if (major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE)
    Detach();

  bool traced = tracing && NT_SUCCESS(deviceGuard.Acquire());
  if (major == IRP_MJ_CLOSE &&
      kernelOpens.RemoveFirst(reinterpret_cast<ULONG_PTR>(stack->FileObject))) {
    Interlocked::Decrement(&outstanding);
    // Without a reference of our own on deviceGuard, this release may let
    // the destruction go on: only locals are used after it.
    attachGuard.Release();
  }
  if (traced)
    return TracedPath(irp, stack, recordedOpen);

  if (recordedOpen) {
    // Watched for failure only: a failed open has no close to forget it.
    // The open's reference on attachGuard keeps this object alive until the
    // routine has run.
    WatchCompletion(irp, stack, OpenCompletion);
  } else {
    if (power)
      PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
  }
  return PassOn(lower, irp, power);
}

NTSTATUS FilterDevice::TracedPath(PIRP irp, PIO_STACK_LOCATION stack, bool recordedOpen) {
  bool power = stack->MajorFunction == IRP_MJ_POWER;
  PDEVICE_OBJECT lower = lowerDevice;
  Interlocked::Increment(&outstanding);
  if (OnRequest(irp)) {
    // The deviceGuard reference and the outstanding count stay taken until
    // FilterCompletion has run.
    WatchCompletion(irp, stack, FilterCompletion);
    return PassOn(lower, irp, power);
  }
  if (recordedOpen) {
    WatchCompletion(irp, stack, OpenCompletion);
  } else {
    if (power)
      PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
  }
  Interlocked::Decrement(&outstanding);
  deviceGuard.Release();
  return PassOn(lower, irp, power);
}

void FilterDevice::WatchCompletion(PIRP irp, PIO_STACK_LOCATION stack,
                                   PIO_COMPLETION_ROUTINE routine) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  // Both routines end with a release that can let the unload go on while
  // their last instructions still run. IoSetCompletionRoutineEx (Windows XP
  // on) holds a reference on this device object, and so keeps the image
  // mapped, until the routine has returned. Where the system lacks it, or
  // its small allocation fails, the plain routine: the window stays open
  // there.
  SystemRoutines::SetCompletionRoutineExRoutine unloadSafe = SystemRoutines::SetCompletionRoutineEx();
  if (unloadSafe != NULL &&
      NT_SUCCESS(unloadSafe(stack->DeviceObject, irp, routine, this, TRUE, TRUE, TRUE)))
    return;
  IoSetCompletionRoutine(irp, routine, this, TRUE, TRUE, TRUE);
}

NTSTATUS NTAPI FilterDevice::FilterCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  FilterDevice* self = static_cast<FilterDevice*>(context);
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  NTSTATUS result = self->tracing ? self->OnCompletion(irp) : STATUS_SUCCESS;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER)
    PoStartNextPowerIrp(irp);
  if (IsKernelModeOpen(irp, stack) && !NT_SUCCESS(irp->IoStatus.Status))
    self->ForgetFailedOpen(irp);
  Interlocked::Decrement(&self->outstanding);
  // Last: once given back, the destruction may go on.
  self->deviceGuard.Release();
  return result;
}

NTSTATUS NTAPI FilterDevice::OpenCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  if (!NT_SUCCESS(irp->IoStatus.Status))
    static_cast<FilterDevice*>(context)->ForgetFailedOpen(irp);
  return STATUS_SUCCESS;
}

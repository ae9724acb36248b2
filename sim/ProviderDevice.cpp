// The provider's device: requests in, answers out, completion at once or
// from a DPC; and its end, with every pending request accounted for.
#include "sim/ProviderDevice.h"

#include "sim/CapiProvider.h"
#include "sim/SimPool.h"

namespace sim {
namespace {

// Lives as long as the device object: after unload, a file still open
// brings its cleanup and close here, and they must find out that the
// provider is gone without touching it.
struct DeviceExtension {
  CapiProvider* provider;
  KSPIN_LOCK lock;
  // Dispatch routines under way, plus one per completion pass armed (timer
  // or DPC) or running. Unload waits for 0.
  LONG busy;
  BOOLEAN unloading;
  BOOLEAN scheduled;  // a pass is armed and has not taken the pending list yet
  KEVENT idle;        // set when busy drops to 0 during unload
  KDPC dpc;
  KTIMER timer;
  LIST_ENTRY pending;  // requests marked pending, by Tail.Overlay.ListEntry
  ULONG pendingCount;
  ULONG completedLater;
  ULONG cancelled;  // by unload, or refused while it ran
  const ProviderSettings* settings;
  ProviderDevice::RemovedRoutine removed;
};

DeviceExtension* ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<DeviceExtension*>(device->DeviceExtension);
}

UNICODE_STRING Unicode(const char16_t* text) {
  UNICODE_STRING unicode;
  RtlInitUnicodeString(&unicode, reinterpret_cast<PCWSTR>(text));
  return unicode;
}

bool Enter(DeviceExtension* ext) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  bool open = !ext->unloading;
  if (open)
    ++ext->busy;
  KeReleaseSpinLock(&ext->lock, irql);
  return open;
}

// Gives back one count of `busy` (lock held). True when unload waits for
// exactly this one: the caller then sets `idle` after releasing the lock,
// as the last thing it does with the extension.
bool LeaveLocked(DeviceExtension* ext) {
  --ext->busy;
  return ext->unloading && ext->busy == 0;
}

void Leave(DeviceExtension* ext) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  bool last = LeaveLocked(ext);
  KeReleaseSpinLock(&ext->lock, irql);
  if (last)
    KeSetEvent(&ext->idle, IO_NO_INCREMENT, FALSE);
}

// Moves every pending request to `batch` (lock held), counted as completed
// before they complete, so that a caller woken by its completion finds
// itself counted.
void TakePendingLocked(DeviceExtension* ext, LIST_ENTRY* batch) {
  InitializeListHead(batch);
  while (!IsListEmpty(&ext->pending)) InsertTailList(batch, RemoveHeadList(&ext->pending));
  ext->completedLater += ext->pendingCount;
  ext->pendingCount = 0;
}

void CompleteBatch(LIST_ENTRY* batch) {
  while (!IsListEmpty(batch)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(batch), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// One completion pass: the requests pending when it starts are completed;
// those that arrive meanwhile schedule a pass of their own, so that each
// waits for its own timer.
VOID NTAPI CompletePending(PKDPC, PVOID context, PVOID, PVOID) {
  auto* ext = static_cast<DeviceExtension*>(context);
  LIST_ENTRY batch;
  KeAcquireSpinLockAtDpcLevel(&ext->lock);
  TakePendingLocked(ext, &batch);
  ext->scheduled = FALSE;
  KeReleaseSpinLockFromDpcLevel(&ext->lock);

  CompleteBatch(&batch);

  KeAcquireSpinLockAtDpcLevel(&ext->lock);
  bool last = LeaveLocked(ext);
  KeReleaseSpinLockFromDpcLevel(&ext->lock);
  if (last)
    KeSetEvent(&ext->idle, IO_NO_INCREMENT, FALSE);
}

// Queues a request whose status and information are set, marked pending,
// for the completion DPC, and schedules a pass unless one is scheduled.
// Armed under the lock, so that unload always finds the timer or DPC it
// has to cancel. False once unload has begun: nothing is armed then, and
// the caller completes the request itself.
bool QueuePending(DeviceExtension* ext, PIRP irp, ULONG delayMs) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  if (ext->unloading) {
    ++ext->cancelled;
    KeReleaseSpinLock(&ext->lock, irql);
    return false;
  }
  InsertTailList(&ext->pending, &irp->Tail.Overlay.ListEntry);
  ++ext->pendingCount;
  // Held until the driver's own CompleteNow: nothing to arm.
  if (!ext->scheduled && delayMs != kCompleteWhenTold) {
    ext->scheduled = TRUE;
    ++ext->busy;
    if (delayMs == 0) {
      KeInsertQueueDpc(&ext->dpc, nullptr, nullptr);
    } else {
      LARGE_INTEGER due;
      due.QuadPart = -LONGLONG(delayMs) * 10000;
      KeSetTimer(&ext->timer, due, &ext->dpc);
    }
  }
  KeReleaseSpinLock(&ext->lock, irql);
  return true;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  DeviceExtension* ext = ExtensionOf(device);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_POWER) {
    // The bottom of the stack: nothing to power, the next power request
    // may come.
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  }
  if (major == IRP_MJ_PNP) {
    // The bottom of the stack, removed: the request succeeds, then the
    // device goes as at unload (pending requests cancelled, later ones
    // on handles still open refused) while the driver stays loaded.
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
      Complete(irp, STATUS_SUCCESS);
      ProviderDevice::RemovedRoutine removed = ext->removed;
      ULONG cancelled = ProviderDevice::Retire(device);
      if (removed != nullptr)
        removed(device, cancelled);
      return STATUS_SUCCESS;
    }
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
  if (!Enter(ext)) {
    bool closing = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    return Complete(irp, closing ? STATUS_SUCCESS : STATUS_DELETE_PENDING);
  }
  CapiProvider* provider = ext->provider;
  ULONG_PTR information = 0;
  int kind = -1;
  NTSTATUS status = provider->Handle(irp, &information, &kind);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  const ProviderSettings& settings = *ext->settings;
  if (kind >= 0 && settings.pending[size_t(kind)]) {
    IoMarkIrpPending(irp);
    if (!QueuePending(ext, irp, settings.pendingDelayMs))
      Complete(irp, STATUS_CANCELLED);  // unload has begun: no DPC will come
    Leave(ext);
    return STATUS_PENDING;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  Leave(ext);
  return status;
}

}  // namespace

ULONG ProviderDevice::Retire(PDEVICE_OBJECT device) {
  DeviceExtension* ext = ExtensionOf(device);

  // No new request gets in; the pending ones are taken over, and the
  // completion pass is cancelled if it has not started.
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  ext->unloading = TRUE;
  while (!IsListEmpty(&ext->pending)) InsertTailList(&cancelled, RemoveHeadList(&ext->pending));
  ext->pendingCount = 0;
  if (ext->scheduled && (KeCancelTimer(&ext->timer) || KeRemoveQueueDpc(&ext->dpc))) {
    ext->scheduled = FALSE;
    --ext->busy;
  }
  KeReleaseSpinLock(&ext->lock, irql);

  ULONG count = 0;
  while (!IsListEmpty(&cancelled)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
    Complete(irp, STATUS_CANCELLED);
    ++count;
  }

  // A dispatch routine still under way, or a DPC that had already started,
  // finishes before the provider goes.
  KeAcquireSpinLock(&ext->lock, &irql);
  bool wait = ext->busy != 0;
  KeReleaseSpinLock(&ext->lock, irql);
  if (wait)
    KeWaitForSingleObject(&ext->idle, Executive, KernelMode, FALSE, nullptr);
  // The DPC signalled that wait on its way out: let it return first.
  KeFlushQueuedDpcs();
  count += ext->cancelled;

  SimDelete(ext->provider);
  ext->provider = nullptr;
  UNICODE_STRING link = Unicode(kCapiLinkName);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(device);
  return count;
}


NTSTATUS ProviderDevice::Create(PDRIVER_OBJECT driver, const ProviderSettings* settings,
                                RemovedRoutine removed, PDEVICE_OBJECT* created) {
  for (auto& major : driver->MajorFunction) major = Dispatch;

  UNICODE_STRING name = Unicode(kCapiDeviceName);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device);
  if (!NT_SUCCESS(status))
    return status;
  DeviceExtension* ext = ExtensionOf(device);
  RtlZeroMemory(ext, sizeof(*ext));
  KeInitializeSpinLock(&ext->lock);
  KeInitializeEvent(&ext->idle, NotificationEvent, FALSE);
  KeInitializeDpc(&ext->dpc, CompletePending, ext);
  KeInitializeTimer(&ext->timer);
  InitializeListHead(&ext->pending);
  ext->settings = settings;
  ext->removed = removed;
  ext->provider = SimNew<CapiProvider>(settings);
  if (ext->provider == nullptr) {
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UNICODE_STRING link = Unicode(kCapiLinkName);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    SimDelete(ext->provider);
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= settings->directIo ? DO_DIRECT_IO : DO_BUFFERED_IO;
  *created = device;
  return STATUS_SUCCESS;
}

ULONG ProviderDevice::CompleteNow(PDEVICE_OBJECT device) {
  DeviceExtension* ext = ExtensionOf(device);
  if (!Enter(ext))
    return 0;
  LIST_ENTRY batch;
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  const ULONG count = ext->pendingCount;
  TakePendingLocked(ext, &batch);
  KeReleaseSpinLock(&ext->lock, irql);
  CompleteBatch(&batch);
  Leave(ext);
  return count;
}

CapiProvider* ProviderDevice::Provider(PDEVICE_OBJECT device) {
  return ExtensionOf(device)->provider;
}

void ProviderDevice::PendingCounts(PDEVICE_OBJECT device, ULONG* pending, ULONG* completedLater) {
  DeviceExtension* ext = ExtensionOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  *pending = ext->pendingCount;
  *completedLater = ext->completedLater;
  KeReleaseSpinLock(&ext->lock, irql);
}

}  // namespace sim

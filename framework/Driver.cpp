#include "framework/Driver.h"

#include "framework/Device.h"
#include "framework/EntryPoints.h"
#include "framework/Interlocked.h"
#include "framework/RegistryValue.h"

Driver* theDriver;

Driver::Driver()
    : driverObject(NULL),
      deviceCount(0),
      dispatchEpoch(0),
      ownerReaders{0, 0},
      drainWaiting(0),
      drained(SynchronizationEvent, false) {
  theDriver = this;
}

Driver::~Driver() {
  theDriver = NULL;
  driverObject = NULL;
  if (ServiceKeyPath() == registryPath.Unicode())
    SetServiceKeyPath(NULL);
  registryPath.Clear();
}

void Driver::Route(UCHAR majorFunction) {
  driverObject->MajorFunction[majorFunction] = CommonDispatch;
}

void Driver::SetDispatch() {
  Route(IRP_MJ_CREATE);
  Route(IRP_MJ_CLOSE);
  Route(IRP_MJ_READ);
  Route(IRP_MJ_WRITE);
  Route(IRP_MJ_DEVICE_CONTROL);
}

NTSTATUS Driver::DispatchRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
  // From reading the owner to holding (or being refused) its guard, this
  // request is counted, so that an owner being replaced can wait for it.
  LONG parity = __atomic_load_n(&dispatchEpoch, __ATOMIC_SEQ_CST) & 1;
  Interlocked::Increment(&ownerReaders[parity]);
  Device* device = Device::FromDeviceObject(deviceObject);
  NTSTATUS acquired = device != NULL ? device->Guard().Acquire() : STATUS_DELETE_PENDING;
  if (Interlocked::Decrement(&ownerReaders[parity]) == 0 && drainWaiting)
    drained.Set();
  if (device == NULL) {
    // A device object whose owner is not stored yet (or not ours): there is
    // nobody to hand the request to.
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
      PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // Dispatch runs even when the guard refuses (the device is going): the
  // device decides what to do with the request then.
  NTSTATUS status = device->Dispatch(irp);
  if (NT_SUCCESS(acquired))
    device->Guard().Release();
  return status;
}

void Driver::WaitForDispatchers() {
  LONG old = Interlocked::ExchangeAdd(&dispatchEpoch, 1) & 1;
  Interlocked::Exchange(&drainWaiting, 1);
  // The event may hold a set left from an earlier wait: every wake-up looks
  // at the count again.
  while (__atomic_load_n(&ownerReaders[old], __ATOMIC_SEQ_CST) != 0) drained.Wait();
  Interlocked::Exchange(&drainWaiting, 0);
}

NTSTATUS Driver::Load(PDRIVER_OBJECT kernelDriver, PUNICODE_STRING path) {
  driverObject = kernelDriver;
  kernelDriver->DriverUnload = DriverUnloadRoutine;
  kernelDriver->DriverExtension->AddDevice = AddDeviceRoutine;
  SetDispatch();
  Route(IRP_MJ_PNP);
  Route(IRP_MJ_POWER);
  Route(IRP_MJ_SYSTEM_CONTROL);
  registryPath.Assign(path);
  if (!NT_SUCCESS(registryPath.Status()))
    return registryPath.Status();
  SetServiceKeyPath(registryPath.Unicode());
  NTSTATUS status = OnLoad();
  if (!NT_SUCCESS(status))
    return status;
  return StartDriver();
}

NTSTATUS Driver::AddDeviceCounted(PDEVICE_OBJECT physicalDevice) {
  Interlocked::ExchangeAdd(&deviceCount, 1);
  NTSTATUS status = AddDevice(physicalDevice);
  if (!NT_SUCCESS(status)) {
    if (Interlocked::ExchangeAdd(&deviceCount, -1) == 1)
      Cleanup();
  }
  return status;
}

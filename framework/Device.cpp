#include "framework/Device.h"

#include "framework/CountedString.h"
#include "framework/Driver.h"
#include "framework/RequestView.h"

Device::Device() : deviceObject(NULL) {}

Device::Device(PCWSTR name, DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive, ULONG flags,
               NTSTATUS* status)
    : deviceObject(NULL) {
  *status = CreateDeviceObject(name, type, characteristics, exclusive, flags);
}

Device::~Device() {
  deviceGuard.ReleaseAndWait();
  if (deviceObject != NULL) {
    IoDeleteDevice(deviceObject);
    deviceObject = NULL;
  }
}

NTSTATUS Device::CreateDeviceObject(PCWSTR name, DEVICE_TYPE type, ULONG characteristics,
                                    BOOLEAN exclusive, ULONG flags) {
  CountedString path;
  if (name != NULL) {
    path.Append(L"\\Device\\");
    path.Append(name);
    if (!NT_SUCCESS(path.Status()))
      return path.Status();
  }
  // The device extension is one pointer, back to this Device.
  // NOLINTNEXTLINE(bugprone-sizeof-expression): the extension is that pointer, not the object
  NTSTATUS status = IoCreateDevice(theDriver->DriverObject(), sizeof(Device*),
                                   name != NULL ? path.Unicode() : NULL, type, characteristics,
                                   exclusive, &deviceObject);
  if (!NT_SUCCESS(status)) {
    deviceObject = NULL;
    return status;
  }
  *static_cast<Device**>(deviceObject->DeviceExtension) = this;
  deviceObject->Flags |= flags;
  return status;
}

NTSTATUS Device::Dispatch(PIRP irp) {
  RequestView view(irp);
  // A power request completed here still lets the next one start.
  if (view.MajorFunction() == IRP_MJ_POWER)
    PoStartNextPowerIrp(irp);
  view.SetResult(STATUS_SUCCESS, 0);
  view.Complete();
  return STATUS_SUCCESS;
}

Device* Device::FromDeviceObject(PDEVICE_OBJECT deviceObject) {
  if (deviceObject == NULL || deviceObject->DeviceExtension == NULL)
    return NULL;
  return *static_cast<Device**>(deviceObject->DeviceExtension);
}

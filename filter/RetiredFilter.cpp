#include "filter/RetiredFilter.h"

RetiredFilter* RetiredFilter::retired;

RetiredFilter::RetiredFilter(PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
    : lowerDevice(lower), next(retired) {
  deviceObject = device;
}

bool RetiredFilter::Retire(PDEVICE_OBJECT device, PDEVICE_OBJECT lower) {
  RetiredFilter* owner = new RetiredFilter(device, lower);
  Device* volatile* extension = static_cast<Device* volatile*>(device->DeviceExtension);
  if (owner == NULL) {
    *extension = NULL;
    return false;
  }
  *extension = owner;
  retired = owner;
  return true;
}

void RetiredFilter::DestroyAll() {
  while (retired != NULL) {
    RetiredFilter* owner = retired;
    retired = owner->next;
    delete owner;
  }
}

ULONG RetiredFilter::Count() {
  ULONG count = 0;
  for (RetiredFilter* owner = retired; owner != NULL; owner = owner->next) ++count;
  return count;
}

NTSTATUS RetiredFilter::Dispatch(PIRP irp) {
  bool power = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  if (power)
    PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return power ? PoCallDriver(lowerDevice, irp) : IofCallDriver(lowerDevice, irp);
}

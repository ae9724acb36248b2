#include "framework/SymlinkDevice.h"

SymlinkDevice::SymlinkDevice(PCWSTR deviceName, PCWSTR link, DEVICE_TYPE type,
                             ULONG characteristics, BOOLEAN exclusive, ULONG flags,
                             NTSTATUS* status)
    : Device(deviceName, type, characteristics, exclusive, flags, status), linkCreated(FALSE) {
  if (!NT_SUCCESS(*status))
    return;
  CountedString devicePath(L"\\Device\\");
  devicePath.Append(deviceName);
  if (!NT_SUCCESS(devicePath.Status())) {
    *status = devicePath.Status();
    return;
  }
  linkName.Append(L"\\DosDevices\\");
  linkName.Append(link);
  if (!NT_SUCCESS(linkName.Status())) {
    *status = linkName.Status();
    return;
  }
  *status = IoCreateSymbolicLink(linkName.Unicode(), devicePath.Unicode());
  if (NT_SUCCESS(*status))
    linkCreated = TRUE;
}

SymlinkDevice::~SymlinkDevice() {
  if (linkCreated) {
    IoDeleteSymbolicLink(linkName.Unicode());
    linkCreated = FALSE;
  }
  linkName.Clear();
}

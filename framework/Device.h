// The owner of one kernel device object. The device object's 4-byte
// extension holds the pointer back to its owner, so the driver's common
// dispatch routine hands every request to the owner's Dispatch, under the
// owner's deviceGuard. Destruction waits on deviceGuard, so a Device is
// never destroyed while a request is inside its Dispatch.
#pragma once

#include <ntddk.h>

#include "framework/PoolObject.h"
#include "framework/RemoveGuard.h"

class Device : public PoolObject {
 public:
  // Without a kernel device object (a filter creates it later).
  Device();
  // With a kernel device object: CreateDeviceObject with these arguments,
  // its status in *status. The creator destroys the object whatever it is.
  Device(PCWSTR name, DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive, ULONG flags,
         NTSTATUS* status);
  // Slot 0 (Destroy): waits on deviceGuard, then deletes the device object.
  virtual ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Slot 1. The default completes every request at once with success and no
  // data.
  virtual NTSTATUS Dispatch(PIRP irp);

  // Creates the kernel device object, "\Device\<name>" or unnamed for a
  // null name, with a 4-byte extension pointing back here and `flags` ORed
  // into its flags. STATUS_INSUFFICIENT_RESOURCES when the path cannot be
  // built (nothing is created then).
  NTSTATUS CreateDeviceObject(PCWSTR name, DEVICE_TYPE type, ULONG characteristics,
                              BOOLEAN exclusive, ULONG flags);

  PDEVICE_OBJECT DeviceObject() const { return deviceObject; }
  RemoveGuard& Guard() { return deviceGuard; }

  // The owner of a kernel device object of this driver (its extension's
  // first word), or null.
  static Device* FromDeviceObject(PDEVICE_OBJECT deviceObject);

 protected:
  RemoveGuard deviceGuard;
  PDEVICE_OBJECT deviceObject;
};

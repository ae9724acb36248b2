// A device with a symbolic link under \DosDevices, through which user mode
// reaches it.
#pragma once

#include <ntddk.h>

#include "framework/CountedString.h"
#include "framework/Device.h"

class SymlinkDevice : public Device {
 public:
  // Creates "\Device\<deviceName>" and the link "\DosDevices\<linkName>" to
  // it. A failed link is reported in *status; the device object then exists
  // until the creator destroys the object, and no link is deleted.
  SymlinkDevice(PCWSTR deviceName, PCWSTR linkName, DEVICE_TYPE type, ULONG characteristics,
                BOOLEAN exclusive, ULONG flags, NTSTATUS* status);
  // Deletes the link if it was created, then the device.
  ~SymlinkDevice() override;

 protected:
  CountedString linkName;
  BOOLEAN linkCreated;
};

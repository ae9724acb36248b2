// What stays of a filter once it has been detached and destroyed: its
// kernel device object, kept until the driver unloads, passing on unchanged
// whatever still reaches it.
//
// Requests do not stop reaching a filter the moment it detaches: the I/O
// manager finds the top of a device's stack first and calls it afterwards,
// so a request may still arrive for a device object that is no longer in the
// stack. Deleting the device object at once would leave such a request
// calling freed memory; keeping it (with an owner that only passes requests
// down) costs one small block per stopped trace device until unload.
#pragma once

#include <ntddk.h>

#include "framework/Device.h"

class RetiredFilter : public Device {
 public:
  // Takes over `device`, detached from above `lower`, and points its
  // extension here; true then. If no owner can be allocated, the extension
  // is cleared instead (a late request then fails rather than reach the
  // object being destroyed) and the caller keeps the device object: false.
  // PASSIVE_LEVEL; called only under the driver's tracing lock or by its
  // clean-up, so retirements never overlap with each other or with
  // DestroyAll.
  static bool Retire(PDEVICE_OBJECT device, PDEVICE_OBJECT lower);
  // Deletes every retired device object (at unload). PASSIVE_LEVEL.
  static void DestroyAll();
  // How many device objects are kept.
  static ULONG Count();

  ~RetiredFilter() override {}
  // Passes the request on to the device below, as an untraced filter does.
  NTSTATUS Dispatch(PIRP irp) override;

 private:
  RetiredFilter(PDEVICE_OBJECT device, PDEVICE_OBJECT lower);

  PDEVICE_OBJECT lowerDevice;
  RetiredFilter* next;
  static RetiredFilter* retired;
};

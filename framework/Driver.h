// The driver object of the framework: one static object stands for the
// loaded driver, and the kernel's entry points (DriverEntry, the unload
// routine, the AddDevice routine and the common dispatch routine) find it
// through theDriver and call its virtual operations.
#pragma once

#include <ntddk.h>

#include "framework/CountedString.h"
#include "framework/Event.h"
#include "framework/PoolObject.h"

class Driver : public PoolObject {
 public:
  // Sets theDriver to this object.
  Driver();
  // Slot 0 (Destroy). Clears theDriver and driverObject, frees registryPath.
  virtual ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Slot 1: what loading adds after the registry path is kept.
  virtual NTSTATUS OnLoad() { return STATUS_SUCCESS; }
  // Slot 2: the clean-up of unloading (and of a failed AddDevice).
  virtual void Cleanup() {}
  // Slot 3: a driver that adds no device for a physical device says so.
  virtual NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice) {
    UNREFERENCED_PARAMETER(physicalDevice);
    return STATUS_NOT_IMPLEMENTED;
  }
  // Slot 4: the last step of loading.
  virtual NTSTATUS StartDriver() { return STATUS_SUCCESS; }
  // Slot 5: the first step of unloading.
  virtual void OnUnload() {}
  // Slot 6: create, close, read, write and device control.
  virtual void SetDispatch();
  // Slot 7: hands a request to the Device that owns the device object.
  virtual NTSTATUS DispatchRequest(PDEVICE_OBJECT deviceObject, PIRP irp);

  // The driver entry's work on the constructed object: stores the entry
  // points, keeps a copy of the registry path, OnLoad, StartDriver.
  NTSTATUS Load(PDRIVER_OBJECT kernelDriver, PUNICODE_STRING path);
  // The AddDevice routine's work: counts the device, and a failure that
  // brings the count back to 0 cleans up as unloading does.
  NTSTATUS AddDeviceCounted(PDEVICE_OBJECT physicalDevice);

  // Returns once every DispatchRequest that may have read a device object's
  // owner before the caller replaced it has taken its reference on that
  // owner's deviceGuard (or been refused it). An owner that is replaced and
  // then waited for here sees, in its deviceGuard's ReleaseAndWait, every
  // request that can still reach it. PASSIVE_LEVEL; never from a
  // DispatchRequest that is itself between the two steps.
  void WaitForDispatchers();

  PDRIVER_OBJECT DriverObject() const { return driverObject; }
  const CountedString& RegistryPath() const { return registryPath; }
  LONG DeviceCount() const { return deviceCount; }

 protected:
  // Registers the common dispatch routine for one major function.
  void Route(UCHAR majorFunction);

  PDRIVER_OBJECT driverObject;
  CountedString registryPath;
  volatile LONG deviceCount;

 private:
  // The gate between reading a device object's owner and acquiring its
  // deviceGuard: two counts of requests in that window, by the parity of
  // the epoch they entered in. WaitForDispatchers moves the epoch on and
  // waits until the old parity's count is 0.
  volatile LONG dispatchEpoch;
  volatile LONG ownerReaders[2];
  volatile LONG drainWaiting;
  Event drained;
};

// The one driver object, or null before its construction and after its
// destruction.
extern Driver* theDriver;

// The control device, \Device\PellinorIOCTL, reached from user mode through
// \DosDevices\PellinorWin32CTL: the only door of the control tool into the
// driver. It reports whether tracing runs, starts and stops tracing, and
// reads and writes the driver's settings in its service key, and tells the
// driver's version. It is exclusive
// (one open handle at a time) and uses buffered I/O; it never passes a
// request on.
#pragma once

#include <ntddk.h>

#include "control/TraceControlCodes.h"
#include "framework/SymlinkDevice.h"

// The codes and the state word are shared with the control tool
// (TraceControlCodes.h); here they are held to the kernel's own definitions.
static_assert(kTraceControlDeviceType == FILE_DEVICE_UNKNOWN, "device type");
static_assert(kTraceControlAccess == FILE_ANY_ACCESS, "access");
static_assert(kTraceControlMethod == METHOD_BUFFERED, "transfer method");
static_assert(IOCTL_TRACE_GET_STATE ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF00, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_TRACE_GET_STATE");
static_assert(IOCTL_TRACE_GET_LOGKEEP ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF26, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_TRACE_GET_LOGKEEP");
static_assert(IOCTL_TRACE_GET_CALLER ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF27, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_TRACE_GET_CALLER");
static_assert(IOCTL_TRACE_GET_USERMESSAGES ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF28, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_TRACE_GET_USERMESSAGES");
static_assert(IOCTL_TRACE_GET_VERSION ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF30, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_TRACE_GET_VERSION");

class ControlDevice : public SymlinkDevice {
 public:
  // Creates the device object and then the link; a failure is reported in
  // *status and the creator destroys the object whatever it is.
  explicit ControlDevice(NTSTATUS* status);
  // Slot 0 (Destroy): waits until no request is inside Dispatch, deletes the
  // link if it was created, then the device object.
  ~ControlDevice() override;

  // Slot 1. Completes every request here, at PASSIVE_LEVEL in the caller's
  // thread. A request that arrives once the device's destruction has begun
  // is refused with STATUS_DELETE_PENDING and changes nothing.
  NTSTATUS Dispatch(PIRP irp) override;

  // The shutdown notification, where the system offers it: IRP_MJ_SHUTDOWN
  // stops tracing and closes the log while the file systems still take
  // writes. A registration that fails leaves the driver without it.
  void RegisterForShutdown();
  void UnregisterForShutdown();

 private:
  NTSTATUS DeviceControl(PIRP irp, ULONG_PTR* information);

  bool shutdownRegistered;
};

// The TraceDriver's OnLoad: builds the control device. On success *device is
// the new object, for the driver to keep. A construction failure destroys
// the half-built object and returns its status (the load then fails). When
// the object cannot even be allocated the result is STATUS_SUCCESS with
// *device null: the driver runs without a control device.
NTSTATUS CreateControlDevice(ControlDevice** device);

// The TraceDriver's Cleanup, after the trace device is gone: destroys and
// frees the control device (null is allowed). The destruction waits until no
// request is inside Dispatch; a request that arrives after that changes
// nothing.
void DestroyControlDevice(ControlDevice* device);

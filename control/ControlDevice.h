// The control device, \Device\PellinorIOCTL, reached from user mode through
// \DosDevices\PellinorWin32CTL: the only door of the control tool into the
// driver. It reports whether tracing runs, starts and stops tracing, and
// reads and writes the driver's settings in its service key. It is exclusive
// (one open handle at a time) and uses buffered I/O; it never passes a
// request on.
#pragma once

#include <ntddk.h>

#include "framework/SymlinkDevice.h"

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS):
// input and output share the request's one system buffer.
constexpr ULONG TraceControlCode(ULONG function) {
  return (ULONG(FILE_DEVICE_UNKNOWN) << 16) | (ULONG(FILE_ANY_ACCESS) << 14) | (function << 2) |
         ULONG(METHOD_BUFFERED);
}

// Control requests 0xF0x, value writes 0xF1x, value reads 0xF2x; the log
// size limit (megabytes) came last, after the four first settings.
constexpr ULONG IOCTL_TRACE_GET_STATE = TraceControlCode(0xF00);
constexpr ULONG IOCTL_TRACE_START = TraceControlCode(0xF01);
constexpr ULONG IOCTL_TRACE_STOP = TraceControlCode(0xF02);
constexpr ULONG IOCTL_TRACE_SET_FLAGS = TraceControlCode(0xF11);
constexpr ULONG IOCTL_TRACE_SET_B3BYTES = TraceControlCode(0xF12);
constexpr ULONG IOCTL_TRACE_SET_LOG = TraceControlCode(0xF13);
constexpr ULONG IOCTL_TRACE_SET_TARGET = TraceControlCode(0xF14);
constexpr ULONG IOCTL_TRACE_SET_LOGLIMIT = TraceControlCode(0xF15);
constexpr ULONG IOCTL_TRACE_GET_FLAGS = TraceControlCode(0xF21);
constexpr ULONG IOCTL_TRACE_GET_B3BYTES = TraceControlCode(0xF22);
constexpr ULONG IOCTL_TRACE_GET_LOG = TraceControlCode(0xF23);
constexpr ULONG IOCTL_TRACE_GET_TARGET = TraceControlCode(0xF24);
constexpr ULONG IOCTL_TRACE_GET_LOGLIMIT = TraceControlCode(0xF25);

static_assert(IOCTL_TRACE_GET_STATE == 0x223C00, "IOCTL_TRACE_GET_STATE");
static_assert(IOCTL_TRACE_STOP == 0x223C08, "IOCTL_TRACE_STOP");
static_assert(IOCTL_TRACE_SET_FLAGS == 0x223C44, "IOCTL_TRACE_SET_FLAGS");
static_assert(IOCTL_TRACE_SET_TARGET == 0x223C50, "IOCTL_TRACE_SET_TARGET");
static_assert(IOCTL_TRACE_GET_FLAGS == 0x223C84, "IOCTL_TRACE_GET_FLAGS");
static_assert(IOCTL_TRACE_GET_TARGET == 0x223C90, "IOCTL_TRACE_GET_TARGET");
static_assert(IOCTL_TRACE_SET_LOGLIMIT == 0x223C54, "IOCTL_TRACE_SET_LOGLIMIT");
static_assert(IOCTL_TRACE_GET_LOGLIMIT == 0x223C94, "IOCTL_TRACE_GET_LOGLIMIT");

// The state word of IOCTL_TRACE_GET_STATE.
constexpr ULONG TRACE_STATE_NONE = 0;     // no trace device
constexpr ULONG TRACE_STATE_RUNNING = 1;  // the trace device traces
constexpr ULONG TRACE_STATE_STOPPED = 2;  // the trace device exists, quiet

class ControlDevice : public SymlinkDevice {
 public:
  // Creates the device object and then the link; a failure is reported in
  // *status and the creator destroys the object whatever it is.
  explicit ControlDevice(NTSTATUS* status);
  // Slot 0 (Destroy): waits until no request is inside Dispatch, deletes the
  // link if it was created, then the device object.
  virtual ~ControlDevice();

  // Slot 1. Completes every request here, at PASSIVE_LEVEL in the caller's
  // thread. A request that arrives once the device's destruction has begun
  // is refused with STATUS_DELETE_PENDING and changes nothing.
  virtual NTSTATUS Dispatch(PIRP irp);

 private:
  NTSTATUS DeviceControl(PIRP irp, ULONG_PTR* information);
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

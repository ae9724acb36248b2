// The trace driver: the one static driver object of the driver. It owns the
// trace device (the filter above the traced device), the control device,
// and the retry of the trace device's creation at load.
//
// Unfinished here, completed by the issues that bring the devices:
//  - OnLoad does not create the ControlDevice yet (it succeeds without one,
//    as it does when the control device cannot be allocated);
//  - Cleanup stops the retries but destroys no TraceDevice or ControlDevice
//    (none can exist yet);
//  - StartFilter does not read "Start" and never creates the trace device or
//    arms the retry timer; the retry work routine does nothing;
//  - TargetDriverObject returns null (there is no TraceDevice).
#pragma once

#include <ntddk.h>

#include "framework/FilterDriver.h"
#include "framework/RemoveGuard.h"
#include "framework/Timer.h"
#include "framework/WorkItem.h"

class TraceDevice;    // the filter above the traced device
class ControlDevice;  // \Device\PellinorIOCTL

class TraceDriver : public FilterDriver {
 public:
  TraceDriver();
  // Waits until no retry is pending and StartFilter has finished.
  virtual ~TraceDriver();

  virtual NTSTATUS OnLoad();
  virtual void Cleanup();
  virtual NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice);
  // Every major function from create to Plug and Play.
  virtual void SetDispatch();
  virtual PDRIVER_OBJECT TargetDriverObject();
  virtual NTSTATUS StartFilter();

  // Ends the retries for good: sets stopRetrying, cancels the timer and
  // gives back the cancelled retry's reference on driverGuard.
  void StopRetrying();

  // Tracing as the control device and the load-time start drive it. All
  // three run at PASSIVE_LEVEL in the caller's thread and are serialised
  // among themselves and with unload.
  //  - CreateTraceDevice: builds the trace device from the registry settings
  //    (STATUS_DEVICE_BUSY if one exists, STATUS_DEVICE_DOES_NOT_EXIST if the
  //    target is missing);
  //  - RestartTracing: starts tracing again on the existing trace device, or
  //    creates one;
  //  - StopTraceDevice: stops tracing and destroys the trace device when
  //    forced or idle (STATUS_DEVICE_DOES_NOT_EXIST without one).
  NTSTATUS CreateTraceDevice();
  NTSTATUS RestartTracing();
  NTSTATUS StopTraceDevice(UCHAR force);
  // TRACE_STATE_NONE (0) without a trace device, TRACE_STATE_RUNNING (1)
  // while it traces, TRACE_STATE_STOPPED (2) when it exists with tracing off.
  ULONG TraceState();

 private:
  static VOID NTAPI RetryDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  static VOID Retry(ULONG_PTR driver, ULONG_PTR unused1, ULONG_PTR unused2);

  // Swapped only by interlocked exchange. Nothing sets them until the trace
  // and control devices exist.
  [[maybe_unused]] TraceDevice* volatile traceDevice;
  [[maybe_unused]] ControlDevice* volatile controlDevice;
  Timer RetryTimer;
  WorkItem RetryWorkItem;
  RemoveGuard driverGuard;
};

// Set once by StopRetrying, never cleared.
extern volatile LONG stopRetrying;

// The driver object's entry of StaticInitTable: constructs the TraceDriver
// in static storage and registers its destructor.
void ConstructTraceDriver();

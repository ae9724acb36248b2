// The trace driver: the one static driver object of the driver. It owns the
// trace device (the filter above the traced device), the control device,
// and the retry of the trace device's creation at load.
//
// Start, stop and unload are serialised by one lock (tracingLock): a stop
// never destroys a trace device that a start is using, and the old trace
// device's log writer has closed the one log file before a new one opens
// it.
#pragma once

#include <ntddk.h>

#include "framework/Event.h"
#include "framework/FilterDriver.h"
#include "framework/RemoveGuard.h"
#include "framework/Timer.h"
#include "framework/WorkItem.h"

class TraceDevice;    // the filter above the traced device

// The retry of the trace device's creation while the target is missing.
constexpr ULONG RETRY_MILLISECONDS = 5000;
// How long the automatic start waits for a missing target before the
// system event log is told (once).
constexpr ULONG TARGET_WAIT_REPORT_MILLISECONDS = 60000;
class ControlDevice;  // \Device\PellinorIOCTL

class TraceDriver : public FilterDriver {
 public:
  TraceDriver();
  // Waits until no retry is pending and StartFilter has finished.
  ~TraceDriver() override;

  // Creates the control device ("\Device\PellinorIOCTL", link
  // "\DosDevices\PellinorWin32CTL"); its construction failure fails the load.
  NTSTATUS OnLoad() override;
  // Stops retrying, then destroys the trace device, the retired filter
  // device objects and the control device, in that order.
  void Cleanup() override;
  NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice) override;
  // Every major function from create to Plug and Play.
  void SetDispatch() override;
  // The driver object of the traced device while a trace device exists.
  // PASSIVE_LEVEL.
  PDRIVER_OBJECT TargetDriverObject() override;
  NTSTATUS StartFilter() override;

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
  //  Every failure to build the trace device, except while another exists
  //  or the driver unloads or the system shuts down, is told in the system
  //  event log; the automatic start's missing target only once it has
  //  waited a minute.
  NTSTATUS CreateTraceDevice();
  NTSTATUS RestartTracing();
  NTSTATUS StopTraceDevice(UCHAR force);
  // TRACE_STATE_NONE (0) without a trace device, TRACE_STATE_RUNNING (1)
  // while it traces, TRACE_STATE_STOPPED (2) when it exists with tracing off.
  ULONG TraceState();
  // The system shuts down (IRP_MJ_SHUTDOWN): no more retries, tracing off
  // and the log written out and closed now, while the file systems still
  // take writes. The trace device stays, passing requests through; a later
  // start is refused with STATUS_TOO_LATE. PASSIVE_LEVEL.
  void ShutdownTracing();

 private:
  static VOID NTAPI RetryDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  static VOID Retry(ULONG_PTR driver, ULONG_PTR unused1, ULONG_PTR unused2);
  void RetryOnce();
  // Arms RetryTimer; the caller's reference on driverGuard passes to the
  // pending retry.
  void ArmRetry();
  // Who asked for the trace device: the control device (or a test), the
  // automatic start at load or its retry, or a retry a minute or more
  // after load, whose missing target is told in the event log.
  enum StartCause : UCHAR { START_REQUESTED, START_AUTOMATIC, START_AUTOMATIC_WAITED };
  NTSTATUS CreateTraceDevice(StartCause cause);
  // The operations behind the public ones, called with tracingLock held.
  NTSTATUS CreateTraceDeviceLocked(StartCause cause);
  // The event log entry of a start that failed with `status`; `target` is
  // the target name read, `device` the half-built device (or null).
  void ReportStartFailure(StartCause cause, NTSTATUS status, PCWSTR target, TraceDevice* device);
  // The holder runs in a critical region for the whole hold: a control
  // request's thread belongs to the tool's process, which could otherwise
  // suspend it while it holds the lock, and every other control request
  // and the unload would wait for ever.
  void LockTracing();
  void UnlockTracing();

  // Swapped only by interlocked exchange.
  TraceDevice* volatile traceDevice;
  ControlDevice* volatile controlDevice;
  Timer RetryTimer;
  WorkItem RetryWorkItem;
  RemoveGuard driverGuard;
  // A synchronisation event used as a mutex at PASSIVE_LEVEL: signalled
  // while free, taken by a wait, given back by setting it.
  Event tracingLock;
  // Set under tracingLock by Cleanup: no trace device is built afterwards
  // (a retry that was already running when unloading began finds it).
  BOOLEAN cleanedUp;
  // Set under tracingLock by ShutdownTracing: no log is opened any more.
  BOOLEAN shutDown;
  // The retries run since load (the work item alone counts them), whether
  // the event log was told that the target is still missing, and whether
  // of a failure of the automatic start (its retry after a failure at load
  // meets the same failure: told once).
  ULONG retriesRun;
  BOOLEAN waitingReported;
  BOOLEAN automaticFailureReported;
};

// Set once by StopRetrying, never cleared.
extern volatile LONG stopRetrying;

// The driver object's entry of StaticInitTable: constructs the TraceDriver
// in static storage and registers its destructor.
void ConstructTraceDriver();

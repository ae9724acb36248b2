#include "framework/TraceDriver.h"

#include "control/ControlDevice.h"
#include "control/TraceDevice.h"
#include "control/TraceSettings.h"
#include "filter/RetiredFilter.h"
#include "log/LogWriter.h"
#include "framework/ErrorLogEntry.h"
#include "framework/EventCodes.h"
#include "framework/ExitTable.h"
#include "framework/Interlocked.h"
#include "framework/RegistryValue.h"
#include "framework/SystemStartStage.h"
#include "framework/SystemRoutines.h"

volatile LONG stopRetrying;

namespace {

// The Start value of automatic start: trace from the driver's load on.
constexpr ULONG AUTOMATIC_START = 2;

// The static storage of the driver object; StaticInitTable constructs it.
alignas(TraceDriver) unsigned char traceDriverStorage[sizeof(TraceDriver)];

void DestroyTraceDriver() {
  reinterpret_cast<TraceDriver*>(traceDriverStorage)->~TraceDriver();
}

}  // namespace

void ConstructTraceDriver() {
  // A freshly loaded image starts with the flag clear.
  stopRetrying = 0;
  new (traceDriverStorage) TraceDriver;
  ExitTable::Register(DestroyTraceDriver);
}

TraceDriver::TraceDriver()
    : traceDevice(NULL),
      controlDevice(NULL),
      RetryTimer(RetryDpc, this),
      RetryWorkItem(Retry, DelayedWorkQueue, false),
      tracingLock(SynchronizationEvent, true),
      cleanedUp(FALSE),
      shutDown(FALSE),
      retriesRun(0),
      waitingReported(FALSE),
      automaticFailureReported(FALSE) {}

TraceDriver::~TraceDriver() {
  driverGuard.ReleaseAndWait();
  // The retry timer is cancelled (Cleanup), but its DPC may still be on
  // its way out of Schedule after the retry it queued has given back its
  // reference: wait until it has returned. Windows 2000 and 98/Me lack
  // KeFlushQueuedDpcs, and there that window stays open.
  if (SystemRoutines::FlushQueuedDpcs() != NULL)
    SystemRoutines::FlushQueuedDpcs()();
  // Then, as members go: tracingLock, driverGuard, RetryWorkItem,
  // RetryTimer (cancelled).
}

NTSTATUS TraceDriver::OnLoad() {
  // A control device that cannot be built fails the load; one that cannot
  // even be allocated leaves the driver running without it.
  ControlDevice* device = NULL;
  NTSTATUS status = CreateControlDevice(&device);
  if (!NT_SUCCESS(status))
    return status;
  Interlocked::ExchangePointer(&controlDevice, device);
  // The retry's last release lets the unload go on while its routine has
  // yet to return: tied to the control device, the run keeps the driver
  // loaded until it has (where the system allows: see WorkItem).
  if (device != NULL)
    RetryWorkItem.TieTo(device->DeviceObject());
  return STATUS_SUCCESS;
}

void TraceDriver::Cleanup() {
  StopRetrying();
  // Taken out under the lock, so that no start or stop still uses the trace
  // device and no later start builds another; destroyed outside it, so that
  // a control request that waits for the lock cannot hold up the control
  // device's destruction.
  LockTracing();
  cleanedUp = TRUE;
  TraceDevice* trace = Interlocked::ExchangePointer(&traceDevice, static_cast<TraceDevice*>(NULL));
  UnlockTracing();
  if (trace != NULL)
    delete trace;
  RetiredFilter::DestroyAll();
  ControlDevice* control =
      Interlocked::ExchangePointer(&controlDevice, static_cast<ControlDevice*>(NULL));
  if (control != NULL)
    DestroyControlDevice(control);
}

NTSTATUS TraceDriver::AddDevice(PDEVICE_OBJECT physicalDevice) {
  UNREFERENCED_PARAMETER(physicalDevice);
  return STATUS_NOT_IMPLEMENTED;
}

void TraceDriver::SetDispatch() {
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) Route(major);
}

PDRIVER_OBJECT TraceDriver::TargetDriverObject() {
  LockTracing();
  TraceDevice* device = traceDevice;
  PDRIVER_OBJECT target = device != NULL ? device->TargetDriver() : NULL;
  UnlockTracing();
  return target;
}

NTSTATUS TraceDriver::StartFilter() {
  if (!NT_SUCCESS(driverGuard.Acquire()))
    return STATUS_DELETE_PENDING;
  RegistryValue start;
  start.SetKey(NULL);
  NTSTATUS read = start.Query(START_VALUE_NAME);
  if (!NT_SUCCESS(read) || start.DwordValue() != AUTOMATIC_START) {
    driverGuard.Release();
    return read;
  }
  if (SystemStartStage() < SYSTEM_START_STAGE_READY) {
    ArmRetry();  // the reference passes to the pending retry
    return STATUS_SUCCESS;
  }
  NTSTATUS status = CreateTraceDevice(START_AUTOMATIC);
  if (NT_SUCCESS(status)) {
    driverGuard.Release();
    return status;
  }
  // At load any failure is retried; a retry goes on only while the target
  // is missing.
  ArmRetry();
  return STATUS_SUCCESS;
}

void TraceDriver::ArmRetry() {
  RetryTimer.Arm(RETRY_MILLISECONDS);
  // A StopRetrying that came between the caller's look at stopRetrying and
  // this arming found nothing to cancel: cancel here, or the timer would
  // outlive the driver.
  if (stopRetrying && RetryTimer.Cancel())
    driverGuard.Release();
}

void TraceDriver::StopRetrying() {
  Interlocked::Exchange(&stopRetrying, 1);
  if (RetryTimer.Cancel())
    driverGuard.Release();
}

VOID NTAPI TraceDriver::RetryDpc(PKDPC, PVOID context, PVOID, PVOID) {
  TraceDriver* driver = static_cast<TraceDriver*>(context);
  driver->RetryWorkItem.Schedule(reinterpret_cast<ULONG_PTR>(driver), 0, 0);
}

VOID TraceDriver::Retry(ULONG_PTR driver, ULONG_PTR, ULONG_PTR) {
  reinterpret_cast<TraceDriver*>(driver)->RetryOnce();
}

void TraceDriver::RetryOnce() {
  // The pending retry holds one reference on driverGuard; this run takes
  // its own. Whichever reference is not passed to a new arming is given
  // back, the retry's last.
  if (!NT_SUCCESS(driverGuard.Acquire())) {
    driverGuard.Release();
    return;
  }
  if (stopRetrying) {
    driverGuard.Release();
    driverGuard.Release();
    return;
  }
  // Retry n runs n times the retry's period after load.
  ++retriesRun;
  if (SystemStartStage() < SYSTEM_START_STAGE_READY) {
    ArmRetry();
    driverGuard.Release();
    return;
  }
  const StartCause cause =
      !waitingReported && retriesRun >= TARGET_WAIT_REPORT_MILLISECONDS / RETRY_MILLISECONDS
          ? START_AUTOMATIC_WAITED
          : START_AUTOMATIC;
  if (CreateTraceDevice(cause) == STATUS_DEVICE_DOES_NOT_EXIST) {
    ArmRetry();
    driverGuard.Release();
    return;
  }
  driverGuard.Release();
  driverGuard.Release();
}

NTSTATUS TraceDriver::CreateTraceDevice() {
  return CreateTraceDevice(START_REQUESTED);
}

NTSTATUS TraceDriver::CreateTraceDevice(StartCause cause) {
  LockTracing();
  NTSTATUS status = CreateTraceDeviceLocked(cause);
  UnlockTracing();
  return status;
}

NTSTATUS TraceDriver::CreateTraceDeviceLocked(StartCause cause) {
  if (cleanedUp)
    return STATUS_DELETE_PENDING;
  if (shutDown)
    return STATUS_TOO_LATE;
  if (traceDevice != NULL)
    return STATUS_DEVICE_BUSY;
  RegistryValue target;
  target.SetKey(NULL);
  PCWSTR name = NULL;
  NTSTATUS read = target.QueryStringSetting(TARGET_VALUE_NAME, DEFAULT_TARGET_NAME, &name);
  if (!NT_SUCCESS(read)) {
    ReportStartFailure(cause, read, NULL, NULL);
    return read;
  }
  TraceSettings settings = 0;
  read = LoadTraceSettings(&settings);
  if (!NT_SUCCESS(read)) {
    ReportStartFailure(cause, read, name, NULL);
    return read;
  }
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  TraceDevice* device = new TraceDevice(name, settings, &status);
  // No device is no success: the caller (and the Start value the control
  // device writes from this status) must not take it for one.
  if (device == NULL) {
    ReportStartFailure(cause, STATUS_INSUFFICIENT_RESOURCES, name, NULL);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    // Told before the half-built device goes: its log writer holds the
    // log's name.
    ReportStartFailure(cause, status, name, device);
    delete device;
    return status;
  }
  Interlocked::ExchangePointer(&traceDevice, device);
  return status;
}

void TraceDriver::ReportStartFailure(StartCause cause, NTSTATUS status, PCWSTR target,
                                     TraceDevice* device) {
  TraceDevice::FailedStep step = device != NULL ? device->Failed() : TraceDevice::FAILED_NONE;
  if (step == TraceDevice::FAILED_TARGET && status == STATUS_DEVICE_DOES_NOT_EXIST &&
      cause != START_REQUESTED) {
    // The automatic start waits for its target: told once, a minute on.
    if (cause == START_AUTOMATIC_WAITED)
      waitingReported =
          ErrorLogEntry::Write(PELLINOR_EVENT_TARGET_WAITING, STATUS_SUCCESS, target, NULL);
    return;
  }
  if (cause != START_REQUESTED && automaticFailureReported)
    return;
  bool written;
  if (step == TraceDevice::FAILED_TARGET) {
    written = ErrorLogEntry::WriteWithStatus(PELLINOR_EVENT_TARGET_FAILED, target, status);
  } else if (step == TraceDevice::FAILED_LOG && device->Writer() != NULL &&
             device->Writer()->FileName() != NULL) {
    written = ErrorLogEntry::WriteWithStatus(PELLINOR_EVENT_LOG_FAILED,
                                             device->Writer()->FileName(), status);
  } else {
    written = ErrorLogEntry::WriteStatusOnly(PELLINOR_EVENT_START_FAILED, status);
  }
  // The retry after a failure at load meets it again: told once.
  if (cause != START_REQUESTED && written)
    automaticFailureReported = TRUE;
}

NTSTATUS TraceDriver::RestartTracing() {
  LockTracing();
  NTSTATUS status;
  TraceDevice* device = traceDevice;
  if (shutDown) {
    status = STATUS_TOO_LATE;
  } else if (device == NULL) {
    status = CreateTraceDeviceLocked(START_REQUESTED);
  } else {
    // The target and the log stay; only the settings are read again. When
    // they cannot be read, the device goes on as it was.
    TraceSettings settings = 0;
    status = LoadTraceSettings(&settings);
    if (NT_SUCCESS(status))
      status = device->StartTracing(settings);
    // Told as a start that could not be made: tracing did not start
    // again (a setting that cannot be read, a traced device going away).
    if (!NT_SUCCESS(status))
      ReportStartFailure(START_REQUESTED, status, NULL, NULL);
  }
  UnlockTracing();
  return status;
}

NTSTATUS TraceDriver::StopTraceDevice(UCHAR force) {
  LockTracing();
  TraceDevice* device = traceDevice;
  if (device == NULL) {
    UnlockTracing();
    return STATUS_DEVICE_DOES_NOT_EXIST;
  }
  device->StopTracing();
  if (force != 0 || !device->HasOutstanding()) {
    Interlocked::ExchangePointer(&traceDevice, static_cast<TraceDevice*>(NULL));
    // Under the lock: the log writer must have closed the log file before
    // a start may open it again.
    delete device;
  }
  UnlockTracing();
  return STATUS_SUCCESS;
}

ULONG TraceDriver::TraceState() {
  LockTracing();
  TraceDevice* device = traceDevice;
  ULONG state = device == NULL ? TRACE_STATE_NONE
                               : (device->IsTracing() ? TRACE_STATE_RUNNING : TRACE_STATE_STOPPED);
  UnlockTracing();
  return state;
}

void TraceDriver::ShutdownTracing() {
  StopRetrying();
  LockTracing();
  shutDown = TRUE;
  TraceDevice* device = traceDevice;
  // Not destroyed: its destruction would wait for requests still pending at
  // the traced device, which may never complete now.
  if (device != NULL)
    device->Shutdown();
  UnlockTracing();
}

void TraceDriver::LockTracing() {
  // Windows 98/Me have no critical region to enter: there the window stays.
  SystemRoutines::CriticalRegionRoutine enter = SystemRoutines::EnterCriticalRegion();
  if (enter != NULL)
    enter();
  tracingLock.Wait();
}

void TraceDriver::UnlockTracing() {
  tracingLock.Set();
  SystemRoutines::CriticalRegionRoutine leave = SystemRoutines::LeaveCriticalRegion();
  if (leave != NULL)
    leave();
}

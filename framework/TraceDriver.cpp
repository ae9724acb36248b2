#include "framework/TraceDriver.h"

#include "framework/ExitTable.h"
#include "framework/Interlocked.h"

volatile LONG stopRetrying;

namespace {

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
      RetryWorkItem(Retry, DelayedWorkQueue, false) {}

TraceDriver::~TraceDriver() {
  driverGuard.ReleaseAndWait();
  // Then, as members go: driverGuard, RetryWorkItem, RetryTimer (cancelled).
}

NTSTATUS TraceDriver::OnLoad() {
  // Unfinished: creating the ControlDevice ("PellinorIOCTL", link
  // "PellinorWin32CTL") comes with the control device.
  return STATUS_SUCCESS;
}

void TraceDriver::Cleanup() {
  StopRetrying();
  // Unfinished: taking traceDevice and controlDevice out by interlocked
  // exchange and destroying them (trace device first) comes with those
  // devices; until then neither can exist.
}

NTSTATUS TraceDriver::AddDevice(PDEVICE_OBJECT physicalDevice) {
  UNREFERENCED_PARAMETER(physicalDevice);
  return STATUS_NOT_IMPLEMENTED;
}

void TraceDriver::SetDispatch() {
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) Route(major);
}

PDRIVER_OBJECT TraceDriver::TargetDriverObject() {
  // Unfinished: the targetDriver of the current traceDevice, once the
  // TraceDevice exists.
  return NULL;
}

NTSTATUS TraceDriver::StartFilter() {
  // Unfinished: reading "Start" and creating the trace device at once or
  // arming the retry timer come with the filter; until then the driver
  // loads without a trace device, as with a demand start.
  return STATUS_SUCCESS;
}

void TraceDriver::StopRetrying() {
  Interlocked::Exchange(&stopRetrying, 1);
  if (RetryTimer.Cancel())
    driverGuard.Release();
}

VOID NTAPI TraceDriver::RetryDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  TraceDriver* driver = static_cast<TraceDriver*>(context);
  driver->RetryWorkItem.Schedule(reinterpret_cast<ULONG_PTR>(driver), 0, 0);
}

VOID TraceDriver::Retry(ULONG_PTR driver, ULONG_PTR unused1, ULONG_PTR unused2) {
  UNREFERENCED_PARAMETER(driver);
  UNREFERENCED_PARAMETER(unused1);
  UNREFERENCED_PARAMETER(unused2);
  // Unfinished: the retry of the trace device's creation comes with the
  // filter. Nothing arms the timer before then.
}

// Placeholders until the trace device exists: nothing can be traced yet.
NTSTATUS TraceDriver::CreateTraceDevice() { return STATUS_DEVICE_DOES_NOT_EXIST; }
NTSTATUS TraceDriver::RestartTracing() { return CreateTraceDevice(); }
NTSTATUS TraceDriver::StopTraceDevice(UCHAR) { return STATUS_DEVICE_DOES_NOT_EXIST; }
ULONG TraceDriver::TraceState() { return 0; }

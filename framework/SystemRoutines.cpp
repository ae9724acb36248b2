#include "framework/SystemRoutines.h"

namespace {

// WDM 1.10: Windows 2000, the first NT with the WDM version query's answer
// above 1.0x and with MmGetSystemRoutineAddress.
constexpr UCHAR NT_WDM_MAJOR = 1;
constexpr UCHAR NT_WDM_MINOR = 0x10;

PVOID Find(PCWSTR name) {
  UNICODE_STRING routine;
  RtlInitUnicodeString(&routine, name);
  return MmGetSystemRoutineAddress(&routine);
}

}  // namespace

bool SystemRoutines::nt;
SystemRoutines::FlushQueuedDpcsRoutine SystemRoutines::flushQueuedDpcs;
SystemRoutines::AllocateWorkItemRoutine SystemRoutines::allocateWorkItem;
SystemRoutines::QueueWorkItemRoutine SystemRoutines::queueWorkItem;
SystemRoutines::FreeWorkItemRoutine SystemRoutines::freeWorkItem;
SystemRoutines::ReferenceObjectRoutine SystemRoutines::referenceObject;
SystemRoutines::MapLockedPagesSpecifyCacheRoutine SystemRoutines::mapLockedPagesSpecifyCache;
SystemRoutines::SetCompletionRoutineExRoutine SystemRoutines::setCompletionRoutineEx;
ULONG_PTR SystemRoutines::userProbeAddress;
SystemRoutines::SubjectContextRoutine SystemRoutines::captureSubjectContext;
SystemRoutines::SubjectContextRoutine SystemRoutines::releaseSubjectContext;
SystemRoutines::AccessCheckRoutine SystemRoutines::accessCheck;
POBJECT_TYPE* SystemRoutines::threadType;
SystemRoutines::ShutdownNotificationRoutine SystemRoutines::registerShutdown;
SystemRoutines::CriticalRegionRoutine SystemRoutines::enterCriticalRegion;
SystemRoutines::CriticalRegionRoutine SystemRoutines::leaveCriticalRegion;
SystemRoutines::ShutdownUnregistrationRoutine SystemRoutines::unregisterShutdown;
SystemRoutines::CurrentIdRoutine SystemRoutines::currentProcessId;
SystemRoutines::CurrentIdRoutine SystemRoutines::currentThreadId;
SystemRoutines::CurrentThreadRoutine SystemRoutines::currentThread;
SystemRoutines::AllocateErrorLogEntryRoutine SystemRoutines::allocateErrorLogEntry;
SystemRoutines::WriteErrorLogEntryRoutine SystemRoutines::writeErrorLogEntry;

void SystemRoutines::Resolve() {
  Forget();
  nt = IoIsWdmVersionAvailable(NT_WDM_MAJOR, NT_WDM_MINOR) != FALSE;
  if (!nt)
    return;
  flushQueuedDpcs = reinterpret_cast<FlushQueuedDpcsRoutine>(Find(L"KeFlushQueuedDpcs"));
  allocateWorkItem = reinterpret_cast<AllocateWorkItemRoutine>(Find(L"IoAllocateWorkItem"));
  queueWorkItem = reinterpret_cast<QueueWorkItemRoutine>(Find(L"IoQueueWorkItem"));
  freeWorkItem = reinterpret_cast<FreeWorkItemRoutine>(Find(L"IoFreeWorkItem"));
  referenceObject = reinterpret_cast<ReferenceObjectRoutine>(Find(L"ObfReferenceObject"));
  if (allocateWorkItem == NULL || queueWorkItem == NULL || freeWorkItem == NULL ||
      referenceObject == NULL) {
    allocateWorkItem = NULL;
    queueWorkItem = NULL;
    freeWorkItem = NULL;
    referenceObject = NULL;
  }
  mapLockedPagesSpecifyCache = reinterpret_cast<MapLockedPagesSpecifyCacheRoutine>(
      Find(L"MmMapLockedPagesSpecifyCache"));
  setCompletionRoutineEx =
      reinterpret_cast<SetCompletionRoutineExRoutine>(Find(L"IoSetCompletionRoutineEx"));
  // A data export: the address found is the variable's.
  const ULONG* probe = static_cast<const ULONG*>(Find(L"MmUserProbeAddress"));
  if (probe != NULL)
    userProbeAddress = *probe;
  captureSubjectContext =
      reinterpret_cast<SubjectContextRoutine>(Find(L"SeCaptureSubjectContext"));
  releaseSubjectContext =
      reinterpret_cast<SubjectContextRoutine>(Find(L"SeReleaseSubjectContext"));
  accessCheck = reinterpret_cast<AccessCheckRoutine>(Find(L"SeAccessCheck"));
  // MmGetSystemRoutineAddress finds data exports as well: the address of
  // the variable.
  threadType = static_cast<POBJECT_TYPE*>(Find(L"PsThreadType"));
  registerShutdown =
      reinterpret_cast<ShutdownNotificationRoutine>(Find(L"IoRegisterShutdownNotification"));
  unregisterShutdown =
      reinterpret_cast<ShutdownUnregistrationRoutine>(Find(L"IoUnregisterShutdownNotification"));
  enterCriticalRegion = reinterpret_cast<CriticalRegionRoutine>(Find(L"KeEnterCriticalRegion"));
  leaveCriticalRegion = reinterpret_cast<CriticalRegionRoutine>(Find(L"KeLeaveCriticalRegion"));
  if (enterCriticalRegion == NULL || leaveCriticalRegion == NULL) {
    enterCriticalRegion = NULL;
    leaveCriticalRegion = NULL;
  }
  // Both or neither: a registration that cannot be undone must not be made.
  if (registerShutdown == NULL || unregisterShutdown == NULL) {
    registerShutdown = NULL;
    unregisterShutdown = NULL;
  }
  currentProcessId = reinterpret_cast<CurrentIdRoutine>(Find(L"PsGetCurrentProcessId"));
  currentThreadId = reinterpret_cast<CurrentIdRoutine>(Find(L"PsGetCurrentThreadId"));
  if (currentProcessId == NULL || currentThreadId == NULL) {
    currentProcessId = NULL;
    currentThreadId = NULL;
  }
  currentThread = reinterpret_cast<CurrentThreadRoutine>(Find(L"PsGetCurrentThread"));
  allocateErrorLogEntry =
      reinterpret_cast<AllocateErrorLogEntryRoutine>(Find(L"IoAllocateErrorLogEntry"));
  writeErrorLogEntry = reinterpret_cast<WriteErrorLogEntryRoutine>(Find(L"IoWriteErrorLogEntry"));
  // An entry that could be allocated but never written would stay allocated.
  if (allocateErrorLogEntry == NULL || writeErrorLogEntry == NULL) {
    allocateErrorLogEntry = NULL;
    writeErrorLogEntry = NULL;
  }
}

void SystemRoutines::Forget() {
  nt = false;
  flushQueuedDpcs = NULL;
  allocateWorkItem = NULL;
  queueWorkItem = NULL;
  freeWorkItem = NULL;
  referenceObject = NULL;
  mapLockedPagesSpecifyCache = NULL;
  setCompletionRoutineEx = NULL;
  userProbeAddress = 0;
  captureSubjectContext = NULL;
  releaseSubjectContext = NULL;
  accessCheck = NULL;
  threadType = NULL;
  registerShutdown = NULL;
  unregisterShutdown = NULL;
  enterCriticalRegion = NULL;
  leaveCriticalRegion = NULL;
  currentProcessId = NULL;
  currentThreadId = NULL;
  currentThread = NULL;
  allocateErrorLogEntry = NULL;
  writeErrorLogEntry = NULL;
}

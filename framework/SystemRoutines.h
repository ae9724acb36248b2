// Kernel routines that not every supported system exports.
//
// pellinor.sys loads on Windows 98/Me, 2000 and XP. An import that one of
// them lacks keeps the driver from loading there at all, so a routine that
// is not exported everywhere is never imported: it is looked up once, at
// load, with MmGetSystemRoutineAddress, and the driver asks here whether it
// was found. Where it was not, the caller takes the older way and says in a
// comment what that leaves open.
//
// The family is told apart first by the WDM version the system reports
// (1.10 and later only on NT, Windows 2000 on); Windows 98/Me get no lookup
// at all.
#pragma once

#include <ntddk.h>

class SystemRoutines {
 public:
  // PASSIVE_LEVEL, once, at load, before anything below is asked.
  static void Resolve();
  // Forgets what Resolve found (at unload and after a failed load).
  static void Forget();

  // True on Windows 2000 and later (WDM 1.10 and later).
  static bool IsNt() { return nt; }

  // The routines; null where the system does not export them.
  using FlushQueuedDpcsRoutine = VOID(NTAPI*)(VOID);
  static FlushQueuedDpcsRoutine FlushQueuedDpcs() { return flushQueuedDpcs; }
  // I/O work items (Windows 2000 on): a work item tied to a device object,
  // which the I/O manager keeps referenced until the routine has returned,
  // so that the driver stays loaded that long. All three or none, and with
  // them the object reference (ObfReferenceObject) that keeps the device
  // object of a tied work item: wanted only with them, looked up with them
  // so that the import table stays as it was.
  using AllocateWorkItemRoutine = PIO_WORKITEM(NTAPI*)(PDEVICE_OBJECT);
  using IoWorkItemRoutine = VOID(NTAPI*)(PDEVICE_OBJECT, PVOID);
  using QueueWorkItemRoutine = VOID(NTAPI*)(PIO_WORKITEM, IoWorkItemRoutine, WORK_QUEUE_TYPE,
                                            PVOID);
  using FreeWorkItemRoutine = VOID(NTAPI*)(PIO_WORKITEM);
  static AllocateWorkItemRoutine AllocateWorkItem() { return allocateWorkItem; }
  static QueueWorkItemRoutine QueueWorkItem() { return queueWorkItem; }
  static FreeWorkItemRoutine FreeWorkItem() { return freeWorkItem; }
  using ReferenceObjectRoutine = LONG_PTR(FASTCALL*)(PVOID);
  static ReferenceObjectRoutine ReferenceObject() { return referenceObject; }
  // The mapping that may fail (BugCheckOnFailure FALSE); Windows 2000 on.
  using MapLockedPagesSpecifyCacheRoutine = PVOID(NTAPI*)(PMDL, KPROCESSOR_MODE,
                                                          MEMORY_CACHING_TYPE, PVOID, ULONG,
                                                          MM_PAGE_PRIORITY);
  static MapLockedPagesSpecifyCacheRoutine MapLockedPagesSpecifyCache() {
    return mapLockedPagesSpecifyCache;
  }
  // The completion routine that keeps the driver loaded until it has
  // returned (Windows XP on): the I/O manager holds a reference on the
  // given device object, which must be the caller's, until then.
  using SetCompletionRoutineExRoutine = NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PIRP,
                                                         PIO_COMPLETION_ROUTINE, PVOID, BOOLEAN,
                                                         BOOLEAN, BOOLEAN);
  static SetCompletionRoutineExRoutine SetCompletionRoutineEx() { return setCompletionRoutineEx; }
  // The value of MmUserProbeAddress, a data export (every user address lies
  // below it; it does not change once the system runs); 0 where it is not
  // exported.
  static ULONG_PTR UserProbeAddress() { return userProbeAddress; }

  // The security reference monitor (NT only: Windows 98/Me have no security).
  using SubjectContextRoutine = VOID(NTAPI*)(PSECURITY_SUBJECT_CONTEXT);
  using AccessCheckRoutine = BOOLEAN(NTAPI*)(PSECURITY_DESCRIPTOR, PSECURITY_SUBJECT_CONTEXT,
                                             BOOLEAN, ACCESS_MASK, ACCESS_MASK, PPRIVILEGE_SET*,
                                             PGENERIC_MAPPING, KPROCESSOR_MODE, PACCESS_MASK,
                                             NTSTATUS*);
  static SubjectContextRoutine CaptureSubjectContext() { return captureSubjectContext; }
  static SubjectContextRoutine ReleaseSubjectContext() { return releaseSubjectContext; }
  static AccessCheckRoutine AccessCheck() { return accessCheck; }

  // The thread object type, a data export (PsThreadType holds a pointer to
  // it); null where it was not found.
  static POBJECT_TYPE ThreadType() { return threadType != NULL ? *threadType : NULL; }
  // Critical regions (normal kernel APCs off, so that the thread cannot be
  // suspended): exported as routines on Windows 2000 and XP; on Windows
  // 98/Me there is none, and a lock holder stays open to suspension.
  using CriticalRegionRoutine = VOID(NTAPI*)(VOID);
  static CriticalRegionRoutine EnterCriticalRegion() { return enterCriticalRegion; }
  static CriticalRegionRoutine LeaveCriticalRegion() { return leaveCriticalRegion; }
  // The shutdown notification (IRP_MJ_SHUTDOWN before the file systems go).
  // Looked up, not imported: Windows 98/Me are not known to export them, and
  // there the driver gets no notification.
  using ShutdownNotificationRoutine = NTSTATUS(NTAPI*)(PDEVICE_OBJECT);
  using ShutdownUnregistrationRoutine = VOID(NTAPI*)(PDEVICE_OBJECT);
  static ShutdownNotificationRoutine RegisterShutdownNotification() { return registerShutdown; }
  static ShutdownUnregistrationRoutine UnregisterShutdownNotification() {
    return unregisterShutdown;
  }
  // The current thread's process and thread ids (any IRQL). Looked up, not
  // imported: Windows 98/Me are not known to export them, and there the log
  // has no caller ids. Both or neither.
  using CurrentIdRoutine = HANDLE(NTAPI*)(VOID);
  static bool HasCallerIds() { return currentProcessId != NULL; }
  static CurrentIdRoutine CurrentProcessId() { return currentProcessId; }
  static CurrentIdRoutine CurrentThreadId() { return currentThreadId; }
  // The current thread's object, to tell whether a request or completion
  // runs in the thread that made the request (Irp->Tail.Overlay.Thread),
  // where that thread's user memory is the current one. With
  // MmUserProbeAddress it is what a copy of a user-mode caller's memory
  // needs; Windows 98/Me get neither, and there the messages of user-mode
  // I/O controls stay uncopied.
  using CurrentThreadRoutine = PETHREAD(NTAPI*)(VOID);
  static CurrentThreadRoutine CurrentThread() { return currentThread; }
  static bool CanCopyUserMemory() { return currentThread != NULL && userProbeAddress != 0; }
  // Entries of the system event log (every NT exports them). Looked up, not
  // imported: Windows 98/Me have no event log, and whether their WDM layer
  // exports the routines could not be checked; both or neither.
  using AllocateErrorLogEntryRoutine = PVOID(NTAPI*)(PVOID, UCHAR);
  using WriteErrorLogEntryRoutine = VOID(NTAPI*)(PVOID);
  static AllocateErrorLogEntryRoutine AllocateErrorLogEntry() { return allocateErrorLogEntry; }
  static WriteErrorLogEntryRoutine WriteErrorLogEntry() { return writeErrorLogEntry; }

 private:
  static bool nt;
  static FlushQueuedDpcsRoutine flushQueuedDpcs;
  static AllocateWorkItemRoutine allocateWorkItem;
  static QueueWorkItemRoutine queueWorkItem;
  static FreeWorkItemRoutine freeWorkItem;
  static ReferenceObjectRoutine referenceObject;
  static MapLockedPagesSpecifyCacheRoutine mapLockedPagesSpecifyCache;
  static SetCompletionRoutineExRoutine setCompletionRoutineEx;
  static ULONG_PTR userProbeAddress;
  static SubjectContextRoutine captureSubjectContext;
  static SubjectContextRoutine releaseSubjectContext;
  static AccessCheckRoutine accessCheck;
  static POBJECT_TYPE* threadType;
  static ShutdownNotificationRoutine registerShutdown;
  static CriticalRegionRoutine enterCriticalRegion;
  static CriticalRegionRoutine leaveCriticalRegion;
  static ShutdownUnregistrationRoutine unregisterShutdown;
  static CurrentIdRoutine currentProcessId;
  static CurrentIdRoutine currentThreadId;
  static CurrentThreadRoutine currentThread;
  static AllocateErrorLogEntryRoutine allocateErrorLogEntry;
  static WriteErrorLogEntryRoutine writeErrorLogEntry;
};

// Executive and kernel services of the emulated NT kernel: dispatcher
// objects, spin locks, IRQL, pool, timers and DPCs, work items, system
// threads, objects, time, registry and run-time library. i386 layouts.
#pragma once

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext,
                                     PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  struct _KDPC* Dpc;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef VOID NTAPI WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;

typedef struct _WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

// Time.
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTSYSAPI VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);

#ifdef __cplusplus
static_assert(sizeof(DISPATCHER_HEADER) == 16, "DISPATCHER_HEADER");
static_assert(sizeof(KEVENT) == 16, "KEVENT");
static_assert(sizeof(KSEMAPHORE) == 20, "KSEMAPHORE");
static_assert(sizeof(KDPC) == 32, "KDPC");
static_assert(offsetof(KDPC, DeferredRoutine) == 12, "KDPC.DeferredRoutine");
static_assert(sizeof(KTIMER) == 40, "KTIMER");
static_assert(offsetof(KTIMER, Dpc) == 32, "KTIMER.Dpc");
static_assert(sizeof(WORK_QUEUE_ITEM) == 16, "WORK_QUEUE_ITEM");
#endif

// A work item that runs a callback with three arguments on a system worker
// thread, or in place when scheduled at PASSIVE_LEVEL and queueing is not
// forced. At most one run is pending: a Schedule made before the pending run
// begins is dropped with its arguments.
//
// Tied to a device object (TieTo) where the system has I/O work items
// (Windows 2000 on), the run is queued as an I/O work item: the I/O manager
// holds the device object until the routine has returned, which keeps the
// driver loaded that long. Queued with ExQueueWorkItem (Windows 98/Me, or
// when the tie failed) nothing does: a run that lets the unload go on
// still executes the driver's code up to its return.
#pragma once

#include <ntddk.h>

#include "framework/PoolObject.h"

class WorkItem : public PoolObject {
 public:
  typedef VOID (*Callback)(ULONG_PTR first, ULONG_PTR second, ULONG_PTR third);

  WorkItem(Callback callback, WORK_QUEUE_TYPE queueType, bool alwaysQueue);
  // The owner makes sure no run is pending; frees the I/O work item and
  // gives back the device object.
  virtual ~WorkItem();
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;

  // PASSIVE_LEVEL, before the first Schedule. Ties later runs to `target`
  // (referenced until the destructor); without I/O work items, or when the
  // item cannot be allocated, runs stay on ExQueueWorkItem.
  void TieTo(PDEVICE_OBJECT target);

  // Up to DISPATCH_LEVEL. Returns 1 when a run was already pending (nothing
  // done), else 0.
  LONG Schedule(ULONG_PTR first, ULONG_PTR second, ULONG_PTR third);

 private:
  static VOID NTAPI Run(PVOID parameter);
  static VOID NTAPI RunTied(PDEVICE_OBJECT device, PVOID parameter);

  WORK_QUEUE_ITEM item;
  // The I/O work item, its device object and the routines that queue and
  // free it (kept here: the system routines are forgotten before the
  // driver's objects go).
  PIO_WORKITEM ioItem;
  PDEVICE_OBJECT device;
  VOID(NTAPI* queueIoItem)(PIO_WORKITEM, VOID(NTAPI*)(PDEVICE_OBJECT, PVOID), WORK_QUEUE_TYPE,
                           PVOID);
  VOID(NTAPI* freeIoItem)(PIO_WORKITEM);
  Callback callback;
  ULONG queueType;
  BOOLEAN alwaysQueue;
  ULONG_PTR firstArgument;
  ULONG_PTR secondArgument;
  ULONG_PTR thirdArgument;
  LONG busy;
};

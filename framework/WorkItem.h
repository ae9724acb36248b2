// A work item that runs a callback with three arguments on a system worker
// thread, or in place when scheduled at PASSIVE_LEVEL and queueing is not
// forced. At most one run is pending: a Schedule made before the pending run
// begins is dropped with its arguments.
#pragma once

#include <ntddk.h>

#include "framework/PoolObject.h"

class WorkItem : public PoolObject {
 public:
  typedef VOID (*Callback)(ULONG_PTR first, ULONG_PTR second, ULONG_PTR third);

  WorkItem(Callback callback, WORK_QUEUE_TYPE queueType, bool alwaysQueue);
  // Releases nothing: the owner makes sure no run is pending.
  virtual ~WorkItem() {}
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;

  // Up to DISPATCH_LEVEL. Returns 1 when a run was already pending (nothing
  // done), else 0.
  LONG Schedule(ULONG_PTR first, ULONG_PTR second, ULONG_PTR third);

 private:
  static VOID NTAPI Run(PVOID parameter);

  WORK_QUEUE_ITEM item;
  Callback callback;
  ULONG queueType;
  BOOLEAN alwaysQueue;
  ULONG_PTR firstArgument;
  ULONG_PTR secondArgument;
  ULONG_PTR thirdArgument;
  LONG busy;
};

#include "framework/WorkItem.h"

WorkItem::WorkItem(Callback callback, WORK_QUEUE_TYPE queueType, bool alwaysQueue)
    : callback(callback),
      queueType(queueType),
      alwaysQueue(alwaysQueue),
      firstArgument(0),
      secondArgument(0),
      thirdArgument(0),
      busy(0) {
  item.List.Flink = item.List.Blink = NULL;
  item.WorkerRoutine = NULL;
  item.Parameter = NULL;
}

LONG WorkItem::Schedule(ULONG_PTR first, ULONG_PTR second, ULONG_PTR third) {
  if (InterlockedExchange(&busy, 1) == 1)
    return 1;
  firstArgument = first;
  secondArgument = second;
  thirdArgument = third;
  if (KeGetCurrentIrql() == PASSIVE_LEVEL && !alwaysQueue) {
    Run(this);
    return 0;
  }
  item.WorkerRoutine = Run;
  item.Parameter = this;
  item.List.Flink = NULL;
  ExQueueWorkItem(&item, static_cast<WORK_QUEUE_TYPE>(queueType));
  return 0;
}

VOID NTAPI WorkItem::Run(PVOID parameter) {
  WorkItem* self = static_cast<WorkItem*>(parameter);
  // The arguments are taken before the item is free again: a Schedule that
  // follows at once must not change the arguments of this run.
  ULONG_PTR first = self->firstArgument;
  ULONG_PTR second = self->secondArgument;
  ULONG_PTR third = self->thirdArgument;
  InterlockedExchange(&self->busy, 0);
  self->callback(first, second, third);
}

#include "framework/WorkItem.h"

#include "framework/SystemRoutines.h"

WorkItem::WorkItem(Callback callback, WORK_QUEUE_TYPE queueType, bool alwaysQueue)
    : callback(callback),
      queueType(queueType),
      alwaysQueue(alwaysQueue),
      firstArgument(0),
      secondArgument(0),
      thirdArgument(0),
      busy(0) {
  ioItem = NULL;
  device = NULL;
  queueIoItem = NULL;
  freeIoItem = NULL;
  item.List.Flink = item.List.Blink = NULL;
  item.WorkerRoutine = NULL;
  item.Parameter = NULL;
}

WorkItem::~WorkItem() {
  if (ioItem != NULL)
    freeIoItem(ioItem);
  if (device != NULL)
    ObDereferenceObject(device);
}

void WorkItem::TieTo(PDEVICE_OBJECT target) {
  if (ioItem != NULL || SystemRoutines::AllocateWorkItem() == NULL)
    return;
  PIO_WORKITEM allocated = SystemRoutines::AllocateWorkItem()(target);
  if (allocated == NULL)
    return;
  // Our own reference: a run queued after the owner deleted the device
  // object (a retry that was already on its way) still finds it there.
  SystemRoutines::ReferenceObject()(target);
  device = target;
  queueIoItem = SystemRoutines::QueueWorkItem();
  freeIoItem = SystemRoutines::FreeWorkItem();
  ioItem = allocated;
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
  if (ioItem != NULL) {
    queueIoItem(ioItem, RunTied, static_cast<WORK_QUEUE_TYPE>(queueType), this);
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

VOID NTAPI WorkItem::RunTied(PDEVICE_OBJECT, PVOID parameter) { Run(parameter); }

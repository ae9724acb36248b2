// The system worker threads: a critical, a delayed and a hypercritical work
// queue, each served by its own threads at PASSIVE_LEVEL.
#include <atomic>
#include <deque>
#include <thread>
#include <vector>

#include <chrono>
#include <cstdio>
#include <unordered_map>

#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/Chaos.h"
#include "emu/Process.h"
#include "emu/SystemVersion.h"

namespace emu {
namespace {

constexpr int kThreadsPerQueue[MaximumWorkQueue] = {2, 2, 1};

struct Queue {
  std::deque<PWORK_QUEUE_ITEM> items;
  std::vector<std::thread> threads;
  int running = 0;
};

// A work item being run: the driver it was queued for, and its routine.
struct Running {
  PWORK_QUEUE_ITEM item;
  PWORKER_THREAD_ROUTINE routine;
  PDRIVER_OBJECT owner;
  // An I/O work item: its device object is referenced until the routine
  // has returned, which keeps the driver loaded.
  bool ioWorkItem;
  // The routine has returned, but HoldWorkItemReturns keeps it counted as
  // running until the driver's unload has seen it.
  bool returned;
  bool seen;
};

struct State {
  std::mutex lock;
  std::condition_variable wake;
  Queue queues[MaximumWorkQueue];
  bool stop = false;
  bool hold = false;
  bool holdReturns = false;
  // The driver on whose behalf each queued item was queued (null: the
  // kernel or a test).
  std::unordered_map<const WORK_QUEUE_ITEM*, PDRIVER_OBJECT> owner;
  std::vector<Running> running;
  // The items queued in all queues, changed under the lock and read without
  // it by the pool's free path: with none queued, no lock is needed to know
  // that a freed block holds none.
  std::atomic<size_t> queued{0};
  // The queued items that belong to I/O work items.
  std::unordered_map<const WORK_QUEUE_ITEM*, bool> ioItems;
  // The I/O work items allocated and not yet freed, with their drivers.
  std::unordered_map<const void*, PDRIVER_OBJECT> ioAllocated;
};

State& S() {
  static State* state = new State;
  return *state;
}

// Worker thread `index` of queue `type`.
void Worker(int type, int index) {
  Chaos::SetThreadStream(Chaos::WorkerStream(type, index));
  ProcessScope inSystem(SystemProcess());
  State& s = S();
  Queue& q = s.queues[type];
  std::unique_lock<std::mutex> lock(s.lock);
  for (;;) {
    while ((q.items.empty() || s.hold) && !s.stop) s.wake.wait(lock);
    if (q.items.empty())
      return;
    PWORK_QUEUE_ITEM item = q.items.front();
    q.items.pop_front();
    s.queued.fetch_sub(1, std::memory_order_release);
    // Out of the queue: the routine may queue the item again.
    item->List.Flink = nullptr;
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    PDRIVER_OBJECT owner = s.owner[item];
    s.owner.erase(item);
    bool io = s.ioItems.erase(item) != 0;
    ++q.running;
    s.running.push_back(Running{item, routine, owner, io, false, false});
    lock.unlock();
    Chaos::At(Chaos::kRunWorkItem);
    {
      internal::DriverContext driver(owner);
      routine(parameter);
    }
    if (internal::CurrentIrql() != PASSIVE_LEVEL) {
      BugCheck(WORKER_THREAD_RETURNED_AT_BAD_IRQL, "work item routine %p%s%s returned at IRQL %u",
               reinterpret_cast<void*>(routine), owner ? " of driver " : "",
               owner ? internal::DriverNameOf(owner) : "", internal::CurrentIrql());
    }
    lock.lock();
    auto mine = [&]() {
      for (auto it = s.running.begin(); it != s.running.end(); ++it) {
        if (it->item == item && it->routine == routine && !it->returned)
          return it;
      }
      return s.running.end();
    };
    if (s.holdReturns && owner != nullptr) {
      // Still "in the routine's last instructions" until the unload looks.
      auto it = mine();
      while (s.holdReturns && !it->seen) {
        s.wake.wait(lock);
        it = mine();
      }
    }
    --q.running;
    s.running.erase(mine());
    s.wake.notify_all();
  }
}

}  // namespace

namespace internal {

void CheckFreedWorkItems(const void* block, size_t size, unsigned long tag) {
  char what[64];
  snprintf(what, sizeof what, "pool block %p (tag '%s')", block, FormatTag(tag).text);
  CheckFreedWorkItemsIn(block, size, what);
}

bool AnyWorkItemIn(const void* block, size_t size) {
  if (S().queued.load(std::memory_order_acquire) == 0)
    return false;
  std::lock_guard<std::mutex> guard(S().lock);
  for (const Queue& q : S().queues) {
    for (PWORK_QUEUE_ITEM item : q.items) {
      if (static_cast<const void*>(item) >= block &&
          reinterpret_cast<const char*>(item) < static_cast<const char*>(block) + size)
        return true;
    }
  }
  return false;
}

void CheckFreedWorkItemsIn(const void* block, size_t size, const char* what) {
  std::lock_guard<std::mutex> guard(S().lock);
  for (const Queue& q : S().queues) {
    for (PWORK_QUEUE_ITEM item : q.items) {
      if (static_cast<const void*>(item) >= block &&
          reinterpret_cast<const char*>(item) < static_cast<const char*>(block) + size) {
        PDRIVER_OBJECT owner = S().owner[item];
        BugCheck(WORKER_INVALID, "%s freed while it holds the queued work item %p%s%s", what,
                 static_cast<void*>(item), owner ? " of driver " : "",
                 owner ? DriverNameOf(owner) : "");
      }
    }
  }
}

void CheckDriverWorkItems(PDRIVER_OBJECT driver, const char* name) {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.lock);
  for (const Queue& q : s.queues) {
    for (PWORK_QUEUE_ITEM item : q.items) {
      if (s.owner[item] == driver) {
        BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                 "driver %s unloaded with its work item %p (routine %p) still queued", name,
                 static_cast<void*>(item), reinterpret_cast<void*>(item->WorkerRoutine));
      }
    }
  }
  // Where the system has I/O work items, a driver can keep itself loaded
  // until its routine has returned; one that did not is unmapped under a
  // routine still running. Windows 98/Me lack them: there the window
  // cannot be closed, and the routine gets the grace.
  const bool strict = CurrentSystemVersion() != SystemVersion::Windows98;
  for (const auto& [work, owner] : s.ioAllocated) {
    if (owner == driver) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded without freeing its I/O work item %p", name, work);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnloadGraceMs);
  for (;;) {
    Running* found = nullptr;
    for (Running& r : s.running) {
      if (r.owner == driver)
        found = &r;
    }
    if (found == nullptr)
      return;
    if (!found->ioWorkItem && (strict || std::chrono::steady_clock::now() >= deadline)) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded while its work item %p (routine %p, queued with "
               "ExQueueWorkItem) is still running",
               name, static_cast<void*>(found->item), reinterpret_cast<void*>(found->routine));
    }
    // An I/O work item: the unload's completion waits until it returns.
    for (Running& r : s.running) {
      if (r.owner == driver)
        r.seen = true;
    }
    s.wake.notify_all();
    if (found->ioWorkItem) {
      s.wake.wait(lock);
      continue;
    }
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
}

void HoldWorkItemReturns(bool hold) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().holdReturns = hold;
  S().wake.notify_all();
}

void HoldWorkQueues(bool hold) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().hold = hold;
  S().wake.notify_all();
}

bool WorkQueuesIdle() {
  std::lock_guard<std::mutex> guard(S().lock);
  for (const Queue& q : S().queues) {
    if ((!q.items.empty() && !S().hold) || q.running != 0)
      return false;
  }
  return true;
}

void StopWorkerThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(S().lock);
    S().stop = true;
    S().wake.notify_all();
    for (Queue& q : S().queues) {
      for (auto& t : q.threads) threads.push_back(std::move(t));
      q.threads.clear();
    }
  }
  for (auto& t : threads) t.join();
  std::lock_guard<std::mutex> guard(S().lock);
  S().stop = false;
}

}  // namespace internal
}  // namespace emu

extern "C" VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
  if (unsigned(QueueType) >= MaximumWorkQueue) {
    emu::BugCheck(emu::WORKER_INVALID, "ExQueueWorkItem of %p to the unknown queue %d",
                  static_cast<void*>(WorkItem), int(QueueType));
  }
  if (WorkItem->WorkerRoutine == nullptr) {
    emu::BugCheck(emu::WORKER_INVALID, "ExQueueWorkItem of %p without a worker routine",
                  static_cast<void*>(WorkItem));
  }
  // A queued item is linked into its queue; queueing it again would corrupt
  // the queue, so the kernel requires the link to be null.
  if (WorkItem->List.Flink != nullptr) {
    emu::BugCheck(emu::WORKER_INVALID,
                  "ExQueueWorkItem of %p, which is already queued (or its list link is not null)",
                  static_cast<void*>(WorkItem));
  }
  emu::State& s = emu::S();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    emu::Queue& q = s.queues[QueueType];
    WorkItem->List.Flink = &WorkItem->List;
    q.items.push_back(WorkItem);
    s.queued.fetch_add(1, std::memory_order_release);
    s.owner[WorkItem] = emu::internal::CurrentDriverObject();
    while (int(q.threads.size()) < emu::kThreadsPerQueue[QueueType]) {
      q.threads.emplace_back(emu::Worker, int(QueueType), int(q.threads.size()));
    }
    s.wake.notify_all();
  }
  // Chaos mode: the item may run before the queueing thread goes on.
  emu::Chaos::At(emu::Chaos::kQueueWorkItem);
}

// I/O work items.
struct _IO_WORKITEM {
  WORK_QUEUE_ITEM item;
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  PDRIVER_OBJECT owner;
};

namespace emu {
namespace {

// The worker routine of an I/O work item: the kernel's, not the driver's.
// The device object is taken before the routine runs (the routine may free
// its item) and given back only after it has returned.
VOID NTAPI RunIoWorkItem(PVOID parameter) {
  PIO_WORKITEM work = static_cast<PIO_WORKITEM>(parameter);
  PDEVICE_OBJECT device = work->device;
  PIO_WORKITEM_ROUTINE routine = work->routine;
  PVOID context = work->context;
  routine(device, context);
  ObDereferenceObject(device);
}

}  // namespace
}  // namespace emu

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
  if (DeviceObject == nullptr)
    emu::BugCheck(emu::WORKER_INVALID, "IoAllocateWorkItem without a device object");
  // The I/O manager's own memory (the driver's pool tag is not involved);
  // one left allocated at its driver's unload is a leak of that driver.
  PIO_WORKITEM work = new _IO_WORKITEM;
  work->item.List.Flink = work->item.List.Blink = nullptr;
  work->item.WorkerRoutine = nullptr;
  work->item.Parameter = nullptr;
  work->device = DeviceObject;
  work->routine = nullptr;
  work->context = nullptr;
  work->owner = emu::internal::CurrentDriverObject();
  std::lock_guard<std::mutex> guard(emu::S().lock);
  emu::S().ioAllocated[work] = work->owner;
  return work;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
  if (WorkerRoutine == nullptr) {
    emu::BugCheck(emu::WORKER_INVALID, "IoQueueWorkItem of %p without a worker routine",
                  static_cast<void*>(IoWorkItem));
  }
  if (IoWorkItem->item.List.Flink != nullptr) {
    emu::BugCheck(emu::WORKER_INVALID, "IoQueueWorkItem of %p, which is already queued",
                  static_cast<void*>(IoWorkItem));
  }
  ObReferenceObject(IoWorkItem->device);
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->item.WorkerRoutine = emu::RunIoWorkItem;
  IoWorkItem->item.Parameter = IoWorkItem;
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    emu::S().ioItems[&IoWorkItem->item] = true;
  }
  ExQueueWorkItem(&IoWorkItem->item, QueueType);
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    if (emu::S().ioAllocated.erase(IoWorkItem) == 0) {
      emu::BugCheck(emu::WORKER_INVALID, "IoFreeWorkItem of %p, which is no I/O work item",
                    static_cast<void*>(IoWorkItem));
    }
  }
  emu::internal::CheckFreedWorkItemsIn(IoWorkItem, sizeof(_IO_WORKITEM), "I/O work item");
  delete IoWorkItem;
}

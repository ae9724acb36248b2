// The system worker threads: a critical, a delayed and a hypercritical work
// queue, each served by its own threads at PASSIVE_LEVEL.
#include <deque>
#include <thread>
#include <vector>

#include "KernelInternal.h"
#include "emu/BugCheck.h"

namespace emu {
namespace {

constexpr int kThreadsPerQueue[MaximumWorkQueue] = {2, 2, 1};

struct Queue {
  std::deque<PWORK_QUEUE_ITEM> items;
  std::vector<std::thread> threads;
  int running = 0;
};

struct State {
  std::mutex lock;
  std::condition_variable wake;
  Queue queues[MaximumWorkQueue];
  bool stop = false;
  bool hold = false;
};

State& S() {
  static State* state = new State;
  return *state;
}

void Worker(int type) {
  State& s = S();
  Queue& q = s.queues[type];
  std::unique_lock<std::mutex> lock(s.lock);
  for (;;) {
    while ((q.items.empty() || s.hold) && !s.stop) s.wake.wait(lock);
    if (q.items.empty())
      return;
    PWORK_QUEUE_ITEM item = q.items.front();
    q.items.pop_front();
    // Out of the queue: the routine may queue the item again.
    item->List.Flink = nullptr;
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    ++q.running;
    lock.unlock();
    routine(parameter);
    if (internal::CurrentIrql() != PASSIVE_LEVEL) {
      BugCheck(WORKER_THREAD_RETURNED_AT_BAD_IRQL, "work item routine %p returned at IRQL %u",
               reinterpret_cast<void*>(routine), internal::CurrentIrql());
    }
    lock.lock();
    --q.running;
  }
}

}  // namespace

namespace internal {

void CheckFreedWorkItems(const void* block, size_t size, unsigned long tag) {
  std::lock_guard<std::mutex> guard(S().lock);
  for (const Queue& q : S().queues) {
    for (PWORK_QUEUE_ITEM item : q.items) {
      if (static_cast<const void*>(item) >= block &&
          reinterpret_cast<const char*>(item) < static_cast<const char*>(block) + size) {
        BugCheck(WORKER_INVALID,
                 "pool block %p (tag '%s') freed while it holds the queued work item %p", block,
                 FormatTag(tag).text, static_cast<void*>(item));
      }
    }
  }
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
  std::lock_guard<std::mutex> guard(s.lock);
  emu::Queue& q = s.queues[QueueType];
  WorkItem->List.Flink = &WorkItem->List;
  q.items.push_back(WorkItem);
  while (int(q.threads.size()) < emu::kThreadsPerQueue[QueueType]) {
    q.threads.emplace_back(emu::Worker, int(QueueType));
  }
  s.wake.notify_all();
}

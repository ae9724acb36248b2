// Kernel timers and DPCs. DPCs run one at a time, in queue order, at
// DISPATCH_LEVEL on the DPC thread; a timer thread expires timers on real
// time unless timer time is manual (emu/Timers.h).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/Chaos.h"
#include "emu/Clock.h"
#include "emu/Kernel.h"
#include "emu/Process.h"
#include "emu/SystemVersion.h"
#include "emu/Timers.h"

namespace emu {
namespace {

using internal::DispatcherChanged;
using internal::DispatcherLock;

// Everything below is guarded by the dispatcher lock.
struct State {
  bool manual = false;
  int64_t manualNow = 0;
  std::map<PKTIMER, int64_t> pending;  // timer -> due, in timer time
  std::unordered_map<const KTIMER*, int64_t> requested;
  std::deque<PKDPC> dpcs;
  bool dpcRunning = false;
  // The driver on whose behalf each pending timer was set and each queued
  // DPC was queued (null: the kernel or a test); a DPC queued by a timer
  // belongs to the timer's driver.
  std::unordered_map<const KTIMER*, PDRIVER_OBJECT> timerOwner;
  std::unordered_map<const KDPC*, PDRIVER_OBJECT> dpcOwner;
  PKDPC runningDpc = nullptr;
  PKDEFERRED_ROUTINE runningRoutine = nullptr;
  PDRIVER_OBJECT runningOwner = nullptr;
  std::condition_variable timerWake;
  std::condition_variable dpcWake;
  std::thread timerThread;
  std::thread dpcThread;
  bool stopTimers = false;
  bool stopDpcs = false;
  // pending.size() + dpcs.size(), stored under the lock after each change
  // and read without it by the pool, which asks at every free whether the
  // block holds a pending timer or a queued DPC: with none at all, the
  // answer needs no lock.
  std::atomic<size_t> armed{0};
  // DPCs taken from the queue and DPCs that have returned, in order (one DPC
  // thread): KeFlushQueuedDpcs waits until those it found have returned.
  uint64_t dpcsStarted = 0;
  uint64_t dpcsFinished = 0;
  std::condition_variable dpcDone;
  // HoldDpcReturns: a driver's DPC that has returned is kept "running"
  // until its driver's unload (or a flush) has looked at it.
  bool holdReturns = false;
  bool runningSeen = false;
};

State& S() {
  static State* state = new State;
  return *state;
}

// After a change of the pending timers or queued DPCs; the lock is held.
void CountArmed(State& s) {
  s.armed.store(s.pending.size() + s.dpcs.size(), std::memory_order_release);
}

int64_t SteadyTicks() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

int64_t TimerNow(State& s) {
  return s.manual ? s.manualNow : SteadyTicks();
}

void DpcThread();
void TimerThread();

// Queues a DPC unless it is already queued; the lock is held.
bool QueueDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2, PDRIVER_OBJECT owner) {
  State& s = S();
  if (dpc->DpcData != nullptr)
    return false;
  s.dpcOwner[dpc] = owner;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = &s;  // marks the DPC as queued
  s.dpcs.push_back(dpc);
  CountArmed(s);
  if (!s.dpcThread.joinable()) {
    s.stopDpcs = false;
    s.dpcThread = std::thread(DpcThread);
  }
  s.dpcWake.notify_one();
  return true;
}

// Expires one pending timer: signalled, out of the timer queue, its DPC
// queued. The lock is held.
void ExpireLocked(PKTIMER timer) {
  State& s = S();
  s.pending.erase(timer);
  CountArmed(s);
  PDRIVER_OBJECT owner = s.timerOwner[timer];
  s.timerOwner.erase(timer);
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 1;
  DispatcherChanged().notify_all();
  if (timer->Dpc != nullptr)
    QueueDpcLocked(timer->Dpc, nullptr, nullptr, owner);
}

// Expires the timers due by `now` (all of them when `all`), earliest first.
size_t ExpireDueLocked(int64_t now, bool all) {
  State& s = S();
  std::vector<std::pair<int64_t, PKTIMER>> due;
  for (const auto& [timer, when] : s.pending) {
    if (all || when <= now)
      due.emplace_back(when, timer);
  }
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& entry : due) ExpireLocked(entry.second);
  return due.size();
}

void TimerThread() {
  Chaos::SetThreadStream(Chaos::kTimerStream);
  ProcessScope inSystem(SystemProcess());
  State& s = S();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  // Chaos mode delays an expiry once (outside the lock), then looks again:
  // the timer may have been cancelled or set anew meanwhile.
  bool delayed = false;
  while (!s.stopTimers) {
    if (s.manual || s.pending.empty()) {
      delayed = false;
      s.timerWake.wait(lock);
      continue;
    }
    int64_t now = SteadyTicks();
    int64_t next = INT64_MAX;
    for (const auto& entry : s.pending) next = std::min(next, entry.second);
    if (next <= now) {
      if (!delayed && Chaos::Enabled()) {
        delayed = true;
        lock.unlock();
        Chaos::At(Chaos::kTimerExpiry);
        lock.lock();
        continue;
      }
      delayed = false;
      ExpireDueLocked(now, false);
      continue;
    }
    delayed = false;
    s.timerWake.wait_for(lock, std::chrono::nanoseconds((next - now) * 100));
  }
}

void DpcThread() {
  Chaos::SetThreadStream(Chaos::kDpcStream);
  ProcessScope inSystem(SystemProcess());
  State& s = S();
  internal::CurrentIrql() = DISPATCH_LEVEL;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  for (;;) {
    while (s.dpcs.empty() && !s.stopDpcs) s.dpcWake.wait(lock);
    if (s.dpcs.empty())
      return;
    PKDPC dpc = s.dpcs.front();
    s.dpcs.pop_front();
    CountArmed(s);
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    PDRIVER_OBJECT owner = s.dpcOwner[dpc];
    s.dpcOwner.erase(dpc);
    s.dpcRunning = true;
    s.runningDpc = dpc;
    s.runningRoutine = routine;
    s.runningOwner = owner;
    s.runningSeen = false;
    ++s.dpcsStarted;
    lock.unlock();
    // Chaos mode: the DPC starts late, as behind an interrupt or another
    // DPC on a real processor.
    Chaos::At(Chaos::kRunDpc);
    internal::PageOutPageable();
    {
      internal::DriverContext driver(owner);
      routine(dpc, context, argument1, argument2);
    }
    if (internal::CurrentIrql() != DISPATCH_LEVEL) {
      BugCheck(IRQL_NOT_LESS_OR_EQUAL,
               "DPC routine %p%s%s returned at IRQL %u instead of DISPATCH_LEVEL",
               reinterpret_cast<void*>(routine), owner ? " of driver " : "",
               owner ? internal::DriverNameOf(owner) : "", internal::CurrentIrql());
    }
    lock.lock();
    while (s.holdReturns && owner != nullptr && !s.runningSeen) s.dpcDone.wait(lock);
    s.dpcRunning = false;
    s.runningDpc = nullptr;
    s.runningOwner = nullptr;
    ++s.dpcsFinished;
    s.dpcDone.notify_all();
  }
}

void ValidateTimer(const KTIMER* timer, const char* service) {
  if (timer == nullptr ||
      (timer->Header.Type != TimerNotificationObject &&
       timer->Header.Type != TimerSynchronizationObject) ||
      timer->Header.Size != sizeof(KTIMER) / sizeof(LONG)) {
    BugCheck(TIMER_OR_DPC_INVALID, "%s of %p, which is not an initialised timer", service,
             static_cast<const void*>(timer));
  }
}

}  // namespace

namespace internal {

void CheckFreedTimersAndDpcs(const void* block, size_t size, unsigned long tag) {
  if (!AnyTimerOrDpcIn(block, size) && !AnyWorkItemIn(block, size))
    return;
  char what[64];
  snprintf(what, sizeof what, "pool block %p (tag '%s')", block, FormatTag(tag).text);
  CheckFreedMemory(block, size, what);
}

bool AnyTimerOrDpcIn(const void* block, size_t size) {
  if (S().armed.load(std::memory_order_acquire) == 0)
    return false;
  auto inside = [&](const void* p) {
    return p >= block && static_cast<const char*>(p) < static_cast<const char*>(block) + size;
  };
  std::lock_guard<std::mutex> guard(DispatcherLock());
  // The pending timers are ordered by address: the first at or after the
  // block's start is the only one that can lie inside it.
  auto timer = S().pending.lower_bound(static_cast<PKTIMER>(const_cast<void*>(block)));
  if (timer != S().pending.end() && inside(timer->first))
    return true;
  for (PKDPC dpc : S().dpcs) {
    if (inside(dpc))
      return true;
  }
  return false;
}

void CheckFreedMemory(const void* block, size_t size, const char* what) {
  auto inside = [&](const void* p) {
    return p >= block && static_cast<const char*>(p) < static_cast<const char*>(block) + size;
  };
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    for (const auto& entry : S().pending) {
      if (inside(entry.first)) {
        PDRIVER_OBJECT owner = S().timerOwner[entry.first];
        BugCheck(TIMER_OR_DPC_INVALID, "%s freed while it holds the pending timer %p%s%s", what,
                 static_cast<void*>(entry.first), owner ? " set by driver " : "",
                 owner ? DriverNameOf(owner) : "");
      }
    }
    for (PKDPC dpc : S().dpcs) {
      if (inside(dpc)) {
        PDRIVER_OBJECT owner = S().dpcOwner[dpc];
        BugCheck(TIMER_OR_DPC_INVALID, "%s freed while it holds the queued DPC %p%s%s", what,
                 static_cast<void*>(dpc), owner ? " of driver " : "",
                 owner ? DriverNameOf(owner) : "");
      }
    }
  }
  CheckFreedWorkItemsIn(block, size, what);
}

void CheckDriverTimersAndDpcs(PDRIVER_OBJECT driver, const char* name) {
  State& s = S();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  for (const auto& [timer, owner] : s.timerOwner) {
    if (owner == driver) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded with its timer %p still set (DPC %p, routine %p)", name,
               static_cast<const void*>(timer), static_cast<void*>(timer->Dpc),
               timer->Dpc ? reinterpret_cast<void*>(timer->Dpc->DeferredRoutine) : nullptr);
    }
  }
  for (PKDPC dpc : s.dpcs) {
    if (s.dpcOwner[dpc] == driver) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded with its DPC %p (routine %p) still queued", name,
               static_cast<void*>(dpc), reinterpret_cast<void*>(dpc->DeferredRoutine));
    }
  }
  // Where the system has KeFlushQueuedDpcs the driver can wait until its
  // DPCs have returned; one that did not is unmapped under a DPC still
  // running. Windows 98/Me and 2000 lack it: the DPC gets the grace.
  const bool strict = CurrentSystemVersion() == SystemVersion::WindowsXp;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnloadGraceMs);
  while (s.dpcRunning && s.runningOwner == driver) {
    if (strict) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded while its DPC %p (routine %p) is still running (not "
               "flushed with KeFlushQueuedDpcs)",
               name, static_cast<void*>(s.runningDpc),
               reinterpret_cast<void*>(s.runningRoutine));
    }
    s.runningSeen = true;
    s.dpcDone.notify_all();
    if (std::chrono::steady_clock::now() >= deadline) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded while its DPC %p (routine %p) is running", name,
               static_cast<void*>(s.runningDpc), reinterpret_cast<void*>(s.runningRoutine));
    }
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
}

void HoldDpcReturns(bool hold) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  S().holdReturns = hold;
  S().dpcDone.notify_all();
}

bool DpcsIdle() {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return S().dpcs.empty() && !S().dpcRunning;
}

void StopDpcThread() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    S().stopDpcs = true;
    S().dpcWake.notify_all();
    S().stopTimers = true;
    S().timerWake.notify_all();
    thread = std::move(S().dpcThread);
  }
  if (thread.joinable())
    thread.join();
  std::thread timers;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    timers = std::move(S().timerThread);
  }
  if (timers.joinable())
    timers.join();
  std::lock_guard<std::mutex> guard(DispatcherLock());
  S().stopTimers = false;
  S().stopDpcs = false;
}

void ResetTimers() {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  for (auto& entry : S().pending) entry.first->Header.Inserted = 0;
  S().pending.clear();
  CountArmed(S());
  S().timerOwner.clear();
  S().requested.clear();
}

}  // namespace internal

namespace detail {
void CheckFreedRange(const void* block, size_t bytes) {
  internal::CheckFreedMemory(block, bytes, "freed memory");
}
}  // namespace detail

void Timers::SetManual(bool manual) {
  State& s = S();
  std::lock_guard<std::mutex> guard(DispatcherLock());
  if (manual == s.manual)
    return;
  int64_t steady = SteadyTicks();
  for (auto& entry : s.pending) {
    int64_t remaining = entry.second - (s.manual ? s.manualNow : steady);
    entry.second = remaining + (manual ? s.manualNow : steady);
  }
  s.manual = manual;
  s.timerWake.notify_all();
}

bool Timers::Manual() {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return S().manual;
}

size_t Timers::Advance(int64_t ticks) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  S().manualNow += ticks;
  return ExpireDueLocked(TimerNow(S()), false);
}

size_t Timers::FireAll() {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return ExpireDueLocked(0, true);
}

size_t Timers::Pending() {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return S().pending.size();
}

bool Timers::IsPending(const KTIMER* timer) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return S().pending.count(const_cast<PKTIMER>(timer)) != 0;
}

int64_t Timers::RequestedDueTime(const KTIMER* timer) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  auto it = S().requested.find(timer);
  return it == S().requested.end() ? 0 : it->second;
}

}  // namespace emu

using emu::internal::DispatcherLock;

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                      PVOID DeferredContext) {
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                          PVOID SystemArgument2) {
  if (Dpc->Type != 19 || Dpc->DeferredRoutine == nullptr) {
    emu::BugCheck(emu::TIMER_OR_DPC_INVALID,
                  "KeInsertQueueDpc of %p, which is not an initialised DPC",
                  static_cast<void*>(Dpc));
  }
  BOOLEAN queued;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    queued = emu::QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2,
                                 emu::internal::CurrentDriverObject());
  }
  // Chaos mode: the DPC may run (on another processor) before the queueing
  // thread goes on.
  emu::Chaos::At(emu::Chaos::kQueueDpc);
  return queued;
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  auto& dpcs = emu::S().dpcs;
  auto it = std::find(dpcs.begin(), dpcs.end(), Dpc);
  if (it == dpcs.end())
    return FALSE;
  dpcs.erase(it);
  emu::CountArmed(emu::S());
  emu::S().dpcOwner.erase(Dpc);
  Dpc->DpcData = nullptr;
  return TRUE;
}

extern "C" VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (emu::S().pending.count(Timer) != 0) {
      emu::BugCheck(emu::TIMER_OR_DPC_INVALID, "KeInitializeTimer of the pending timer %p",
                    static_cast<void*>(Timer));
    }
    emu::S().requested.erase(Timer);
  }
  Timer->Header.Type = TimerNotificationObject;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = UCHAR(sizeof(KTIMER) / sizeof(LONG));
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  Timer->Header.WaitListHead.Flink = Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
  emu::ValidateTimer(Timer, "KeSetTimer");
  emu::State& s = emu::S();
  std::lock_guard<std::mutex> guard(DispatcherLock());
  bool wasPending = s.pending.erase(Timer) != 0;
  s.timerOwner[Timer] = emu::internal::CurrentDriverObject();
  int64_t relative = DueTime.QuadPart < 0
                         ? -DueTime.QuadPart
                         : std::max<int64_t>(0, DueTime.QuadPart - emu::Clock::Now());
  int64_t due = emu::TimerNow(s) + relative;
  s.requested[Timer] = DueTime.QuadPart;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = 1;
  Timer->DueTime.QuadPart = ULONGLONG(due);
  Timer->Dpc = Dpc;
  Timer->Period = 0;
  s.pending[Timer] = due;
  emu::CountArmed(s);
  if (!s.timerThread.joinable()) {
    s.stopTimers = false;
    s.timerThread = std::thread(emu::TimerThread);
  }
  s.timerWake.notify_all();
  return wasPending ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  emu::ValidateTimer(Timer, "KeCancelTimer");
  std::lock_guard<std::mutex> guard(DispatcherLock());
  bool wasPending = emu::S().pending.erase(Timer) != 0;
  emu::CountArmed(emu::S());
  emu::S().timerOwner.erase(Timer);
  Timer->Header.Inserted = 0;
  return wasPending ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Timer->Header.SignalState ? TRUE : FALSE;
}

extern "C" VOID NTAPI KeFlushQueuedDpcs(VOID) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
  emu::State& s = emu::S();
  std::unique_lock<std::mutex> lock(emu::DispatcherLock());
  // FIFO on the one DPC thread: every DPC queued now has returned once as
  // many have finished as were started or queued. A DPC taken out again
  // with KeRemoveQueueDpc is no longer counted.
  const std::vector<PKDPC> queued(s.dpcs.begin(), s.dpcs.end());
  const uint64_t running = s.dpcRunning ? s.dpcsStarted : 0;
  for (;;) {
    bool left = running != 0 && s.dpcsFinished < running;
    for (PKDPC dpc : queued) {
      if (std::find(s.dpcs.begin(), s.dpcs.end(), dpc) != s.dpcs.end())
        left = true;
    }
    if (s.dpcRunning && std::find(queued.begin(), queued.end(), s.runningDpc) != queued.end())
      left = true;
    if (!left)
      return;
    // A return held by HoldDpcReturns is what is waited for here.
    if (s.dpcRunning)
      s.runningSeen = true;
    s.dpcDone.notify_all();
    // (A DPC removed from the queue meanwhile ends no wait: look again.)
    s.dpcDone.wait_for(lock, std::chrono::milliseconds(1));
  }
}

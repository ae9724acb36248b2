// Thread suspension and critical regions: the suspend APC is held off while
// the thread is in a critical region or above PASSIVE_LEVEL.
#include "emu/Suspend.h"

#include <atomic>
#include <map>

#include "KernelInternal.h"
#include "emu/BugCheck.h"

namespace emu {
namespace {

struct Suspension {
  bool requested = false;
  bool stopped = false;
};

// Guarded by the dispatcher lock, so that a wait sees a request at once.
std::map<std::thread::id, Suspension>& Suspensions() {
  static auto* suspensions = new std::map<std::thread::id, Suspension>;
  return *suspensions;
}

// Suspensions requested and not resumed: with none, nothing is looked up.
std::atomic<int> requested{0};

// KeEnterCriticalRegion minus KeLeaveCriticalRegion of the calling thread.
thread_local int criticalRegion = 0;

}  // namespace

namespace internal {

bool SuspendedInWait() {
  if (requested.load() == 0)
    return false;
  Suspension& self = Suspensions()[std::this_thread::get_id()];
  const bool stop =
      self.requested && criticalRegion == 0 && CurrentIrql() == PASSIVE_LEVEL;
  if (stop != self.stopped) {
    self.stopped = stop;
    DispatcherChanged().notify_all();
  }
  return stop;
}

void SuspendPoint() {
  if (requested.load() == 0)
    return;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  while (SuspendedInWait()) DispatcherChanged().wait(lock);
}

void CheckNoCriticalRegionAtUserReturn(const char* what) {
  if (criticalRegion != 0) {
    BugCheck(APC_INDEX_MISMATCH,
             "%s returns to user mode inside a critical region (KeEnterCriticalRegion %d more "
             "times than KeLeaveCriticalRegion)",
             what, criticalRegion);
  }
}

}  // namespace internal

void SuspendThread(std::thread::id thread) {
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  Suspension& s = Suspensions()[thread];
  if (!s.requested) {
    s.requested = true;
    ++requested;
  }
  internal::DispatcherChanged().notify_all();
}

void ResumeThread(std::thread::id thread) {
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  Suspension& s = Suspensions()[thread];
  if (s.requested) {
    s.requested = false;
    --requested;
  }
  internal::DispatcherChanged().notify_all();
}

bool ThreadIsStopped(std::thread::id thread) {
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  return Suspensions()[thread].stopped;
}

}  // namespace emu

extern "C" VOID NTAPI KeEnterCriticalRegion(VOID) {
  ++emu::criticalRegion;
}

extern "C" VOID NTAPI KeLeaveCriticalRegion(VOID) {
  if (emu::criticalRegion == 0) {
    emu::BugCheck(emu::APC_INDEX_MISMATCH,
                  "KeLeaveCriticalRegion without a KeEnterCriticalRegion before it");
  }
  // Leaving the last region delivers a suspension that waited for it.
  if (--emu::criticalRegion == 0)
    emu::internal::SuspendPoint();
}

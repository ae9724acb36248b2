// Dispatcher objects: events, semaphores and the wait on any of them
// (threads and timers included).
#include <chrono>

#include "KernelInternal.h"
#include "emu/BugCheck.h"
#include "emu/Chaos.h"
#include "emu/Clock.h"
#include "emu/SystemVersion.h"

namespace emu {
namespace internal {

std::mutex& DispatcherLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::condition_variable& DispatcherChanged() {
  static std::condition_variable* changed = new std::condition_variable;
  return *changed;
}

}  // namespace internal

namespace {

using internal::DispatcherChanged;
using internal::DispatcherLock;

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, size_t size, LONG state) {
  h->Type = type;
  h->Absolute = 0;
  h->Size = UCHAR(size / sizeof(LONG));
  h->Inserted = 0;
  h->SignalState = state;
  h->WaitListHead.Flink = h->WaitListHead.Blink = &h->WaitListHead;
}

// An object that was never initialised (or was overwritten) cannot be waited
// on or signalled: the real kernel would walk a garbage wait list.
void Validate(const DISPATCHER_HEADER* h, const char* service) {
  if (h == nullptr)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "%s of a null object", service);
  bool ok = false;
  switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
      ok = h->Size == sizeof(KEVENT) / sizeof(LONG);
      break;
    case SemaphoreObject:
      ok = h->Size == sizeof(KSEMAPHORE) / sizeof(LONG);
      break;
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      ok = h->Size == sizeof(KTIMER) / sizeof(LONG);
      break;
    case ThreadObject:
      ok = true;
      break;
  }
  if (!ok || h->WaitListHead.Flink != &h->WaitListHead) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "%s of %p, which is not an initialised dispatcher object (type %u, size %u)", service,
             static_cast<const void*>(h), h->Type, h->Size);
  }
}

void ValidateType(const DISPATCHER_HEADER* h, UCHAR a, UCHAR b, const char* service) {
  Validate(h, service);
  if (h->Type != a && h->Type != b) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "%s of %p, a dispatcher object of type %u",
             service, static_cast<const void*>(h), h->Type);
  }
}

// Under the dispatcher lock: is the object signalled? Satisfying a wait
// consumes a synchronisation event's or timer's signal and one unit of a
// semaphore.
bool TrySatisfy(DISPATCHER_HEADER* h) {
  if (h->SignalState <= 0)
    return false;
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case SemaphoreObject:
      --h->SignalState;
      break;
    default:
      break;
  }
  return true;
}

}  // namespace
}  // namespace emu

using emu::internal::DispatcherChanged;
using emu::internal::DispatcherLock;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  emu::InitHeader(
      &Event->Header,
      Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject,
      sizeof(KEVENT), State ? 1 : 0);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;  // the driver never follows a set by a wait
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  emu::ValidateType(&Event->Header, EventNotificationObject, EventSynchronizationObject,
                    "KeSetEvent");
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    DispatcherChanged().notify_all();
  }
  // Chaos mode: the woken waiter may run before the signalling thread goes
  // on (it does on another processor).
  emu::Chaos::At(emu::Chaos::kSignal);
  return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  emu::ValidateType(&Event->Header, EventNotificationObject, EventSynchronizationObject,
                    "KeResetEvent");
  std::lock_guard<std::mutex> guard(DispatcherLock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
  KeResetEvent(Event);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Event->Header.SignalState;
}

extern "C" VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  emu::InitHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
  Semaphore->Limit = Limit;
}

extern "C" LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment,
                                         LONG Adjustment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  emu::ValidateType(&Semaphore->Header, SemaphoreObject, SemaphoreObject, "KeReleaseSemaphore");
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    previous = Semaphore->Header.SignalState;
    // The kernel raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here; nothing in a
    // driver handles it, so the system stops.
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
      emu::BugCheck(emu::KMODE_EXCEPTION_NOT_HANDLED,
                    "exception 0x%08lX (STATUS_SEMAPHORE_LIMIT_EXCEEDED): KeReleaseSemaphore of "
                    "%p by %ld with count %ld and limit %ld",
                    (unsigned long)STATUS_SEMAPHORE_LIMIT_EXCEEDED, static_cast<void*>(Semaphore),
                    Adjustment, previous, Semaphore->Limit);
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    DispatcherChanged().notify_all();
  }
  emu::Chaos::At(emu::Chaos::kSignal);
  return previous;
}

extern "C" LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Semaphore->Header.SignalState;
}

namespace {

// Converts a kernel time-out (negative: relative, positive: absolute system
// time) to a host deadline.
std::chrono::steady_clock::time_point Deadline(LONGLONG timeout) {
  LONGLONG relative = timeout < 0 ? -timeout : timeout - emu::Clock::Now();
  if (relative < 0)
    relative = 0;
  return std::chrono::steady_clock::now() + std::chrono::nanoseconds(relative * 100);
}

}  // namespace

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  // Only a wait that cannot block is allowed at DISPATCH_LEVEL.
  emu::internal::RequireIrqlAtMost(poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  emu::Validate(header, "KeWaitForSingleObject");
  // Windows 98/Me's thread objects are no dispatcher objects.
  if (header->Type == ThreadObject && emu::CurrentSystemVersion() == emu::SystemVersion::Windows98) {
    emu::BugCheck(emu::KMODE_EXCEPTION_NOT_HANDLED,
                  "KeWaitForSingleObject on thread object %p: Windows 98/Me cannot wait on a thread",
                  Object);
  }
  std::unique_lock<std::mutex> lock(DispatcherLock());
  // A suspension takes effect in the wait at once: the thread stays
  // stopped, and takes nothing signalled, until it is resumed.
  if (Timeout == nullptr) {
    while (emu::internal::SuspendedInWait() || !emu::TrySatisfy(header))
      DispatcherChanged().wait(lock);
    return STATUS_SUCCESS;
  }
  auto deadline = Deadline(Timeout->QuadPart);
  for (;;) {
    if (emu::internal::SuspendedInWait()) {
      DispatcherChanged().wait(lock);
      continue;
    }
    if (emu::TrySatisfy(header))
      return STATUS_SUCCESS;
    if (DispatcherChanged().wait_until(lock, deadline) == std::cv_status::timeout &&
        !emu::internal::SuspendedInWait()) {
      return emu::TrySatisfy(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
  }
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  emu::internal::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  std::unique_lock<std::mutex> lock(DispatcherLock());
  auto deadline = Deadline(Interval->QuadPart);
  while (DispatcherChanged().wait_until(lock, deadline) != std::cv_status::timeout) {
  }
  return STATUS_SUCCESS;
}

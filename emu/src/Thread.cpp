// System threads: real host threads, each with a thread object that is
// signalled when the thread ends.
#include <atomic>
#include <chrono>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/Chaos.h"
#include "emu/Object.h"
#include "emu/Process.h"

// The thread object's body. Only the dispatcher header is known to drivers
// (they may wait on a thread); the rest is the emulator's.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  PKSTART_ROUTINE routine;
  PVOID context;
  bool system;
  NTSTATUS exitStatus;
  PDRIVER_OBJECT owner;  // the driver that created the system thread
};

namespace emu {
namespace internal {
size_t RunningSystemThreads();
}  // namespace internal

namespace {

std::atomic<size_t> runningSystemThreads{0};
// System threads created so far: the n-th one has chaos stream n.
std::atomic<uint64_t> createdSystemThreads{0};

// System threads that have not ended; guarded by the dispatcher lock.
std::set<_KTHREAD*>& LiveThreads() {
  static auto* live = new std::set<_KTHREAD*>;
  return *live;
}

POBJECT_TYPE ThreadType() {
  static POBJECT_TYPE type = CreateObjectType("Thread", nullptr);
  return type;
}

_KTHREAD*& Current() {
  thread_local _KTHREAD* current = nullptr;
  return current;
}

_KTHREAD* NewThreadObject(bool system) {
  auto* thread = static_cast<_KTHREAD*>(CreateObject(ThreadType(), sizeof(_KTHREAD)));
  thread->Header.Type = ThreadObject;
  thread->Header.Size = UCHAR(sizeof(_KTHREAD) / sizeof(LONG));
  thread->Header.WaitListHead.Flink = thread->Header.WaitListHead.Blink =
      &thread->Header.WaitListHead;
  thread->system = system;
  thread->owner = nullptr;
  return thread;
}

// Thrown by PsTerminateSystemThread and caught where the thread began: the
// thread's frames are left without running anything in them, as in the
// kernel.
struct Termination {
  NTSTATUS status;
};

void RunSystemThread(_KTHREAD* thread, uint64_t number) {
  Chaos::SetThreadStream(Chaos::SystemThreadStream(number));
  Current() = thread;
  ProcessScope inSystem(SystemProcess());
  internal::CurrentIrql() = PASSIVE_LEVEL;
  NTSTATUS status = STATUS_SUCCESS;
  try {
    internal::DriverContext driver(thread->owner);
    thread->routine(thread->context);
  } catch (const Termination& t) {
    status = t.status;
  }
  if (internal::CurrentIrql() != PASSIVE_LEVEL) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "system thread %p%s%s ended at IRQL %u",
             static_cast<void*>(thread), thread->owner ? " of driver " : "",
             thread->owner ? internal::DriverNameOf(thread->owner) : "",
             internal::CurrentIrql());
  }
  {
    std::lock_guard<std::mutex> guard(internal::DispatcherLock());
    LiveThreads().erase(thread);
    thread->exitStatus = status;
    thread->Header.SignalState = 1;
    internal::DispatcherChanged().notify_all();
  }
  Current() = nullptr;
  --runningSystemThreads;
  ObfDereferenceObject(thread);  // the running thread's own reference
}

}  // namespace

namespace internal {
size_t RunningSystemThreads() {
  return runningSystemThreads.load();
}

void CheckDriverThreads(PDRIVER_OBJECT driver, const char* name) {
  std::unique_lock<std::mutex> lock(DispatcherLock());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnloadGraceMs);
  for (;;) {
    _KTHREAD* found = nullptr;
    for (_KTHREAD* thread : LiveThreads()) {
      if (thread->owner == driver)
        found = thread;
    }
    if (found == nullptr)
      return;
    if (DispatcherChanged().wait_until(lock, deadline) == std::cv_status::timeout) {
      for (_KTHREAD* thread : LiveThreads()) {
        if (thread->owner == driver) {
          BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                   "driver %s unloaded while its system thread %p (start routine %p) is running",
                   name, static_cast<void*>(thread), reinterpret_cast<void*>(thread->routine));
        }
      }
      return;
    }
  }
}
}  // namespace internal

}  // namespace emu

static POBJECT_TYPE threadTypeHolder = emu::ThreadType();
POBJECT_TYPE* PsThreadType = &threadTypeHolder;

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               struct _OBJECT_ATTRIBUTES* ObjectAttributes,
                                               HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                               PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  (void)DesiredAccess;
  (void)ProcessHandle;
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  _KTHREAD* thread = emu::NewThreadObject(true);
  thread->routine = StartRoutine;
  thread->context = StartContext;
  thread->owner = emu::internal::CurrentDriverObject();
  {
    std::lock_guard<std::mutex> guard(emu::internal::DispatcherLock());
    emu::LiveThreads().insert(thread);
  }
  // The thread runs in the system process, but its handle is made for the
  // caller: in the caller's process unless it asked for a kernel handle.
  *ThreadHandle = emu::internal::CreateHandleInContext(
      thread, ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0);
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = *ThreadHandle;
  }
  ++emu::runningSystemThreads;
  std::thread(emu::RunSystemThread, thread, emu::createdSystemThreads++).detach();
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  _KTHREAD* thread = emu::Current();
  if (thread == nullptr || !thread->system) {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "PsTerminateSystemThread called outside a system thread");
  }
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
  throw emu::Termination{ExitStatus};
}

extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID) {
  _KTHREAD*& current = emu::Current();
  if (current == nullptr) {
    // A host thread (a test's, a simulated application's) gets a thread
    // object of its own the first time it asks; it stays while the process
    // runs.
    static std::mutex lock;
    static std::vector<_KTHREAD*>* all = new std::vector<_KTHREAD*>;
    current = emu::NewThreadObject(false);
    std::lock_guard<std::mutex> guard(lock);
    all->push_back(current);
  }
  return current;
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID) {
  return reinterpret_cast<PETHREAD>(KeGetCurrentThread());
}

// Completion routines and the unload: the routines being run, the hold
// that keeps a returned routine in its last instructions until the unload
// looks, and IoSetCompletionRoutineEx, which keeps the routine's driver
// loaded until the routine has returned.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/Pool.h"
#include "emu/SystemVersion.h"

namespace emu {
namespace io {
namespace {

constexpr uint32_t kUnloadSafeTag = MakePoolTag("IoUs");
constexpr char kUnloadSafeWhat[] = "the context of IoSetCompletionRoutineEx";

// What IoSetCompletionRoutineEx keeps until the routine has run.
struct UnloadSafeContext {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  PDEVICE_OBJECT device;
};

struct State {
  std::mutex lock;
  std::condition_variable wake;
  std::vector<RunningCompletion*> running;
  bool holdReturns = false;
};

State& S() {
  static State* state = new State;
  return *state;
}

// The I/O manager's routine in front of the driver's: the reference on the
// device object, taken when the routine was set, keeps the device object
// and with it the driver object and the driver's image until the driver's
// routine has returned.
NTSTATUS NTAPI UnloadSafeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* safe = static_cast<UnloadSafeContext*>(context);
  const NTSTATUS result = safe->routine(device, irp, safe->context);
  PDEVICE_OBJECT held = safe->device;
  internal::FreeKernelBlock(safe, kUnloadSafeTag, kUnloadSafeWhat);
  ObDereferenceObject(held);
  return result;
}

}  // namespace

bool IsUnloadSafeCompletion(PIO_COMPLETION_ROUTINE routine) {
  return routine == UnloadSafeCompletion;
}

void EnterCompletionRoutine(RunningCompletion* running) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  s.running.push_back(running);
}

void LeaveCompletionRoutine(RunningCompletion* running) {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.lock);
  // Still "in the routine's last instructions" until the unload looks.
  while (s.holdReturns && running->owner != nullptr && !running->seen) s.wake.wait(lock);
  s.running.erase(std::find(s.running.begin(), s.running.end(), running));
  s.wake.notify_all();
}

void HoldCompletionReturns(bool hold) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().holdReturns = hold;
  S().wake.notify_all();
}

void CheckDriverCompletionRoutines(PDRIVER_OBJECT driver, const char* name) {
  // Where the system has IoSetCompletionRoutineEx, a driver that can be
  // unloaded keeps itself loaded until its routine has returned; one that
  // set its routine with IoSetCompletionRoutine is unmapped under it. On
  // Windows 98/Me and 2000 the window cannot be closed, and the routine gets
  // the grace.
  const bool strict =
      CurrentSystemVersion() >= FirstExportedIn("IoSetCompletionRoutineEx");
  State& s = S();
  std::unique_lock<std::mutex> lock(s.lock);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(internal::kUnloadGraceMs);
  for (;;) {
    RunningCompletion* found = nullptr;
    for (RunningCompletion* r : s.running) {
      if (r->owner == driver)
        found = r;
    }
    if (found == nullptr)
      return;
    if (!found->unloadSafe && (strict || std::chrono::steady_clock::now() >= deadline)) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded while its completion routine %p (IRP %p, set with "
               "IoSetCompletionRoutine) is still running: nothing keeps the driver loaded until "
               "it returns (IoSetCompletionRoutineEx would)",
               name, reinterpret_cast<void*>(found->routine), static_cast<void*>(found->irp));
    }
    for (RunningCompletion* r : s.running) {
      if (r->owner == driver)
        r->seen = true;
    }
    s.wake.notify_all();
    if (found->unloadSafe) {
      // The device object's reference holds the unload until it returns.
      s.wake.wait(lock);
      continue;
    }
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
}

}  // namespace io
}  // namespace emu

extern "C" NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PIO_COMPLETION_ROUTINE CompletionRoutine,
                                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                                   BOOLEAN InvokeOnError,
                                                   BOOLEAN InvokeOnCancel) {
  using namespace emu;
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoSetCompletionRoutineEx");
  {
    std::lock_guard<std::mutex> guard(io::Lock());
    io::RequireDevice(DeviceObject, "IoSetCompletionRoutineEx");
  }
  // The reference protects the routine only if the device object belongs
  // to the routine's driver.
  PDRIVER_OBJECT caller = internal::CurrentDriverObject();
  if (caller != nullptr && DeviceObject->DriverObject != caller) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoSetCompletionRoutineEx: driver %s gave device %p of driver %s; the device object "
             "must be the caller's own",
             internal::DriverNameOf(caller), static_cast<void*>(DeviceObject),
             internal::DriverNameOf(DeviceObject->DriverObject));
  }
  if (CompletionRoutine == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoSetCompletionRoutineEx for IRP %p without a routine", static_cast<void*>(Irp));
  }
  auto* safe = static_cast<io::UnloadSafeContext*>(internal::AllocateKernelBlock(
      sizeof(io::UnloadSafeContext), io::kUnloadSafeTag, io::kUnloadSafeWhat));
  if (safe == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  safe->routine = CompletionRoutine;
  safe->context = Context;
  safe->device = DeviceObject;
  ObReferenceObject(DeviceObject);
  IoSetCompletionRoutine(Irp, io::UnloadSafeCompletion, safe, InvokeOnSuccess, InvokeOnError,
                         InvokeOnCancel);
  return STATUS_SUCCESS;
}

// Shared internals of the emulated executive (not part of any public
// interface): the per-thread IRQL, the dispatcher lock, and the checks the
// pool makes against pending timers, queued DPCs and queued work items.
#pragma once

#include <signal.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <ntddk.h>

namespace emu {
namespace internal {

// The IRQL of the calling host thread (PASSIVE_LEVEL for every new thread).
KIRQL& CurrentIrql();

// Bug-checks unless the current IRQL is at most `maximum`; `service` names
// the call for the message.
void RequireIrqlAtMost(KIRQL maximum, const char* service);

// Takes and gives back a spin lock without changing the IRQL (the
// interlocked list services); the same checks as KfAcquireSpinLock.
void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* service);
void ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* service);

// One lock and one condition for all dispatcher objects: a wait checks the
// object's state under the lock, every signal wakes all waiters to look again.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherChanged();

// Bug-checks when [block, block + size) holds a pending timer, a queued DPC
// or a queued work item: freeing it would corrupt the kernel's queues.
void CheckFreedTimersAndDpcs(const void* block, size_t size, unsigned long tag);
void CheckFreedWorkItems(const void* block, size_t size, unsigned long tag);
// The same for any memory about to be freed (a device object with its
// extension, a pool block); `what` starts the message ("device object
// 81F2C3A8 of driver \Driver\X").
void CheckFreedMemory(const void* block, size_t size, const char* what);
void CheckFreedWorkItemsIn(const void* block, size_t size, const char* what);
// Whether [block, block + size) holds any of them (no message, no bug check).
bool AnyTimerOrDpcIn(const void* block, size_t size);
bool AnyWorkItemIn(const void* block, size_t size);

// The name of a driver object ("\Driver\X") for messages; takes no lock.
const char* DriverNameOf(PDRIVER_OBJECT driver);

// Kernel activity charged to a driver that is unloading: a timer it set, a
// DPC it queued (or its timer queued), a work item it queued, a system
// thread it created, still there when its unload routine has returned.
// Each would run code or touch data that is about to disappear: bug check
// DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS naming `name`.
// A routine that is still running (has not returned) is the same fault
// where the system offers a way to wait for it: a work item routine queued
// with ExQueueWorkItem (an I/O work item keeps the driver until its routine
// has returned: the unload waits for it), and a DPC on a system with
// KeFlushQueuedDpcs (XP). Where the system lacks that way (Windows 98/Me
// have no I/O work items, 98/Me and 2000 no KeFlushQueuedDpcs), and for a
// system thread, a running routine is given a short grace (kUnloadGraceMs)
// to leave, since the driver has no means to close that window.
constexpr int kUnloadGraceMs = 2000;
void CheckDriverTimersAndDpcs(PDRIVER_OBJECT driver, const char* name);
void CheckDriverWorkItems(PDRIVER_OBJECT driver, const char* name);
void CheckDriverThreads(PDRIVER_OBJECT driver, const char* name);
// An error log entry the driver allocated and never wrote (ErrorLog.cpp).
void CheckDriverErrorLogEntries(PDRIVER_OBJECT driver, const char* name);

// Thread suspension (Suspend.cpp). With the dispatcher lock held: whether
// the calling thread is to stay stopped in its wait (a suspension was
// asked for and the thread is at PASSIVE_LEVEL outside a critical region).
bool SuspendedInWait();
// Stops the calling thread while such a suspension holds (takes the lock).
void SuspendPoint();
// A request of user mode is done: the thread must have left every critical
// region (APC_INDEX_MISMATCH).
void CheckNoCriticalRegionAtUserReturn(const char* what);

// Work queue and DPC state for Kernel::Quiesce.
bool DpcsIdle();
bool WorkQueuesIdle();
void StopDpcThread();
void StopWorkerThreads();
void HoldWorkQueues(bool hold);
void HoldWorkItemReturns(bool hold);
void HoldDpcReturns(bool hold);
void ResetTimers();

// Formats a pool tag as its four characters.
struct TagText {
  char text[5];
};
TagText FormatTag(unsigned long tag);

// Hands a fault that is not one's own to the handler installed before
// (`previous`); without one, restores the default action, so that the
// faulting access runs again and ends the process as it would have.
void PassOnFault(const struct sigaction& previous, int signal, siginfo_t* info, void* context);

// Under AddressSanitizer, clears the shadow of the stack below the caller:
// a signal handler's frames may land on stack whose shadow still marks the
// redzones of frames that were there before the fault (qemu-user's
// emulated signal frame leaves them), and instrumented code there would
// trip it. Nothing elsewhere.
void ClearStackShadow();

// One byte of a driver's guarded read of user memory (emu/UserMemory.h):
// true with the byte, false where the access faults; bug-checks at
// DISPATCH_LEVEL or above.
bool GuardedUserRead(uintptr_t address, uint8_t* byte);

// Called first by the user-memory fault handler: a fault of driver image
// code under an exception frame of its own (the thread's exception list,
// behind its fs segment) is dispatched to the frame's handler, and a byte
// load of a readable user address is carried out; true when it was ours.
bool DispatchImageFault(siginfo_t* info, void* context);
// Whether the address lies inside a loaded driver image.
bool IsImageCode(const void* address);
// Drops the calling thread's exception list segment, once the outermost
// call into drivers (IofCallDriver, IofCompleteRequest) returns to the
// caller: a thread the caller starts afterwards must not inherit it.
void LeaveKernel();
// Marks the way into drivers for LeaveKernel.
class KernelEntry {
 public:
  KernelEntry();
  ~KernelEntry();
  KernelEntry(const KernelEntry&) = delete;
  KernelEntry& operator=(const KernelEntry&) = delete;
};

}  // namespace internal
}  // namespace emu

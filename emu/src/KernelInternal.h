// Shared internals of the emulated executive (not part of any public
// interface): the per-thread IRQL, the dispatcher lock, and the checks the
// pool makes against pending timers, queued DPCs and queued work items.
#pragma once

#include <condition_variable>
#include <cstddef>
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

// Work queue and DPC state for Kernel::Quiesce.
bool DpcsIdle();
bool WorkQueuesIdle();
void StopDpcThread();
void StopWorkerThreads();
void HoldWorkQueues(bool hold);
void ResetTimers();

// Formats a pool tag as its four characters.
struct TagText {
  char text[5];
};
TagText FormatTag(unsigned long tag);

}  // namespace internal
}  // namespace emu

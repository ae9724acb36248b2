// Suspending an emulated thread as NT does: the suspension is a normal
// kernel APC, so it takes effect only at PASSIVE_LEVEL outside a critical
// region (KeEnterCriticalRegion), at once when the thread is waiting in
// KeWaitForSingleObject, and otherwise when it leaves its critical region.
// A thread that takes a lock without a critical region can be stopped while
// it holds it, as a tool's own process can suspend the tool's thread in the
// middle of a control request.
#pragma once

#include <thread>

namespace emu {

// Host threads, by their id: any thread that calls into the kernel.
void SuspendThread(std::thread::id thread);
void ResumeThread(std::thread::id thread);
// Whether the suspension has taken effect (the thread is stopped).
bool ThreadIsStopped(std::thread::id thread);

}  // namespace emu

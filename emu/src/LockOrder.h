// The order in which threads take spin locks (internal to the executive).
//
// Two spin locks taken in opposite orders by two threads deadlock as soon as
// the threads meet between their two acquisitions, however rare that is.
// Every acquisition made while the thread already holds spin locks adds an
// edge "held -> taken" to one graph of all threads; an acquisition whose
// edge would close a cycle is reported at once, the first time the orders
// disagree, long before an unlucky schedule hangs.
#pragma once

#include <cstddef>

namespace emu {
namespace internal {

// Called before the calling thread spins for `lock`; bug-checks
// (DRIVER_VERIFIER_DETECTED_VIOLATION, deadlock) when taking it while
// holding what the thread holds contradicts an order seen before.
void LockOrderAcquiring(const void* lock, const char* service);
// Called when the calling thread gives the lock back (in any order).
void LockOrderReleased(const void* lock);
// Forgets the locks in [start, start + bytes): they were initialised anew
// or their memory was freed, and whatever lives there next is another lock.
void LockOrderForget(const void* start, size_t bytes);

}  // namespace internal
}  // namespace emu

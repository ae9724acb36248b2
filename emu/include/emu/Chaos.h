// Chaos mode of the emulated kernel: seeded perturbation of the host
// scheduler where a driver's threads meet.
//
// Left alone, the host scheduler runs the threads of a concurrency test in
// much the same order every time, and a race that needs another thread to
// slip in between a read and a write may never show. In chaos mode the
// kernel services where threads meet sometimes give the processor away
// (sched_yield) or sleep a little (a few to a couple of hundred
// microseconds) before or after they do their work:
//
//   spin lock acquire (before taking the lock) and release (after freeing
//   it), KeAcquireSpinLock, KeAcquireSpinLockAtDpcLevel and the releases,
//   and the ExInterlocked list services through them; the Interlocked
//   counters (after the operation); IofCallDriver and PoCallDriver (before
//   the dispatch routine); IofCompleteRequest (before the completion
//   routines run); KeSetEvent and KeReleaseSemaphore (after the signal);
//   KeInsertQueueDpc and ExQueueWorkItem (after queueing) and the DPC
//   thread and worker threads before they run what was queued; the timer
//   thread before it expires due timers (real-time timers only: manual
//   timer time moves only when a test says so).
//
// Every decision comes from a generator of the calling thread, derived from
// the seed and the thread's stream number. The kernel's own threads have
// fixed streams (the DPC thread, the timer thread, each worker thread of
// each queue, system threads in the order they were created); any other
// thread (a test's, a simulated application's) gets the next stream number
// when it first reaches a chaos point, unless it names its stream with
// SetThreadStream. So one seed repeats every thread's sequence of
// decisions; what it cannot repeat is the host scheduler itself (which
// thread runs when, how long a sleep really lasts, and with that the order
// in which unnamed threads first reach a chaos point).
//
// Off by default: each chaos point then costs one load and one predictable
// branch. The environment variable PELLINOR_CHAOS_SEED=<n> (a decimal
// number) turns it on when the process starts; tests call Enable and
// Disable. Enabling prints "chaos seed <n>" on stderr, and a bug check
// while chaos is on names the seed in its message, so a failing run can be
// repeated with the same decisions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace emu {

class Chaos {
 public:
  // Where a perturbation can happen.
  enum Point : uint8_t {
    kSpinLockAcquire,
    kSpinLockRelease,
    kInterlocked,
    kCallDriver,
    kCompleteRequest,
    kSignal,
    kQueueDpc,
    kRunDpc,
    kQueueWorkItem,
    kRunWorkItem,
    kTimerExpiry,
    kPointCount
  };

  enum Action : uint8_t { kNone, kYield, kSleep };

  struct Decision {
    Action action = kNone;
    uint32_t micros = 0;  // the length of a sleep
    bool operator==(const Decision& other) const {
      return action == other.action && micros == other.micros;
    }
    bool operator!=(const Decision& other) const { return !(*this == other); }
  };

  // Turns chaos on with `seed` (every thread's generator starts afresh,
  // unnamed threads are numbered again) and prints "chaos seed <seed>".
  static void Enable(uint64_t seed);
  static void Disable();
  static bool Enabled() { return enabled.load(std::memory_order_relaxed); }
  // The seed of the last Enable (0 before any).
  static uint64_t Seed();

  // The chaos point `point` on the calling thread: nothing when chaos is
  // off; otherwise draws the thread's next decision and carries it out.
  // Never call it with an emulator lock held (a sleep there would stall
  // every thread instead of one).
  static void At(Point point) {
    if (__builtin_expect(Enabled(), false))
      Perturb(point);
  }

  // Names the calling thread's stream: its generator restarts from the seed
  // and `stream`. The kernel's own threads use numbers below
  // kFirstUnnamedStream; unnamed threads get numbers from it upwards.
  static void SetThreadStream(uint64_t stream);
  static constexpr uint64_t kDpcStream = 1;
  static constexpr uint64_t kTimerStream = 2;
  // Worker thread `index` of work queue `queue`.
  static constexpr uint64_t WorkerStream(int queue, int index) {
    return 0x100 + uint64_t(queue) * 0x10 + uint64_t(index);
  }
  // The n-th system thread created (from 0).
  static constexpr uint64_t SystemThreadStream(uint64_t n) { return 0x10000 + n; }
  static constexpr uint64_t kFirstUnnamedStream = uint64_t(1) << 32;

  // Draws the calling thread's next decision for `point` without carrying
  // it out (for tests of the generator; At uses it). Chaos must be on.
  static Decision Next(Point point);

  // Decisions drawn at `point` since the process started, and how many of
  // them yielded or slept (all threads).
  static uint64_t Decisions(Point point);
  static uint64_t Perturbations(Point point);

  static const char* PointName(Point point);

 private:
  static void Perturb(Point point);
  static std::atomic<bool> enabled;
};

}  // namespace emu

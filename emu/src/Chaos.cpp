// Chaos mode: per-thread seeded decisions to yield or sleep at the points
// where a driver's threads meet (emu/Chaos.h).
#include "emu/Chaos.h"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace emu {

std::atomic<bool> Chaos::enabled{false};

namespace {

// How often each point perturbs and how: one decision in `oneIn` acts;
// of those, `sleepShare` in 256 sleep (2 to `maxMicros` microseconds),
// the others yield. The points that hand work to another thread (a
// dispatch, a completion, a signal, a queued DPC or work item, an expiring
// timer) act more often and sleep longer than the fine-grained ones (spin
// locks and interlocked counters, which a driver passes many times per
// request).
struct Rate {
  uint16_t oneIn;
  uint16_t sleepShare;
  uint16_t maxMicros;
};

constexpr Rate kRates[] = {
    {8, 64, 50},    // kSpinLockAcquire
    {8, 64, 50},    // kSpinLockRelease
    {8, 64, 50},    // kInterlocked
    {4, 128, 100},  // kCallDriver
    {4, 128, 200},  // kCompleteRequest
    {4, 128, 100},  // kSignal
    {4, 128, 100},  // kQueueDpc
    {4, 128, 100},  // kRunDpc
    {4, 128, 100},  // kQueueWorkItem
    {4, 128, 100},  // kRunWorkItem
    {2, 128, 200},  // kTimerExpiry
};
static_assert(sizeof kRates / sizeof kRates[0] == Chaos::kPointCount,
              "one rate for every chaos point");

constexpr uint32_t kMinimumSleepMicros = 2;

constexpr bool RatesValid() {
  for (const Rate& rate : kRates) {
    if (rate.oneIn == 0 || rate.sleepShare > 256 || rate.maxMicros < kMinimumSleepMicros)
      return false;
  }
  return true;
}
static_assert(RatesValid(), "every point acts sometimes and sleeps at least the minimum");

constexpr const char* kPointNames[] = {
    "spin lock acquire", "spin lock release", "interlocked",
    "call driver",       "complete request",  "signal",
    "queue DPC",         "run DPC",           "queue work item",
    "run work item",     "timer expiry",
};
static_assert(sizeof kPointNames / sizeof kPointNames[0] == Chaos::kPointCount,
              "one name for every chaos point");

// Seed, generation and the next unnamed stream change together under this
// lock; a thread looks at them only when its generator must start afresh.
std::mutex configLock;
std::atomic<uint64_t> seed{0};  // read without the lock by a bug check
uint64_t nextUnnamed = Chaos::kFirstUnnamedStream;
std::atomic<uint64_t> generation{0};

std::atomic<uint64_t> decisions[Chaos::kPointCount];
std::atomic<uint64_t> perturbations[Chaos::kPointCount];

// SplitMix64: a whole-period 64-bit generator whose outputs are well mixed
// even from neighbouring states (stream numbers are small consecutive
// integers).
uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct ThreadGenerator {
  uint64_t generation = 0;  // 0: never started (generations count from 1)
  bool named = false;
  uint64_t stream = 0;
  uint64_t state = 0;
};

ThreadGenerator& Generator() {
  thread_local ThreadGenerator generator;
  return generator;
}

void Restart(ThreadGenerator& g) {
  std::lock_guard<std::mutex> guard(configLock);
  if (!g.named)
    g.stream = nextUnnamed++;
  g.state = Mix(seed.load(std::memory_order_relaxed) ^ Mix(g.stream + 0x9E3779B97F4A7C15ull));
  g.generation = generation.load(std::memory_order_relaxed);
  // Sleeps of a few microseconds: without this the host rounds every
  // sleep up by its default timer slack (50 microseconds). Where the call
  // is refused the sleeps are only longer.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

uint64_t NextRandom(ThreadGenerator& g) {
  g.state += 0x9E3779B97F4A7C15ull;
  return Mix(g.state);
}

// At exit under chaos: the seed again (after the test output, where a
// failure is read) with how much was perturbed.
void PrintSummary() {
  if (!Chaos::Enabled())
    return;
  uint64_t drawn = 0, acted = 0;
  for (int p = 0; p < Chaos::kPointCount; ++p) {
    drawn += decisions[p].load(std::memory_order_relaxed);
    acted += perturbations[p].load(std::memory_order_relaxed);
  }
  fprintf(stderr, "chaos seed %" PRIu64 ": %" PRIu64 " decisions, %" PRIu64 " yields or sleeps\n",
          seed.load(std::memory_order_relaxed), drawn, acted);
  fflush(stderr);
}

// PELLINOR_CHAOS_SEED, read once when the process starts. A value that is
// not a number stops the process: a run meant to be under chaos must not
// pass quietly without it.
bool ReadEnvironment() {
  const char* text = getenv("PELLINOR_CHAOS_SEED");
  if (text == nullptr || *text == '\0')
    return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || *text == '-' || *text == '+') {
    fprintf(stderr, "PELLINOR_CHAOS_SEED=%s is not a decimal number from 0 to %llu\n", text,
            static_cast<unsigned long long>(UINT64_MAX));
    fflush(stderr);
    std::exit(2);
  }
  Chaos::Enable(value);
  return true;
}

[[maybe_unused]] const bool environmentRead = ReadEnvironment();

}  // namespace

void Chaos::Enable(uint64_t newSeed) {
  {
    std::lock_guard<std::mutex> guard(configLock);
    seed.store(newSeed, std::memory_order_relaxed);
    nextUnnamed = kFirstUnnamedStream;
    generation.fetch_add(1, std::memory_order_relaxed);
  }
  fprintf(stderr, "chaos seed %" PRIu64 "\n", newSeed);
  fflush(stderr);
  static std::once_flag summary;
  std::call_once(summary, [] { atexit(PrintSummary); });
  enabled.store(true, std::memory_order_release);
}

void Chaos::Disable() {
  enabled.store(false, std::memory_order_release);
}

uint64_t Chaos::Seed() {
  return seed.load(std::memory_order_relaxed);
}

void Chaos::SetThreadStream(uint64_t stream) {
  ThreadGenerator& g = Generator();
  g.named = true;
  g.stream = stream;
  g.generation = 0;  // starts afresh at its next decision
}

Chaos::Decision Chaos::Next(Point point) {
  ThreadGenerator& g = Generator();
  if (g.generation != generation.load(std::memory_order_relaxed))
    Restart(g);
  uint64_t r = NextRandom(g);
  const Rate& rate = kRates[point];
  decisions[point].fetch_add(1, std::memory_order_relaxed);
  Decision d;
  if (r % rate.oneIn != 0)
    return d;
  perturbations[point].fetch_add(1, std::memory_order_relaxed);
  if (((r >> 16) & 0xFF) < rate.sleepShare) {
    d.action = kSleep;
    uint32_t span = rate.maxMicros - kMinimumSleepMicros + 1;
    d.micros = kMinimumSleepMicros + uint32_t((r >> 32) % span);
  } else {
    d.action = kYield;
  }
  return d;
}

void Chaos::Perturb(Point point) {
  Decision d = Next(point);
  if (d.action == kYield) {
    sched_yield();
  } else if (d.action == kSleep) {
    timespec interval = {0, long(d.micros) * 1000};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
  }
}

uint64_t Chaos::Decisions(Point point) {
  return decisions[point].load(std::memory_order_relaxed);
}

uint64_t Chaos::Perturbations(Point point) {
  return perturbations[point].load(std::memory_order_relaxed);
}

const char* Chaos::PointName(Point point) {
  return point < kPointCount ? kPointNames[point] : "unknown chaos point";
}

}  // namespace emu

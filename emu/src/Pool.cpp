// The emulated pool: tracked blocks, strict checks, fault injection.
//
// Each block lies between two guard areas filled with a known byte: a write
// before the block's start or past its end is found when the block is freed,
// when its driver unloads, and under AddressSanitizer at the write itself
// (the guards are poisoned). A freed block is filled and held back in a
// quarantine before its memory goes back to the host heap, so a read after
// free sees the fill, and a write after free is found when the block leaves
// the quarantine or its driver unloads.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define EMU_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define EMU_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define EMU_POISON(p, n) ((void)(p), (void)(n))
#define EMU_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "emu/Pool.h"
#include "IoInternal.h"
#include "KernelInternal.h"
#include "LockOrder.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"
#include "emu/UserMemory.h"

namespace emu {
namespace detail {
// The default until the timer code defines its own.
__attribute__((weak)) void CheckFreedRange(const void*, size_t) {}
}  // namespace detail

namespace {

constexpr uint8_t kFreshFill = 0xC5;  // new blocks are not zeroed by the kernel
constexpr uint8_t kFreedFill = 0xDF;
constexpr uint8_t kGuardFill = 0xAB;
constexpr uint32_t kNoneTag = MakePoolTag("None");
constexpr uint32_t kSystemBufferTag = MakePoolTag("IoSB");
// The guard in front keeps the host heap's 16-byte alignment of the block;
// the one behind starts right at the block's end and runs to the next 8-byte
// boundary and 8 bytes more (the shadow granule of AddressSanitizer).
constexpr size_t kFrontGuard = 16;
constexpr size_t kBackGuardMin = 8;
// Freed blocks held back before the host heap may reuse their memory.
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 8u << 20;

constexpr size_t BackGuard(size_t size) {
  return (8 - size % 8) % 8 + kBackGuardMin;
}
static_assert(BackGuard(0) == 8 && BackGuard(1) == 15 && BackGuard(8) == 8,
              "the back guard runs to an 8-byte boundary, then 8 bytes more");
static_assert(kFrontGuard % 16 == 0, "blocks keep the heap's alignment");

struct Block {
  uint32_t tag;
  size_t size;
  int type;
  unsigned long long sequence;  // allocations counted from 1 since the process started
  PDRIVER_OBJECT driver;        // the driver current at the allocation, or null
  bool systemBuffer;
  PoolTagReport* stats;         // the report of `tag` (a node of State::tags, never erased)
};

struct Freed {
  uint8_t* p;
  Block block;
};

struct Fault {
  PoolFault spec;
  unsigned seen = 0;
};

struct State {
  std::mutex lock;
  std::unordered_map<const void*, Block> blocks;
  std::map<uint32_t, PoolTagReport> tags;
  // The report of the tag allocated with last: nearly every allocation of a
  // run carries the same tag, so that the map is searched only on a change.
  uint32_t lastTag = 0;
  PoolTagReport* lastStats = nullptr;
  std::set<uint32_t> driverTags;
  std::set<uint32_t> kernelTags{MakePoolTag("Strg"), kSystemBufferTag};
  std::vector<Fault> faults;
  unsigned long long sequence = 0;
  std::deque<Freed> quarantine;
  size_t quarantineBytes = 0;
};

State& S() {
  static State* state = new State;  // never destroyed: threads may outlive main
  return *state;
}

thread_local PDRIVER_OBJECT currentDriver = nullptr;

bool IsPaged(int type) {
  return (type & 1) != 0;
}

const char* TypeName(int type) {
  return IsPaged(type) ? "paged" : "non-paged";
}

PoolTagReport& TagStats(State& s, uint32_t tag) {
  if (s.lastStats != nullptr && s.lastTag == tag)
    return *s.lastStats;
  PoolTagReport& r = s.tags[tag];
  r.tag = tag;
  s.lastTag = tag;
  s.lastStats = &r;
  return r;
}

bool FaultHits(Fault& f, int type, uint32_t tag) {
  if (f.spec.poolType >= 0 && (f.spec.poolType & 1) != (type & 1))
    return false;
  if (f.spec.tag != 0 && f.spec.tag != tag)
    return false;
  unsigned k = ++f.seen;
  switch (f.spec.mode) {
    case PoolFault::kNth:
      return k == f.spec.n;
    case PoolFault::kEveryNth:
      return f.spec.n != 0 && k % f.spec.n == 0;
    case PoolFault::kPattern:
      return k <= f.spec.pattern.size() &&
             (f.spec.pattern[k - 1] == 'x' || f.spec.pattern[k - 1] == 'X');
  }
  return false;
}

// The offset of the first byte of [p, p + n) that is not `fill`, or n when
// all are. Every byte of a block is read when it leaves the quarantine, so
// this compares 32 bytes at a time and looks at single bytes only at the
// end or where a difference was found.
size_t FirstNotFilled(const uint8_t* p, size_t n, uint8_t fill) {
  const uint32_t word = fill * 0x01010101u;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    uint32_t w[8];
    memcpy(w, p + i, sizeof w);
    if (((w[0] ^ word) | (w[1] ^ word) | (w[2] ^ word) | (w[3] ^ word) | (w[4] ^ word) |
         (w[5] ^ word) | (w[6] ^ word) | (w[7] ^ word)) != 0)
      break;
  }
  for (; i + 4 <= n; i += 4) {
    uint32_t w;
    memcpy(&w, p + i, sizeof w);
    if (w != word)
      break;
  }
  for (; i < n; ++i) {
    if (p[i] != fill)
      return i;
  }
  return n;
}

uint8_t* Base(void* p) {
  return static_cast<uint8_t*>(p) - kFrontGuard;
}

size_t Footprint(size_t size) {
  return kFrontGuard + size + BackGuard(size);
}

// Bug-checks when a guard byte of the live block at p changed.
void CheckGuards(void* p, const Block& block) {
  uint8_t* base = Base(p);
  EMU_UNPOISON(base, kFrontGuard);
  size_t i = FirstNotFilled(base, kFrontGuard, kGuardFill);
  if (i != kFrontGuard) {
    BugCheck(BAD_POOL_HEADER,
             "pool block %p (tag '%s', %zu bytes, allocation #%llu) was written before its "
             "start (%zu bytes before it)",
             p, internal::FormatTag(block.tag).text, block.size, block.sequence, kFrontGuard - i);
  }
  EMU_POISON(base, kFrontGuard);
  uint8_t* back = base + kFrontGuard + block.size;
  EMU_UNPOISON(back, BackGuard(block.size));
  i = FirstNotFilled(back, BackGuard(block.size), kGuardFill);
  if (i != BackGuard(block.size)) {
    BugCheck(BAD_POOL_HEADER,
             "pool block %p (tag '%s', %zu bytes, allocation #%llu) was written past its end "
             "(at byte %zu of it)",
             p, internal::FormatTag(block.tag).text, block.size, block.sequence, block.size + i);
  }
  EMU_POISON(back, BackGuard(block.size));
}

// Bug-checks when a quarantined block changed after it was freed.
void CheckFreedFill(const Freed& f) {
  uint8_t* base = Base(f.p);
  size_t bytes = Footprint(f.block.size);
  EMU_UNPOISON(base, bytes);
  size_t i = FirstNotFilled(f.p, f.block.size, kFreedFill);
  if (i != f.block.size) {
    BugCheck(DRIVER_CORRUPTED_EXPOOL,
             "pool block %p (tag '%s', %zu bytes, allocation #%llu) was written after it was "
             "freed (byte %zu holds 0x%02X)",
             static_cast<void*>(f.p), internal::FormatTag(f.block.tag).text, f.block.size,
             f.block.sequence, i, f.p[i]);
  }
  EMU_POISON(base, bytes);
}

// Lets the oldest quarantined blocks go back to the heap; lock held.
void TrimQuarantine(State& s) {
  while (s.quarantine.size() > kQuarantineBlocks || s.quarantineBytes > kQuarantineBytes) {
    Freed f = s.quarantine.front();
    s.quarantine.pop_front();
    s.quarantineBytes -= Footprint(f.block.size);
    CheckFreedFill(f);
    EMU_UNPOISON(Base(f.p), Footprint(f.block.size));
    std::free(Base(f.p));
  }
}

void* Allocate(int type, size_t size, uint32_t tag, const char* service,
               bool systemBuffer = false) {
  internal::RequireIrqlAtMost(IsPaged(type) ? PASSIVE_LEVEL : DISPATCH_LEVEL, service);
  if (type < 0 || type > 7 || type == 3) {
    BugCheck(BAD_POOL_CALLER, "%s with the invalid pool type %d", service, type);
  }
  PDRIVER_OBJECT driver = systemBuffer ? nullptr : internal::CurrentDriverObject();
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  if (tag == 0 || tag == kNoneTag) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "%s of %zu bytes without a pool tag; every allocation must carry the driver's tag",
             service, size);
  }
  if (!s.driverTags.empty() && s.driverTags.count(tag) == 0 && s.kernelTags.count(tag) == 0) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "%s of %zu bytes with the tag '%s', which no loaded driver owns", service, size,
             internal::FormatTag(tag).text);
  }
  bool fail = false;
  for (Fault& f : s.faults) fail = FaultHits(f, type, tag) || fail;
  PoolTagReport& stats = TagStats(s, tag);
  if (fail) {
    ++stats.injectedFailures;
    return nullptr;
  }
  auto* base = static_cast<uint8_t*>(std::malloc(Footprint(size)));
  if (base == nullptr)
    return nullptr;
  // Pool is system memory: a driver tells it from user memory by its
  // address, so the host must never place it in the user range.
  if (IsUserAddress(base, Footprint(size))) {
    BugCheck(PAGE_FAULT_IN_NONPAGED_AREA,
             "the host placed a pool block at %p, inside the emulated user address space",
             static_cast<void*>(base));
  }
  uint8_t* p = base + kFrontGuard;
  memset(base, kGuardFill, kFrontGuard);
  memset(p, kFreshFill, size);
  memset(p + size, kGuardFill, BackGuard(size));
  EMU_POISON(base, kFrontGuard);
  EMU_POISON(p + size, BackGuard(size));
  s.blocks[p] = Block{tag, size, type, ++s.sequence, driver, systemBuffer, &stats};
  ++stats.allocations;
  ++stats.blocks;
  stats.bytes += size;
  stats.chargedBytes += Pool::BlockCost(size);
  if (stats.blocks > stats.peakBlocks)
    stats.peakBlocks = stats.blocks;
  if (stats.chargedBytes > stats.peakChargedBytes)
    stats.peakChargedBytes = stats.chargedBytes;
  return p;
}

void Free(void* p, bool checkTag, uint32_t expectedTag, const char* service,
          bool systemBuffer = false) {
  if (p == nullptr)
    BugCheck(BAD_POOL_CALLER, "%s of a null pointer", service);
  State& s = S();
  Block block;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.blocks.find(p);
    if (it == s.blocks.end()) {
      BugCheck(BAD_POOL_CALLER,
               "%s of %p, which is not an allocated pool block (freed twice, or never "
               "allocated)",
               service, p);
    }
    block = it->second;
    internal::RequireIrqlAtMost(IsPaged(block.type) ? PASSIVE_LEVEL : DISPATCH_LEVEL, service);
    if (block.systemBuffer != systemBuffer) {
      BugCheck(BAD_POOL_CALLER,
               "%s of %p, the I/O manager's system buffer of a request; only the I/O manager "
               "frees it",
               service, p);
    }
    if (checkTag && block.tag != expectedTag) {
      BugCheck(BAD_POOL_CALLER, "%s of %p with the tag '%s'; the block has the tag '%s'", service,
               p, internal::FormatTag(expectedTag).text, internal::FormatTag(block.tag).text);
    }
    CheckGuards(p, block);
    s.blocks.erase(it);
    PoolTagReport& stats = *block.stats;
    ++stats.frees;
    --stats.blocks;
    stats.bytes -= block.size;
    stats.chargedBytes -= Pool::BlockCost(block.size);
  }
  // Timers, DPCs and work items inside the block (one scan; the message is
  // only formatted when one is found, so that a clean free stays cheap).
  internal::CheckFreedTimersAndDpcs(p, block.size, block.tag);
  internal::LockOrderForget(p, block.size);
  // The block stays in the quarantine, so this fill is read by whoever uses
  // the block after it was freed (it is not a store before free that the
  // optimiser may drop).
  memset(p, kFreedFill, block.size);
  EMU_POISON(Base(p), Footprint(block.size));
  std::lock_guard<std::mutex> guard(s.lock);
  s.quarantine.push_back(Freed{static_cast<uint8_t*>(p), block});
  s.quarantineBytes += Footprint(block.size);
  TrimQuarantine(s);
}

std::string DescribeBlock(const void* address, const Block& block) {
  char line[128];
  snprintf(line, sizeof line, "%p (tag '%s', %zu bytes, %s, allocation #%llu)", address,
           internal::FormatTag(block.tag).text, block.size, TypeName(block.type), block.sequence);
  return line;
}

// The live blocks of a driver (charged to it, or with its tag), oldest first;
// lock held.
std::map<unsigned long long, std::pair<const void*, Block>> BlocksOf(State& s,
                                                                     PDRIVER_OBJECT driver,
                                                                     uint32_t tag) {
  std::map<unsigned long long, std::pair<const void*, Block>> found;
  for (const auto& [address, block] : s.blocks) {
    if (block.systemBuffer)
      continue;
    if ((driver != nullptr && block.driver == driver) || (tag != 0 && block.tag == tag))
      found.emplace(block.sequence, std::make_pair(address, block));
  }
  return found;
}

void ReportLeaks(const std::map<unsigned long long, std::pair<const void*, Block>>& leaks,
                 const char* who) {
  if (leaks.empty())
    return;
  std::string first;
  size_t bytes = 0;
  int listed = 0;
  for (const auto& entry : leaks) {
    bytes += entry.second.second.size;
    if (listed == 4)
      continue;
    first += (listed ? ", " : "") + DescribeBlock(entry.second.first, entry.second.second);
    ++listed;
  }
  BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
           "%s without freeing its pool: %zu blocks, %zu bytes are still allocated, among them %s",
           who, leaks.size(), bytes, first.c_str());
}

}  // namespace

namespace internal {

DriverContext::DriverContext(PDRIVER_OBJECT driver) : previous_(currentDriver) {
  currentDriver = driver;
}

DriverContext::~DriverContext() {
  currentDriver = previous_;
}

PDRIVER_OBJECT CurrentDriverObject() {
  if (currentDriver != nullptr)
    return currentDriver;
  // DriverEntry and unload routines are marked by the loader itself.
  io::DriverRecord* record = io::CurrentDriver();
  return record != nullptr ? &record->object : nullptr;
}

const char* CurrentDriverName() {
  PDRIVER_OBJECT driver = CurrentDriverObject();
  if (driver == nullptr || driver->DriverName.Buffer == nullptr)
    return nullptr;
  thread_local char name[64];
  size_t n = driver->DriverName.Length / sizeof(WCHAR);
  if (n > sizeof name - 1)
    n = sizeof name - 1;
  for (size_t i = 0; i < n; ++i) {
    WCHAR c = driver->DriverName.Buffer[i];
    name[i] = c < 0x80 ? char(c) : '?';
  }
  name[n] = 0;
  return name;
}

void CheckDriverPool(PDRIVER_OBJECT driver, ULONG tag, const char* name, const char* when) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto live = BlocksOf(s, driver, tag);
  for (const auto& entry : live) CheckGuards(const_cast<void*>(entry.second.first), entry.second.second);
  for (const Freed& f : s.quarantine) {
    if ((driver != nullptr && f.block.driver == driver) || (tag != 0 && f.block.tag == tag))
      CheckFreedFill(f);
  }
  std::string who = std::string("driver ") + name + " " + when;
  ReportLeaks(live, who.c_str());
}

void* AllocateSystemBuffer(size_t bytes) {
  return Allocate(NonPagedPool, bytes, kSystemBufferTag, "the I/O manager's system buffer", true);
}

void FreeSystemBuffer(void* buffer) {
  Free(buffer, true, kSystemBufferTag, "the I/O manager's system buffer", true);
}

}  // namespace internal

namespace internal {
TagText FormatTag(unsigned long tag) {
  TagText t;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    t.text[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  t.text[4] = 0;
  return t;
}
}  // namespace internal

std::string PoolTagReport::TagText() const {
  return internal::FormatTag(tag).text;
}

void Pool::RegisterDriverTag(uint32_t tag) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().driverTags.insert(tag);
}

void Pool::RegisterKernelTag(uint32_t tag) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().kernelTags.insert(tag);
}

void Pool::UnregisterDriverTag(uint32_t tag) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto live = BlocksOf(s, nullptr, tag);
  for (const auto& entry : live) CheckGuards(const_cast<void*>(entry.second.first), entry.second.second);
  std::string who = std::string("driver of tag '") + internal::FormatTag(tag).text + "' unloading";
  ReportLeaks(live, who.c_str());
  s.driverTags.erase(tag);
}

PoolTagReport Pool::Report(uint32_t tag) {
  std::lock_guard<std::mutex> guard(S().lock);
  return TagStats(S(), tag);
}

std::vector<PoolTagReport> Pool::ReportAll() {
  std::lock_guard<std::mutex> guard(S().lock);
  std::vector<PoolTagReport> all;
  for (const auto& entry : S().tags) all.push_back(entry.second);
  return all;
}

std::string Pool::DescribeBlocks(uint32_t tag) {
  std::lock_guard<std::mutex> guard(S().lock);
  std::map<const void*, Block> sorted;
  for (const auto& entry : S().blocks) {
    if (entry.second.tag == tag)
      sorted.insert(entry);
  }
  std::string text;
  for (const auto& [address, block] : sorted) {
    char line[96];
    snprintf(line, sizeof line, "%p %zu bytes %s\n", address, block.size, TypeName(block.type));
    text += line;
  }
  return text;
}

void Pool::ResetPeaks() {
  std::lock_guard<std::mutex> guard(S().lock);
  for (auto& entry : S().tags) {
    entry.second.peakBlocks = entry.second.blocks;
    entry.second.peakChargedBytes = entry.second.chargedBytes;
  }
}

void Pool::InjectFault(const PoolFault& fault) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().faults.push_back(Fault{fault, 0});
}

void Pool::ClearFaults() {
  std::lock_guard<std::mutex> guard(S().lock);
  S().faults.clear();
}

}  // namespace emu

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return emu::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return emu::Allocate(PoolType, NumberOfBytes, emu::kNoneTag, "ExAllocatePool");
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
  emu::Free(P, false, 0, "ExFreePool");
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  emu::Free(P, true, Tag, "ExFreePoolWithTag");
}

// The emulated pool: tracked blocks, strict checks, fault injection.
//
// Each block lies between two guard areas filled with a known byte: a write
// before the block's start or past its end is found when the block is freed,
// when its driver unloads, and under AddressSanitizer at the write itself
// (the guards are poisoned). A freed block is filled and held back in a
// quarantine before its memory goes back to the host heap, so a read after
// free sees the fill, and a write after free is found when the block leaves
// the quarantine or its driver unloads.
#include <asm/ldt.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
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

// ---------------------------------------------------------------------------
// Paging, as the system's verifier forces it (forced IRQL checking): every
// paged block owns its pages, and whenever a thread raises its IRQL to
// DISPATCH_LEVEL (and before each DPC) the pageable memory is paged out
// (made inaccessible). A touch at PASSIVE or APC level pages the block back
// in and goes on, as a page fault there does; a touch at DISPATCH_LEVEL or
// above is IRQL_NOT_LESS_OR_EQUAL, naming the driver, as on Windows as soon
// as the page is out.
//
// Blocks of a page or more own their pages too, paged or not. Once freed,
// such a block's pages are inaccessible until they go back to the host
// (the holding area), so that a read or write of the freed block stops at
// the access, as the verifier's special pool does.
struct PagedRegion {
  size_t length;
  bool out;       // inaccessible now
  bool pageable;  // paged pool: paged out at raises
  bool freed;     // the block was freed: inaccessible for good
  uint32_t tag;
  size_t size;
};

struct Paging {
  std::mutex lock;  // never held while touching a block's memory
  std::map<uintptr_t, PagedRegion> regions;  // base -> region
  std::atomic<int> resident{0};  // regions paged in; raising costs a load when 0
  struct sigaction previous {};
  bool handlerInstalled = false;
};

Paging& P() {
  static Paging* paging = new Paging;  // never destroyed: threads may outlive main
  return *paging;
}

// Off unless PELLINOR_FORCED_IRQL=1 is in the environment (or a test turns
// it on): under qemu-i386 the return from a page-in fault reloads the
// thread's %gs from a descriptor that all threads share, and a thread
// created or faulting at the same moment can leave its own base there, so
// that the resumed thread would run with another thread's thread-local
// data. KeepThreadLocalStorageAcrossReturn narrows that window but cannot
// close it; a run with many threads faulting at once is only sound where
// i386 programs run natively.
bool ForcedIrqlCheckingAtStart() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#endif
  const char* value = getenv("PELLINOR_FORCED_IRQL");
  return value != nullptr && strcmp(value, "1") == 0;
}
std::atomic<bool> forcedIrqlChecking{ForcedIrqlCheckingAtStart()};

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t RoundUpToPages(size_t n) {
  return (n + PageSize() - 1) / PageSize() * PageSize();
}

// The region holding `address`; paging lock held.
std::map<uintptr_t, PagedRegion>::iterator RegionOf(Paging& paging, uintptr_t address) {
  auto it = paging.regions.upper_bound(address);
  if (it == paging.regions.begin())
    return paging.regions.end();
  --it;
  return address - it->first < it->second.length ? it : paging.regions.end();
}

// Pages the region in (readable and writable); paging lock held.
void PageIn(Paging& paging, uintptr_t base, PagedRegion& region) {
  if (!region.out || region.freed)
    return;
  mprotect(reinterpret_cast<void*>(base), region.length, PROT_READ | PROT_WRITE);
  region.out = false;
  if (region.pageable)
    ++paging.resident;
}

// Returning from a signal handler reloads %gs from the signal frame, and
// qemu-i386 takes the segment's base from its one descriptor table, where
// the last thread to set up its thread-local storage left its own base: the
// thread would go on with another thread's thread-local data (its IRQL, its
// spin locks). Writing this thread's base back into its descriptor just
// before the return makes the reload find it. On an i386 Linux kernel the
// descriptor is the thread's own and this rewrites it with what it holds.
void KeepThreadLocalStorageAcrossReturn() {
#if defined(__i386__)
  unsigned short selector;
  __asm__ __volatile__("mov %%gs, %0" : "=r"(selector));
  if ((selector & 4) != 0 || selector < 8)
    return;  // not a descriptor of the global table
  uintptr_t base;
  __asm__ __volatile__("mov %%gs:0, %0" : "=r"(base));  // the thread pointer points to itself
  struct user_desc desc {};
  desc.entry_number = selector >> 3;
  desc.base_addr = static_cast<unsigned int>(base);
  desc.limit = 0xFFFFF;
  desc.seg_32bit = 1;
  desc.limit_in_pages = 1;
  desc.useable = 1;
  syscall(SYS_set_thread_area, &desc);
#endif
}

// A fault is synchronous, on the faulting thread, which holds no paging
// lock while it touches a block: taking the lock here is safe.
__attribute__((no_sanitize_address)) void OnPagedFault(int signal, siginfo_t* info,
                                                       void* context) {
  Paging& paging = P();
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  std::unique_lock<std::mutex> guard(paging.lock);
  auto it = RegionOf(paging, address);
  if (it == paging.regions.end() || !it->second.out) {
    guard.unlock();
    internal::PassOnFault(paging.previous, signal, info, context);
    return;
  }
  if (it->second.freed) {
    const PagedRegion region = it->second;
    const uintptr_t block = it->first + 16;
    guard.unlock();
    const char* driver = internal::CurrentDriverName();
    BugCheck(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL,
             "%s%s touched the pool block %p (tag '%s', %zu bytes) after it was freed: "
             "address %p, %s",
             driver ? "driver " : "the kernel", driver ? driver : "",
             reinterpret_cast<void*>(block), internal::FormatTag(region.tag).text, region.size,
             info->si_addr,
             address >= block && address - block < region.size ? "inside the block"
                                                                : "beside the block");
  }
  KIRQL irql = internal::CurrentIrql();
  if (irql < DISPATCH_LEVEL) {
    PageIn(paging, it->first, it->second);
    guard.unlock();
    KeepThreadLocalStorageAcrossReturn();
    return;  // the access runs again and finds the page
  }
  guard.unlock();
  const char* driver = internal::CurrentDriverName();
  BugCheck(IRQL_NOT_LESS_OR_EQUAL,
           "paged pool touched at IRQL %u%s%s: address %p (a paged block at %p, paged out as "
           "every raise to DISPATCH_LEVEL pages it out); pageable memory may only be touched "
           "below DISPATCH_LEVEL",
           irql, driver ? " by driver " : "", driver ? driver : "", info->si_addr,
           reinterpret_cast<void*>(it->first + 16));
}

// Pages for a new block of its own; the region starts resident.
uint8_t* MapPagedRegion(size_t footprint, bool pageable, uint32_t tag, size_t size) {
  Paging& paging = P();
  size_t length = RoundUpToPages(footprint);
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED)
    return nullptr;
  std::lock_guard<std::mutex> guard(paging.lock);
  if (!paging.handlerInstalled) {
    struct sigaction action {};
    action.sa_sigaction = OnPagedFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &paging.previous);
    paging.handlerInstalled = true;
  }
  paging.regions[reinterpret_cast<uintptr_t>(base)] =
      PagedRegion{length, false, pageable, false, tag, size};
  if (pageable)
    ++paging.resident;
  return static_cast<uint8_t*>(base);
}

// Makes a paged block's pages resident before the kernel itself reads them
// (its checks may run at any IRQL).
void PageInBlock(const void* base) {
  Paging& paging = P();
  std::lock_guard<std::mutex> guard(paging.lock);
  auto it = RegionOf(paging, reinterpret_cast<uintptr_t>(base));
  if (it != paging.regions.end())
    PageIn(paging, it->first, it->second);
}

// The region that starts at `base`, no longer counted as resident (it is
// about to become inaccessible or go); end() if there is none. Paging
// lock held.
std::map<uintptr_t, PagedRegion>::iterator Unresident(Paging& paging, uint8_t* base) {
  auto it = paging.regions.find(reinterpret_cast<uintptr_t>(base));
  if (it != paging.regions.end() && !it->second.out && it->second.pageable)
    --paging.resident;
  return it;
}

// A freed block's pages become inaccessible until they are unmapped.
void ProtectFreedRegion(uint8_t* base) {
  Paging& paging = P();
  std::lock_guard<std::mutex> guard(paging.lock);
  auto it = Unresident(paging, base);
  if (it == paging.regions.end())
    return;
  mprotect(base, it->second.length, PROT_NONE);
  it->second.out = true;
  it->second.freed = true;
}

void UnmapPagedRegion(uint8_t* base) {
  Paging& paging = P();
  std::lock_guard<std::mutex> guard(paging.lock);
  auto it = Unresident(paging, base);
  if (it == paging.regions.end())
    return;
  munmap(base, it->second.length);
  paging.regions.erase(it);
}

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
  std::set<uint32_t> kernelTags{MakePoolTag("Strg"), kSystemBufferTag, MakePoolTag("IoUs"),
                                MakePoolTag("IoEr")};
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

bool OwnsPages(const Block& block) {
  return IsPaged(block.type) || Footprint(block.size) >= PageSize();
}

// Bug-checks when a guard byte of the live block at p changed.
void CheckGuards(void* p, const Block& block) {
  uint8_t* base = Base(p);
  if (OwnsPages(block))
    PageInBlock(base);
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
  // A block with pages of its own was inaccessible since its free: nothing
  // can have written it.
  if (OwnsPages(f.block))
    return;
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
    if (OwnsPages(f.block))
      UnmapPagedRegion(Base(f.p));
    else
      std::free(Base(f.p));
  }
}

// `systemBuffer`: the kernel's own block, which no driver may free;
// `chargeDriver`: still counted as the current driver's at its unload (a
// block the kernel hands the driver to give back, such as an error log
// entry).
void* Allocate(int type, size_t size, uint32_t tag, const char* service, bool systemBuffer = false,
               bool chargeDriver = false) {
  internal::RequireIrqlAtMost(IsPaged(type) ? PASSIVE_LEVEL : DISPATCH_LEVEL, service);
  if (type < 0 || type > 7 || type == 3) {
    BugCheck(BAD_POOL_CALLER, "%s with the invalid pool type %d", service, type);
  }
  PDRIVER_OBJECT driver = systemBuffer && !chargeDriver ? nullptr : internal::CurrentDriverObject();
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
  const bool ownPages = IsPaged(type) || Footprint(size) >= PageSize();
  auto* base = ownPages ? MapPagedRegion(Footprint(size), IsPaged(type), tag, size)
                        : static_cast<uint8_t*>(std::malloc(Footprint(size)));
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
               "%s of %p, a block the kernel allocated for itself (a request's system buffer, "
               "a completion context); only the kernel frees it",
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
  if (OwnsPages(block))
    ProtectFreedRegion(Base(p));
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

void PageOutPageable() {
  Paging& paging = P();
  if (paging.resident.load(std::memory_order_relaxed) == 0 ||
      !forcedIrqlChecking.load(std::memory_order_relaxed))
    return;
  std::lock_guard<std::mutex> guard(paging.lock);
  for (auto& [base, region] : paging.regions) {
    if (region.out || !region.pageable)
      continue;
    mprotect(reinterpret_cast<void*>(base), region.length, PROT_NONE);
    region.out = true;
    --paging.resident;
  }
}

DriverContext::DriverContext(PDRIVER_OBJECT driver)
    : previous_(currentDriver), driver_(driver), heldSpinLocks_(HeldSpinLocks()) {
  currentDriver = driver;
}

DriverContext::~DriverContext() {
  currentDriver = previous_;
  if (HeldSpinLocks() > heldSpinLocks_) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "a routine of driver %s returned holding %d spin lock(s) it acquired (the last "
             "taken: %p); the next acquirer would spin for ever",
             driver_ != nullptr ? DriverNameOf(driver_) : "(none)",
             HeldSpinLocks() - heldSpinLocks_, static_cast<void*>(LastSpinLock()));
  }
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

void* AllocateKernelBlock(size_t bytes, uint32_t tag, const char* what) {
  return Allocate(NonPagedPool, bytes, tag, what, true);
}

void* AllocateChargedKernelBlock(size_t bytes, uint32_t tag, const char* what) {
  return Allocate(NonPagedPool, bytes, tag, what, true, true);
}

void FreeKernelBlock(void* block, uint32_t tag, const char* what) {
  Free(block, true, tag, what, true);
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

void Pool::SetForcedIrqlChecking(bool on) {
#if defined(__SANITIZE_ADDRESS__)
  // A resumed fault does not survive AddressSanitizer's checks: never on.
  on = false;
#endif
  forcedIrqlChecking.store(on);
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

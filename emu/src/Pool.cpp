// The emulated pool: tracked blocks, strict checks, fault injection.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "emu/Pool.h"
#include "KernelInternal.h"
#include "emu/BugCheck.h"

#if defined(__SANITIZE_ADDRESS__)
#define EMU_POOL_GUARD 0  // AddressSanitizer sees every overrun at once.
#else
#define EMU_POOL_GUARD 8  // checked when the block is freed
#endif

namespace emu {
namespace {

constexpr uint8_t kFreshFill = 0xC5;  // new blocks are not zeroed by the kernel
constexpr uint8_t kFreedFill = 0xDF;
constexpr uint8_t kGuardFill = 0xAB;
constexpr uint32_t kNoneTag = MakePoolTag("None");

struct Block {
  uint32_t tag;
  size_t size;
  int type;
};

struct Fault {
  PoolFault spec;
  unsigned seen = 0;
};

struct State {
  std::mutex lock;
  std::unordered_map<const void*, Block> blocks;
  std::map<uint32_t, PoolTagReport> tags;
  std::set<uint32_t> driverTags;
  std::set<uint32_t> kernelTags{MakePoolTag("Strg")};
  std::vector<Fault> faults;
};

State& S() {
  static State* state = new State;  // never destroyed: threads may outlive main
  return *state;
}

bool IsPaged(int type) {
  return (type & 1) != 0;
}

const char* TypeName(int type) {
  return IsPaged(type) ? "paged" : "non-paged";
}

PoolTagReport& TagStats(State& s, uint32_t tag) {
  PoolTagReport& r = s.tags[tag];
  r.tag = tag;
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

void* Allocate(int type, size_t size, uint32_t tag, const char* service) {
  internal::RequireIrqlAtMost(IsPaged(type) ? PASSIVE_LEVEL : DISPATCH_LEVEL, service);
  if (type < 0 || type > 7 || type == 3) {
    BugCheck(BAD_POOL_CALLER, "%s with the invalid pool type %d", service, type);
  }
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto tagText = internal::FormatTag(tag);
  if (tag == 0 || tag == kNoneTag) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "%s of %zu bytes without a pool tag; every allocation must carry the driver's tag",
             service, size);
  }
  if (!s.driverTags.empty() && s.driverTags.count(tag) == 0 && s.kernelTags.count(tag) == 0) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "%s of %zu bytes with the tag '%s', which no loaded driver owns", service, size,
             tagText.text);
  }
  bool fail = false;
  for (Fault& f : s.faults) fail = FaultHits(f, type, tag) || fail;
  PoolTagReport& stats = TagStats(s, tag);
  if (fail) {
    ++stats.injectedFailures;
    return nullptr;
  }
  auto* p = static_cast<uint8_t*>(std::malloc(size + EMU_POOL_GUARD + (size == 0 ? 1 : 0)));
  if (p == nullptr)
    return nullptr;
  memset(p, kFreshFill, size);
  memset(p + size, kGuardFill, EMU_POOL_GUARD);
  s.blocks[p] = Block{tag, size, type};
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

void Free(void* p, bool checkTag, uint32_t expectedTag, const char* service) {
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
    auto tagText = internal::FormatTag(block.tag);
    if (checkTag && block.tag != expectedTag) {
      BugCheck(BAD_POOL_CALLER, "%s of %p with the tag '%s'; the block has the tag '%s'", service,
               p, internal::FormatTag(expectedTag).text, tagText.text);
    }
    const uint8_t* guardBytes = static_cast<uint8_t*>(p) + block.size;
    for (int i = 0; i < EMU_POOL_GUARD; ++i) {
      if (guardBytes[i] != kGuardFill) {
        BugCheck(BAD_POOL_HEADER, "pool block %p (tag '%s', %zu bytes) was written past its end", p,
                 tagText.text, block.size);
      }
    }
    s.blocks.erase(it);
    PoolTagReport& stats = TagStats(s, block.tag);
    ++stats.frees;
    --stats.blocks;
    stats.bytes -= block.size;
    stats.chargedBytes -= Pool::BlockCost(block.size);
  }
  internal::CheckFreedTimersAndDpcs(p, block.size, block.tag);
  internal::CheckFreedWorkItems(p, block.size, block.tag);
  memset(p, kFreedFill, block.size);
  std::free(p);
}

}  // namespace

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
  PoolTagReport& stats = TagStats(s, tag);
  if (stats.blocks != 0) {
    std::string first;
    int listed = 0;
    for (const auto& [address, block] : s.blocks) {
      if (block.tag != tag || listed == 4)
        continue;
      char line[80];
      snprintf(line, sizeof line, "%s%p (%zu bytes, %s)", listed ? ", " : "", address, block.size,
               TypeName(block.type));
      first += line;
      ++listed;
    }
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "driver unloading without freeing its pool: %zu blocks, %zu bytes of tag '%s' are "
             "still allocated, among them %s",
             stats.blocks, stats.bytes, internal::FormatTag(tag).text, first.c_str());
  }
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

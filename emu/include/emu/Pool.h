// Host-side control of the emulated pool: driver tags, per-tag reports, the
// modelled cost of a block, and fault injection.
//
// Every block of ExAllocatePoolWithTag is tracked with its tag, size, pool
// type, allocation number and the driver running when it was allocated.
// Freeing an unknown or already freed block, freeing null, paged pool above
// PASSIVE_LEVEL, non-paged pool above DISPATCH_LEVEL and an allocation with a
// tag that no loaded driver owns all stop the process with a bug check.
//
// Each block lies between guard bytes, checked when it is freed and when its
// driver goes (and, under AddressSanitizer, poisoned so the stray write is
// reported where it happens). A freed block is filled with 0xDF and kept in a
// quarantine for a while: a read after free sees the fill, a write after
// free is reported when the block leaves the quarantine or its driver goes.
//
// Tags: the I/O manager registers a driver's tag when it loads the driver
// and unregisters it at unload, which bug-checks if the tag still holds
// blocks. While no tag is registered (unit tests of driver pieces without a
// loaded driver) every tag is accepted except the untagged ones (0 and
// "None", the tag of ExAllocatePool), which are always refused. A driver's
// leaks are found at its unload by the driver that allocated each block too,
// so a driver loaded without a tag of its own is checked all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// The tag of four characters as they lie in memory ("NRXc" -> 0x6358524E).
constexpr uint32_t MakePoolTag(const char (&text)[5]) {
  return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 |
         uint32_t(uint8_t(text[2])) << 16 | uint32_t(uint8_t(text[3])) << 24;
}

struct PoolTagReport {
  uint32_t tag = 0;
  size_t blocks = 0;            // blocks allocated now
  size_t bytes = 0;             // bytes requested by those blocks
  size_t chargedBytes = 0;      // what the kernel's pool holds for them (BlockCost each)
  size_t peakBlocks = 0;        // highest `blocks` since the last ResetPeaks
  size_t peakChargedBytes = 0;  // highest `chargedBytes` since the last ResetPeaks
  size_t allocations = 0;       // successful allocations, ever
  size_t frees = 0;
  size_t injectedFailures = 0;  // allocations failed by fault injection
  std::string TagText() const;
};

// Fault injection: counts the allocations that match (pool type and tag;
// -1 and 0 match any), from 1, starting when the fault is set, and fails
//  - kNth: exactly the n-th one;
//  - kEveryNth: the n-th, 2n-th, 3n-th ...;
//  - kPattern: the k-th one when pattern[k-1] is 'x' (others are '.'); the
//    allocations after the end of the pattern succeed.
// A failed allocation returns null as the kernel does for an exhausted pool.
struct PoolFault {
  enum Mode { kNth, kEveryNth, kPattern };
  Mode mode = kNth;
  unsigned n = 1;
  std::string pattern;
  int poolType = -1;  // 0 non-paged, 1 paged, -1 any
  uint32_t tag = 0;   // 0: any tag
};

class Pool {
 public:
  // The modelled cost of one block in the i386 kernel pool: an 8-byte pool
  // header in front, the block rounded up to 8 bytes. chargedBytes sums it.
  static constexpr size_t kBlockHeaderBytes = 8;
  static constexpr size_t kBlockGranularity = 8;
  static constexpr size_t BlockCost(size_t size) {
    return kBlockHeaderBytes +
           (size + kBlockGranularity - 1) / kBlockGranularity * kBlockGranularity;
  }

  static void RegisterDriverTag(uint32_t tag);
  // A tag the emulated kernel itself allocates with on a driver's behalf
  // ("Strg": strings of the run-time library); always accepted.
  static void RegisterKernelTag(uint32_t tag);
  // Bug check (DRIVER_VERIFIER_DETECTED_VIOLATION) if the tag still holds
  // blocks: the driver unloads without freeing its pool.
  static void UnregisterDriverTag(uint32_t tag);

  static PoolTagReport Report(uint32_t tag);
  static std::vector<PoolTagReport> ReportAll();
  // The blocks a tag holds now, one line each (address, size, pool type).
  static std::string DescribeBlocks(uint32_t tag);
  static void ResetPeaks();

  // Adds a fault; several may be active at once, each counting on its own.
  static void InjectFault(const PoolFault& fault);
  static void ClearFaults();
  // Forced IRQL checking (off by default; PELLINOR_FORCED_IRQL=1 turns it
  // on at start): paged blocks are paged out at every raise to
  // DISPATCH_LEVEL and before each DPC, so that a touch at DISPATCH_LEVEL
  // or above bug-checks as it does on Windows once the page is out, and a
  // touch below it pages the block back in. Off, paged memory is always
  // resident.
  static void SetForcedIrqlChecking(bool on);
};

}  // namespace emu

// Pool reports and fault injection.
#include <gtest/gtest.h>

#include <vector>

#include <ntddk.h>

#include "emu/Pool.h"

namespace {

TEST(Pool, ReportCountsBlocksBytesAndModelledCost) {
  const ULONG tag = emu::MakePoolTag("Rep1");
  EXPECT_EQ(tag, 0x31706552u);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 1, tag);
  void* b = ExAllocatePoolWithTag(PagedPool, 20, tag);
  emu::PoolTagReport r = emu::Pool::Report(tag);
  EXPECT_EQ(r.TagText(), "Rep1");
  EXPECT_EQ(r.blocks, 2u);
  EXPECT_EQ(r.bytes, 21u);
  // 8-byte header each, sizes rounded to 8: (8 + 8) + (8 + 24).
  EXPECT_EQ(r.chargedBytes, 48u);
  EXPECT_EQ(emu::Pool::BlockCost(0), 8u);
  EXPECT_EQ(emu::Pool::BlockCost(8), 16u);
  EXPECT_EQ(emu::Pool::BlockCost(9), 24u);
  EXPECT_NE(emu::Pool::DescribeBlocks(tag).find("20 bytes paged"), std::string::npos);
  ExFreePool(a);
  ExFreePool(b);
  r = emu::Pool::Report(tag);
  EXPECT_EQ(r.blocks, 0u);
  EXPECT_EQ(r.chargedBytes, 0u);
  EXPECT_EQ(r.peakBlocks, 2u);
  EXPECT_EQ(r.peakChargedBytes, 48u);
  EXPECT_EQ(r.allocations, 2u);
  EXPECT_EQ(r.frees, 2u);
}

TEST(Pool, NewBlocksAreNotZeroed) {
  // The kernel does not clear pool; code that relies on it must fail here.
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 8, emu::MakePoolTag("Test")));
  EXPECT_NE(p[0], 0);
  ExFreePool(p);
}

// Allocates n blocks of the given type and tag and returns which failed.
std::string Allocations(int n, POOL_TYPE type, ULONG tag) {
  std::string result;
  std::vector<void*> blocks;
  for (int i = 0; i < n; ++i) {
    void* p = ExAllocatePoolWithTag(type, 4, tag);
    result += p ? '.' : 'x';
    if (p)
      blocks.push_back(p);
  }
  for (void* p : blocks) ExFreePool(p);
  return result;
}

TEST(Pool, FaultInjectionHitsExactlyTheNamedAllocations) {
  const ULONG tag = emu::MakePoolTag("Flt1");
  const ULONG other = emu::MakePoolTag("Flt2");

  emu::PoolFault nth;
  nth.mode = emu::PoolFault::kNth;
  nth.n = 3;
  nth.tag = tag;
  emu::Pool::InjectFault(nth);
  EXPECT_EQ(Allocations(2, NonPagedPool, other), "..");  // another tag does not count
  EXPECT_EQ(Allocations(5, NonPagedPool, tag), "..x..");
  EXPECT_EQ(Allocations(5, NonPagedPool, tag), ".....");  // only once
  emu::Pool::ClearFaults();

  emu::PoolFault every;
  every.mode = emu::PoolFault::kEveryNth;
  every.n = 2;
  every.poolType = PagedPool;
  emu::Pool::InjectFault(every);
  EXPECT_EQ(Allocations(3, NonPagedPool, tag), "...");  // another pool type does not count
  EXPECT_EQ(Allocations(6, PagedPool, tag), ".x.x.x");
  emu::Pool::ClearFaults();

  emu::PoolFault pattern;
  pattern.mode = emu::PoolFault::kPattern;
  pattern.pattern = "x..xx";
  emu::Pool::InjectFault(pattern);
  EXPECT_EQ(Allocations(7, NonPagedPool, other), "x..xx..");
  emu::Pool::ClearFaults();

  EXPECT_EQ(emu::Pool::Report(tag).injectedFailures, 4u);
  EXPECT_EQ(emu::Pool::Report(other).injectedFailures, 3u);
}

}  // namespace

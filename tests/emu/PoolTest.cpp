// Pool reports and fault injection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <ntddk.h>

#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/src/PoolInternal.h"

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

// Guard bytes, the freed fill and leak checks by driver. Misuse is a death
// test (fast style with the emulator's threads stopped, as in
// BugCheckTest.cpp).
class PoolChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
  static PDRIVER_OBJECT Driver(const wchar_t* name) {
    auto* driver = new DRIVER_OBJECT{};
    RtlInitUnicodeString(&driver->DriverName, name);
    return driver;
  }
  const ULONG kTag = emu::MakePoolTag("Test");
};

TEST_F(PoolChecks, UseAfterFreeReadsTheFreedFill) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 40, kTag));
  memset(p, 0x11, 40);
  ExFreePool(p);
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(static_cast<void>(*static_cast<volatile unsigned char*>(p + 20)),
               "AddressSanitizer: use-after-poison");
#else
  // The fill is stored before the block goes to the quarantine, not before
  // a free the optimiser can see, so it is still there in an -O2 build.
  for (int i = 0; i < 40; i += 13)
    EXPECT_EQ(static_cast<volatile unsigned char*>(p)[i], 0xDF) << "at " << i;
#endif
  // A block of a page or more owns its pages: freed, they are inaccessible
  // until they go back, and a read stops at the access in both builds.
  auto* large = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 8000, kTag));
  memset(large, 0x11, 8000);
  ExFreePool(large);
  EXPECT_DEATH(static_cast<void>(*static_cast<volatile unsigned char*>(large + 7000)),
               "BUG CHECK 0x000000D5: DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL: the kernel touched "
               "the pool block .* \\(tag 'Test', 8000 bytes\\) after it was freed: address .*, "
               "inside the block|AddressSanitizer: use-after-poison");
}

TEST_F(PoolChecks, WritesOutsideABlockAreCaught) {
  // Seen at free by the emulator, or at once by AddressSanitizer.
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
        static_cast<volatile char*>(p)[-1] = 1;
        ExFreePool(p);
      },
      "BUG CHECK 0x00000019: BAD_POOL_HEADER: pool block .* \\(tag 'Test', 10 bytes, allocation "
      "#[0-9]+\\) was written before its start \\(1 bytes before it\\)|"
      "AddressSanitizer: use-after-poison");
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 13, kTag));
        static_cast<volatile char*>(p)[15] = 1;
        ExFreePool(p);
      },
      "BAD_POOL_HEADER: .* was written past its end \\(at byte 15 of it\\)|"
      "AddressSanitizer: use-after-poison");
  // A block its driver never frees is checked when the driver goes.
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = Driver(L"\\Driver\\Over");
        emu::internal::DriverContext context(driver);
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
        static_cast<volatile char*>(p)[8] = 1;
        emu::internal::CheckDriverPool(driver, 0, "Over", "unloaded");
      },
      "BAD_POOL_HEADER: .* was written past its end|AddressSanitizer: use-after-poison");
  // So is a block written after it was freed.
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = Driver(L"\\Driver\\Late");
        emu::internal::DriverContext context(driver);
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
        ExFreePool(p);
        static_cast<volatile char*>(p)[3] = 0x42;
        emu::internal::CheckDriverPool(driver, 0, "Late", "unloaded");
      },
      "BUG CHECK 0x000000C5: DRIVER_CORRUPTED_EXPOOL: pool block .* \\(tag 'Test', 8 bytes, "
      "allocation #[0-9]+\\) was written after it was freed \\(byte 3 holds 0x42\\)|"
      "AddressSanitizer: use-after-poison");
}

// The checks compare many bytes at a time: a stray byte deep inside a large
// block, in its last byte, or in the last byte of a guard is found all the
// same, and named exactly.
TEST_F(PoolChecks, EveryByteOfALargeBlockAndItsGuardsIsChecked) {
  for (int at : {1000, 2069}) {
    SCOPED_TRACE(at);
    EXPECT_DEATH(
        {
          PDRIVER_OBJECT driver = Driver(L"\\Driver\\Deep");
          emu::internal::DriverContext context(driver);
          auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 2070, kTag));
          ExFreePool(p);
          static_cast<volatile char*>(p)[at] = 0x42;
          emu::internal::CheckDriverPool(driver, 0, "Deep", "unloaded");
        },
        "DRIVER_CORRUPTED_EXPOOL: pool block .* \\(tag 'Test', 2070 bytes, allocation #[0-9]+\\) "
        "was written after it was freed \\(byte " + std::to_string(at) + " holds 0x42\\)|"
        "AddressSanitizer: use-after-poison");
  }
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 2070, kTag));
        static_cast<volatile char*>(p)[2079] = 1;  // the back guard's last byte
        ExFreePool(p);
      },
      "BAD_POOL_HEADER: .* \\(tag 'Test', 2070 bytes, .* was written past its end \\(at byte "
      "2079 of it\\)|AddressSanitizer: use-after-poison");
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 2070, kTag));
        static_cast<volatile char*>(p)[-16] = 1;  // the front guard's first byte
        ExFreePool(p);
      },
      "BAD_POOL_HEADER: .* was written before its start \\(16 bytes before it\\)|"
      "AddressSanitizer: use-after-poison");
}

TEST_F(PoolChecks, LeaksAreFoundByDriverWhateverTheTag) {
  // A driver loaded without a tag of its own allocates with any tag; what it
  // leaves behind is still its leak.
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = Driver(L"\\Driver\\Untagged");
        {
          emu::internal::DriverContext context(driver);
          ExAllocatePoolWithTag(PagedPool, 24, emu::MakePoolTag("Abcd"));
          ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, emu::MakePoolTag("Abcd")));
          ExAllocatePoolWithTag(NonPagedPool, 7, emu::MakePoolTag("Wxyz"));
        }
        emu::internal::CheckDriverPool(driver, 0, "UNTAGGED", "unloaded");
      },
      "BUG CHECK 0x000000C4: DRIVER_VERIFIER_DETECTED_VIOLATION: driver UNTAGGED unloaded without "
      "freeing its pool: 2 blocks, 31 bytes are still allocated, among them 0x[0-9a-f]+ \\(tag "
      "'Abcd', 24 bytes, paged, allocation #([0-9]+)\\), 0x[0-9a-f]+ \\(tag 'Wxyz', 7 bytes, "
      "non-paged, allocation #[0-9]+\\)");
}

PVOID leftInDispatch = nullptr;
NTSTATUS NTAPI LeakingDispatch(PDEVICE_OBJECT, PIRP irp) {
  leftInDispatch = ExAllocatePoolWithTag(NonPagedPool, 5, emu::MakePoolTag("Disp"));
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
VOID NTAPI DeletingUnload(PDRIVER_OBJECT driver) {
  IoDeleteDevice(driver->DeviceObject);
}
NTSTATUS NTAPI UntaggedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = DeletingUnload;
  driver->MajorFunction[IRP_MJ_CREATE] = LeakingDispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = LeakingDispatch;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\PoolUntagged");
  PDEVICE_OBJECT device;
  return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

// The loader's own check: a driver loaded without a pool tag, leaking from
// a dispatch routine.
TEST_F(PoolChecks, LoadedDriverWithoutATagIsCheckedAtUnload) {
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver;
        if (emu::LoadDriver("PoolUntagged", UntaggedEntry, 0, &driver) != STATUS_SUCCESS)
          abort();
        HANDLE file;
        emu::Open(u"\\Device\\PoolUntagged", KernelMode, &file);
        emu::Close(file);
        ExFreePool(leftInDispatch);  // the close's; the create's stays
        emu::UnloadDriver(driver);
      },
      "BUG CHECK 0x000000C4: DRIVER_VERIFIER_DETECTED_VIOLATION: driver \\\\Driver\\\\PoolUntagged unloaded "
      "without freeing its pool: 1 blocks, 5 bytes are still allocated, among them .* \\(tag "
      "'Disp', 5 bytes, non-paged, allocation #[0-9]+\\)");
}

TEST_F(PoolChecks, DriversThatFreeEverythingPass) {
  PDRIVER_OBJECT a = Driver(L"\\Driver\\A");
  PDRIVER_OBJECT b = Driver(L"\\Driver\\B");
  void* handedOver;
  void* kept;
  {
    emu::internal::DriverContext context(a);
    handedOver = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    {
      emu::internal::DriverContext nested(b);
      kept = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
      EXPECT_EQ(emu::internal::CurrentDriverObject(), b);
    }
    EXPECT_EQ(emu::internal::CurrentDriverObject(), a);
    EXPECT_STREQ(emu::internal::CurrentDriverName(), "\\Driver\\A");
  }
  EXPECT_EQ(emu::internal::CurrentDriverObject(), nullptr);
  // A block another driver frees is gone for its owner too.
  {
    emu::internal::DriverContext context(b);
    ExFreePool(handedOver);
  }
  emu::internal::CheckDriverPool(a, 0, "A", "unloaded");
  ExFreePool(kept);
  emu::internal::CheckDriverPool(b, 0, "B", "unloaded");
}

TEST_F(PoolChecks, SystemBuffersArePoolOfTheIoManager) {
  PDRIVER_OBJECT driver = Driver(L"\\Driver\\Sb");
  emu::internal::DriverContext context(driver);
  auto* buffer = static_cast<unsigned char*>(emu::internal::AllocateSystemBuffer(12));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("IoSB")).blocks, 1u);
  // Charged to no driver, though allocated while a driver runs.
  emu::internal::CheckDriverPool(driver, 0, "Sb", "unloaded");
  EXPECT_DEATH(ExFreePool(buffer),
               "BUG CHECK 0x000000C2: BAD_POOL_CALLER: ExFreePool of .* a block the kernel "
               "allocated for itself .*; only the kernel frees it");
  EXPECT_DEATH(
      {
        static_cast<volatile unsigned char*>(buffer)[12] = 0;
        emu::internal::FreeSystemBuffer(buffer);
      },
      "BAD_POOL_HEADER: pool block .* \\(tag 'IoSB', 12 bytes, .* written past its end|"
      "AddressSanitizer: use-after-poison");
  EXPECT_DEATH(emu::internal::FreeSystemBuffer(ExAllocatePoolWithTag(NonPagedPool, 4, kTag)),
               "BAD_POOL_CALLER");
  emu::internal::FreeSystemBuffer(buffer);
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("IoSB")).blocks, 0u);
}

}  // namespace

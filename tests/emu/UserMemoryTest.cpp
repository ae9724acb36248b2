// The emulated user address space: the requester's context reaches user
// buffers through UserAccess, a driver touching them directly is stopped
// with PAGE_FAULT_IN_NONPAGED_AREA.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "emu/Kernel.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Process.h"
#include "emu/UserMemory.h"
#include "emu/src/PoolInternal.h"
#include <ntddk.h>

// The host build's copy routine of the trace driver, which the emulated
// kernel provides (framework/UserMemoryCopy.h).
extern "C" NTSTATUS GuardedCopyBytes(PVOID to, const VOID* from, ULONG length);

namespace {

class UserMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

// A read the optimiser cannot drop, as a driver's would be.
char Touch(const void* address) {
  return *static_cast<const volatile char*>(address);
}

TEST_F(UserMemory, RequesterReachesItsBuffersThroughTheAlias) {
  auto* a = static_cast<char*>(emu::UserAlloc(100));
  auto* b = static_cast<char*>(emu::UserAlloc(1));
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(emu::IsUserAddress(a, 100));
  EXPECT_TRUE(emu::IsUserAddress(b));
  int onStack = 0;
  EXPECT_FALSE(emu::IsUserAddress(&onStack));
  EXPECT_FALSE(emu::IsUserAddress(nullptr));

  auto* view = static_cast<char*>(emu::UserAccess(a, 100));
  EXPECT_NE(view, a);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(view[i], 0) << "at " << i;
  memcpy(view, "caller's bytes", 15);
  // Any part of the block reaches the same bytes.
  EXPECT_STREQ(static_cast<char*>(emu::UserAccess(a + 9, 6)), "bytes");
  EXPECT_EQ(emu::UserAccess(a + 100, 0), view + 100);
  emu::UserFree(a);
  emu::UserFree(b);
}

TEST_F(UserMemory, FreedAddressesAreNotHandedOutAgainAtOnce) {
  void* first = emu::UserAlloc(64);
  *static_cast<char*>(emu::UserAccess(first, 1)) = 'x';
  emu::UserFree(first);
  void* second = emu::UserAlloc(64);
  EXPECT_NE(second, first);
  EXPECT_EQ(*static_cast<char*>(emu::UserAccess(second, 1)), 0);
  emu::UserFree(second);
}

TEST_F(UserMemory, KernelModeDereferenceIsAPageFault) {
  EXPECT_DEATH(
      {
        char* user = static_cast<char*>(emu::UserAlloc(32));
        Touch(user + 4);
      },
      "BUG CHECK 0x00000050: PAGE_FAULT_IN_NONPAGED_AREA: access to the user address 0x[0-9a-f]+ "
      "\\(inside the user buffer of 32 bytes at 0x[0-9a-f]+\\) from kernel mode");
  EXPECT_DEATH(
      {
        char* user = static_cast<char*>(emu::UserAlloc(8));
        *static_cast<volatile char*>(user) = 1;
      },
      "BUG CHECK 0x00000050: PAGE_FAULT_IN_NONPAGED_AREA: access to the user address");
  // A freed buffer, and the gap after a block, fault just the same.
  EXPECT_DEATH(
      {
        char* user = static_cast<char*>(emu::UserAlloc(8));
        emu::UserFree(user);
        Touch(user);
      },
      "BUG CHECK 0x00000050: PAGE_FAULT_IN_NONPAGED_AREA: access to the user address");
}

TEST_F(UserMemory, FaultNamesTheRunningDriver) {
  EXPECT_DEATH(
      {
        static WCHAR name[] = L"\\Driver\\Faulty";
        static DRIVER_OBJECT driver;
        RtlInitUnicodeString(&driver.DriverName, name);
        char* user = static_cast<char*>(emu::UserAlloc(8));
        emu::internal::DriverContext context(&driver);
        Touch(user);
      },
      "PAGE_FAULT_IN_NONPAGED_AREA: access to the user address .* from kernel mode in driver "
      "\\\\Driver\\\\Faulty");
}

TEST_F(UserMemory, RequesterAccessIsBoundedByLiveBlocks) {
  EXPECT_DEATH(
      {
        void* user = emu::UserAlloc(16);
        emu::UserAccess(user, 17);
      },
      "BUG CHECK 0x00000050.*UserAccess of 17 bytes at the user address .* not inside one live "
      "user buffer");
  EXPECT_DEATH(
      {
        void* user = emu::UserAlloc(16);
        emu::UserFree(user);
        emu::UserAccess(user, 1);
      },
      "BUG CHECK 0x00000050.*UserAccess of 1 bytes .* not inside one live user buffer");
  EXPECT_DEATH(
      {
        static char kernel[4];
        emu::UserAccess(kernel, 4);
      },
      "BUG CHECK 0x00000050.*UserAccess of 4 bytes at .* which is not a user address");
  EXPECT_DEATH(
      {
        char* user = static_cast<char*>(emu::UserAlloc(16));
        emu::UserFree(user + 1);
      },
      "BUG CHECK 0x000000C2.*UserFree of .* which does not start a live user buffer");
}

// A driver's guarded copy reads live user memory in a user process and
// faults, as the processor would, everywhere else; at DISPATCH_LEVEL the
// page fault itself is fatal.
TEST_F(UserMemory, GuardedCopyFaultsWhereTheProcessorWould) {
  const char text[] = "0123456789abcdef";
  auto* user = static_cast<char*>(emu::UserCopy(text, 16));
  char copy[32] = {};
  EXPECT_EQ(GuardedCopyBytes(copy, user, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::string(copy, 16), std::string(text, 16));
  EXPECT_EQ(GuardedCopyBytes(copy, user + 8, 9), STATUS_ACCESS_VIOLATION);  // past the block
  EXPECT_EQ(GuardedCopyBytes(copy, nullptr, 1), STATUS_ACCESS_VIOLATION);
  {
    emu::ProcessScope system(emu::SystemProcess());
    EXPECT_EQ(GuardedCopyBytes(copy, user, 1), STATUS_ACCESS_VIOLATION);
  }
  // Freed by another thread while the copy is under way: what came before
  // the freed byte was copied.
  std::memset(copy, 0, sizeof copy);
  emu::FreeUserBlockWhenCopied(user + 4);
  EXPECT_EQ(GuardedCopyBytes(copy, user, 16), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(std::string(copy), "0123");
  EXPECT_EQ(GuardedCopyBytes(copy, user, 1), STATUS_ACCESS_VIOLATION);
  EXPECT_DEATH(
      {
        void* live = emu::UserAlloc(4);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        GuardedCopyBytes(copy, live, 4);
      },
      "BUG CHECK 0x0000000A.*user address .* at IRQL 2");
}

// Faults outside the user range are not ours: they end the process as they
// would have without the handler.
TEST_F(UserMemory, OtherFaultsAreLeftAlone) {
  emu::UserFree(emu::UserAlloc(1));  // the handler is installed
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(Touch(reinterpret_cast<void*>(16)), "AddressSanitizer: SEGV");
#else
  EXPECT_EXIT(Touch(reinterpret_cast<void*>(16)), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

}  // namespace

// The user range lies at the bottom of the address space, as on NT: a
// driver tells user from system addresses by MmUserProbeAddress, and pool,
// stacks and the host's heap all lie above it.
TEST_F(UserMemory, UserAddressesLieBelowMmUserProbeAddress) {
  EXPECT_EQ(MmUserProbeAddress, ULONG(emu::kUserRangeBase + emu::kUserRangeBytes));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(MmHighestUserAddress), uintptr_t(MmUserProbeAddress) - 1);
  void* user = emu::UserAlloc(100);
  EXPECT_LT(reinterpret_cast<uintptr_t>(user) + 100, uintptr_t(MmUserProbeAddress));
  int onStack = 0;
  void* pool = ExAllocatePoolWithTag(NonPagedPool, 16, emu::MakePoolTag("Test"));
  std::string heap(1000, 'h');
  for (const void* system : {static_cast<const void*>(&onStack), static_cast<const void*>(pool),
                             static_cast<const void*>(heap.data())}) {
    EXPECT_GE(reinterpret_cast<uintptr_t>(system), uintptr_t(MmUserProbeAddress));
    EXPECT_FALSE(emu::IsUserAddress(system));
  }
  // The whole range counts as user addresses, whether a block lives there
  // or not.
  EXPECT_TRUE(emu::IsUserAddress(reinterpret_cast<void*>(emu::kUserRangeBase)));
  EXPECT_TRUE(emu::IsUserAddress(MmHighestUserAddress));
  EXPECT_FALSE(emu::IsUserAddress(MmHighestUserAddress, 2));
  ExFreePool(pool);
  emu::UserFree(user);
  // Where no block lives, and before any exists once a driver is loaded.
  EXPECT_DEATH(
      {
        emu::ReadyUserMemory();
        Touch(reinterpret_cast<void*>(emu::kUserRangeBase));
      },
      "PAGE_FAULT_IN_NONPAGED_AREA: access to the user address 0x10000 from kernel mode");
}

// Kernel-mode mappings of locked pages take system page-table entries; when
// none are left, NT's MmMapLockedPages bug-checks unless the MDL says the
// mapping may fail, and MmMapLockedPagesSpecifyCache fails as it is told.
class MdlMapping : public UserMemory {
 protected:
  void SetUp() override {
    UserMemory::SetUp();
    user_ = emu::UserAlloc(64);
    mdl_ = IoAllocateMdl(user_, 64, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl_, UserMode, IoReadAccess);
  }
  void TearDown() override {
    emu::FailMdlMapping(0);
    MmUnlockPages(mdl_);
    IoFreeMdl(mdl_);
    emu::UserFree(user_);
  }
  void* user_ = nullptr;
  PMDL mdl_ = nullptr;
};

TEST_F(MdlMapping, AMappingWithoutRoomBugChecksUnlessItMayFail) {
  EXPECT_DEATH(
      {
        static WCHAR name[] = L"\\Driver\\Mapper";
        static DRIVER_OBJECT driver;
        RtlInitUnicodeString(&driver.DriverName, name);
        emu::internal::DriverContext context(&driver);
        emu::FailMdlMapping(1);
        MmMapLockedPages(mdl_, KernelMode);
      },
      "BUG CHECK 0x0000003F: NO_MORE_SYSTEM_PTES: MmMapLockedPages of MDL .* in driver "
      "\\\\Driver\\\\Mapper");
  EXPECT_DEATH(
      {
        emu::FailMdlMapping(1);
        MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, TRUE,
                                     NormalPagePriority);
      },
      "NO_MORE_SYSTEM_PTES: MmMapLockedPagesSpecifyCache");

  const unsigned before = emu::MdlMappingCalls();
  emu::FailMdlMapping(2);
  // The first call maps; the second finds no room and says so.
  void* mapped = MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, FALSE,
                                              NormalPagePriority);
  ASSERT_NE(mapped, nullptr);
  EXPECT_FALSE(emu::IsUserAddress(mapped));
  EXPECT_TRUE(mdl_->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  MmUnmapLockedPages(mapped, mdl_);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority),
            nullptr);
  EXPECT_FALSE(mdl_->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  // The older call fails too when the MDL carries MDL_MAPPING_CAN_FAIL.
  emu::FailMdlMapping(1);
  mdl_->MdlFlags |= MDL_MAPPING_CAN_FAIL;
  EXPECT_EQ(MmMapLockedPages(mdl_, KernelMode), nullptr);
  mdl_->MdlFlags &= ~MDL_MAPPING_CAN_FAIL;
  EXPECT_EQ(emu::MdlMappingCalls() - before, 3u);

  // Non-paged pool needs no mapping: it never fails and is not counted.
  void* pool = ExAllocatePoolWithTag(NonPagedPool, 32, emu::MakePoolTag("Test"));
  PMDL poolMdl = IoAllocateMdl(pool, 32, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(poolMdl);
  emu::FailMdlMapping(1);
  EXPECT_EQ(MmMapLockedPages(poolMdl, KernelMode), pool);
  EXPECT_EQ(emu::MdlMappingCalls() - before, 3u);
  IoFreeMdl(poolMdl);
  ExFreePool(pool);
}

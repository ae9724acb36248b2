// The emulated user address space: the requester's context reaches user
// buffers through UserAccess, a driver touching them directly is stopped
// with PAGE_FAULT_IN_NONPAGED_AREA.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "emu/Kernel.h"
#include "emu/UserMemory.h"
#include "emu/src/PoolInternal.h"
#include <ntddk.h>

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

// sim/UserSpace.h on Windows. The provider calls these in its dispatch
// routine for a user-mode request, which runs in the requester's thread, so
// the current process is the caller's and its user addresses are the
// caller's own:
//  - allocation is virtual memory of the current process (the message area
//    a user-mode get returns, allocated at the application's registration);
//  - a view of a user address is the address itself, valid in that context
//    only. The provider touches user memory only at PASSIVE_LEVEL in the
//    caller's context; a fault there would not be caught (no exception
//    frame): acceptable for test setup, whose callers are the job's own
//    application.
// Caveat: an application freed outside its process's context (the
// provider's unload with applications still registered) frees in the wrong
// process; the free then fails and the memory stays with its process until
// that exits.
#include <ntifs.h>  // ZwAllocateVirtualMemory, ZwFreeVirtualMemory

#include "sim/UserSpace.h"
#include "windows/capisim/KernelUserSpace.h"

namespace {

// i386 without /3GB; replaced by the system's own value at load.
ULONG_PTR userProbeAddress = 0x7FFF0000;

}  // namespace

namespace capisim {

void FindUserProbeAddress() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"MmUserProbeAddress");
  const ULONG_PTR* probe = static_cast<const ULONG_PTR*>(MmGetSystemRoutineAddress(&name));
  if (probe != nullptr)
    userProbeAddress = *probe;
}

}  // namespace capisim

namespace sim {

void* UserSpaceAlloc(size_t bytes) {
  void* base = nullptr;
  SIZE_T size = bytes == 0 ? 1 : bytes;
  if (!NT_SUCCESS(ZwAllocateVirtualMemory(NtCurrentProcess(), &base, 0, &size,
                                          MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
    return nullptr;
  }
  return base;  // committed pages are zero-filled
}

void UserSpaceFree(void* userAddress) {
  if (userAddress == nullptr)
    return;
  SIZE_T size = 0;
  ZwFreeVirtualMemory(NtCurrentProcess(), &userAddress, &size, MEM_RELEASE);
}

bool UserSpaceContains(const void* address, size_t bytes) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  return address != nullptr && bytes <= userProbeAddress && start <= userProbeAddress - bytes;
}

void* UserSpaceView(const void* userAddress, size_t) {
  return const_cast<void*>(userAddress);
}

}  // namespace sim

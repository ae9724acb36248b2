// The emulated user address space.
//
// A request built as from user mode carries addresses of the requester's
// process: the METHOD_NEITHER input buffer, Irp->UserBuffer, and whatever a
// caller's parameter block points to. On a real system a driver that
// dereferences such an address from an arbitrary context (a DPC, a worker
// thread, a completion routine, another process) faults or reads another
// process's memory. Here the user range is mapped inaccessible to drivers:
// a dereference stops the process with PAGE_FAULT_IN_NONPAGED_AREA and the
// faulting address. Only the requester's own context reaches the bytes,
// through UserAccess: the I/O manager copying a caller's buffer into a
// system buffer, a CAPI provider reading its caller's message.
//
// A kernel-mode caller's buffers stay ordinary pool or host memory, which
// lies above the user range (MmUserProbeAddress and MmHighestUserAddress
// say where it ends, as on NT).
#pragma once

#include <cstddef>
#include <cstdint>

namespace emu {

// Where the user range lies: fixed, at the bottom of the address space,
// reserved at process start. MmUserProbeAddress is its end and
// MmHighestUserAddress its last byte; pool and every other host memory lie
// above it.
constexpr uintptr_t kUserRangeBase = 0x00010000;
constexpr uintptr_t kUserRangeBytes = uintptr_t(32) << 20;

// A block of the emulated user address space: inaccessible to drivers
// (a driver dereferencing it is a PAGE_FAULT_IN_NONPAGED_AREA bug check with
// the faulting address), reachable only through UserAccess in the
// requester's context. Zero-filled. Never returns null: an exhausted user
// range is a fault of the test, not of the driver, and bug-checks.
void* UserAlloc(size_t bytes);
// Installs the handler that turns a driver's touch of the user range into
// the bug check, if it is not in yet. The first UserAlloc and every driver
// load do it (after AddressSanitizer's handler, to which it passes on
// what is not its own).
void ReadyUserMemory();
// Releases a block from UserAlloc; its pages become unreachable through
// UserAccess too. Bug-checks for an address that does not start a live
// block.
void UserFree(void* userAddress);
// True when [address, address + bytes) lies wholly inside the user range
// (live block or not): the probe a driver's ProbeForRead/Write would make.
bool IsUserAddress(const void* address, size_t bytes = 1);
// The view through which the requester's context (the I/O manager copying
// a caller's buffer, a CAPI provider reading its caller's message) reads and
// writes user memory. Bug-checks if [userAddress, +bytes) is not all user
// memory of live blocks.
void* UserAccess(const void* userAddress, size_t bytes);

// A driver's copy from a user-mode caller's memory under an exception frame
// of its own, as NT lets a driver make one: in a user process, below
// DISPATCH_LEVEL (user memory is pageable, and a page fault at DISPATCH_LEVEL
// bug-checks with IRQL_NOT_LESS_OR_EQUAL whatever frame is there), each byte
// of a live block reads, and any other user address raises an access
// violation that the frame catches. The emulated range is stricter than
// pages are: a read past a block's end faults even where NT would find the
// rest of the page. In the system process no user address is readable. The
// host build's driver gets this through its copy routine; the driver image
// gets it through the processor's fault and the image's own frame (see
// ExceptionDispatch.cpp).
//
// Test hook: the next guarded read of `userAddress` finds the live block
// that holds it freed first, as when another thread of the process frees
// the memory while the driver copies it.
void FreeUserBlockWhenCopied(const void* userAddress);

}  // namespace emu

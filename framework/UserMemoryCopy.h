// Copies from the memory of a user-mode caller.
//
// A user-mode application's CAPI_PUT_MESSAGE and CAPI_GET_MESSAGE I/O
// controls carry a parameter block of two pointers into the application's
// own memory. A driver may read such memory only in a thread of that
// process, below DISPATCH_LEVEL (the pages are pageable), and only under an
// exception frame: the application may hand over any address, and may free
// the memory while the driver reads it. Nothing of such a fault may reach
// the traced request.
#pragma once

#include <ntddk.h>

// The copy loop itself, a byte load at a time under an exception frame of
// the driver's own: windows/GuardedCopy.cpp in pellinor.sys (mingw-w64's
// GCC has no __try for i386 kernel code), the emulated kernel's guarded
// access in the host build. STATUS_SUCCESS, or the exception's code
// (STATUS_ACCESS_VIOLATION) at the first byte that faulted. cdecl.
extern "C" NTSTATUS GuardedCopyBytes(PVOID to, const VOID* from, ULONG length);

class UserMemoryCopy {
 public:
  // Whether the thread may read the user memory of `irp`'s requester now:
  // it is the thread that made the request (on NT the one the I/O manager
  // queued it to), below DISPATCH_LEVEL, on a system that lets the driver
  // tell (SystemRoutines::CanCopyUserMemory).
  static bool InRequesterContext(PIRP irp);

  // Copies `length` bytes at the user address `from` into `to`. The range
  // must lie wholly below MmUserProbeAddress (what ProbeForRead checks,
  // without raising); STATUS_ACCESS_VIOLATION when it does not or when the
  // copy faults. Only in the requester's context (above).
  static NTSTATUS Read(PVOID to, const VOID* from, ULONG length);

  // Whether [address, address + length) lies in user space: below
  // MmUserProbeAddress, without wrapping.
  static bool InUserSpace(const VOID* address, ULONG length);
};

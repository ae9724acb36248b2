#include "framework/UserMemoryCopy.h"

#include "framework/SystemRoutines.h"

bool UserMemoryCopy::InRequesterContext(PIRP irp) {
  SystemRoutines::CurrentThreadRoutine currentThread = SystemRoutines::CurrentThread();
  if (!SystemRoutines::CanCopyUserMemory() || currentThread == NULL) {
    return false;
  }
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    return false;
  }
  // A request the I/O manager built for a user-mode caller is queued to
  // the caller's thread; in any other thread (a DPC, a worker, a thread of
  // another process) the caller's addresses mean nothing or another
  // process's memory.
  return irp->Tail.Overlay.Thread != NULL && irp->Tail.Overlay.Thread == currentThread();
}

bool UserMemoryCopy::InUserSpace(const VOID* address, ULONG length) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  ULONG_PTR end = SystemRoutines::UserProbeAddress();
  return start < end && length <= end - start;
}

NTSTATUS UserMemoryCopy::Read(PVOID to, const VOID* from, ULONG length) {
  if (!InUserSpace(from, length)) {
    return STATUS_ACCESS_VIOLATION;
  }
  if (length == 0) {
    return STATUS_SUCCESS;
  }
  return GuardedCopyBytes(to, from, length);
}

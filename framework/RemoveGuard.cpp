#include "framework/RemoveGuard.h"

RemoveGuard::RemoveGuard() : released(NotificationEvent, false), removing(FALSE), count(1) {}

RemoveGuard::~RemoveGuard() {
  ReleaseAndWait();
}

NTSTATUS RemoveGuard::Acquire() {
  InterlockedIncrement(&count);
  if (!__atomic_load_n(&removing, __ATOMIC_SEQ_CST))
    return STATUS_SUCCESS;
  if (InterlockedDecrement(&count) == 0)
    released.Set(0);
  return STATUS_DELETE_PENDING;
}

void RemoveGuard::Release() {
  if (InterlockedDecrement(&count) == 0)
    released.Set(0);
}

void RemoveGuard::ReleaseAndWait() {
  if (!NT_SUCCESS(Acquire()))
    return;
  // Two callers racing past Acquire: only the first removes; the other gives
  // its reference back and leaves, so the initial reference is released once.
  if (__atomic_exchange_n(&removing, BOOLEAN(TRUE), __ATOMIC_SEQ_CST)) {
    Release();
    return;
  }
  Release();
  Release();
  released.Wait();
}

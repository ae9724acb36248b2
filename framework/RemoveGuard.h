// Protects an object against destruction while it is in use. Every
// successful Acquire is given back by exactly one Release; the owner calls
// ReleaseAndWait before it destroys the object, after which no new reference
// is granted and every old one has been given back.
#pragma once

#include <ntddk.h>

#include "framework/Event.h"

class RemoveGuard {
 public:
  RemoveGuard();
  ~RemoveGuard();
  RemoveGuard(const RemoveGuard&) = delete;
  RemoveGuard& operator=(const RemoveGuard&) = delete;

  // Up to DISPATCH_LEVEL. STATUS_DELETE_PENDING once removal has begun.
  NTSTATUS Acquire();
  // Up to DISPATCH_LEVEL.
  void Release();
  // PASSIVE_LEVEL. Refuses new references and waits until the old ones are
  // given back; a second call returns at once.
  void ReleaseAndWait();

 private:
  Event released;
  BOOLEAN removing;
  LONG count;
};

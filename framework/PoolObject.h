// Base of every driver class that is allocated with new or has a virtual
// destructor: its class-level operators put objects in the non-paged pool in
// both builds, without replacing the global operators (the host process
// keeps its own). A class with a virtual destructor needs them even when it
// is never allocated, because its deleting destructor names operator delete.
#pragma once

#include <stddef.h>

#include "framework/Pool.h"

class PoolObject {
 public:
  // A failed allocation yields null, and a new-expression then constructs
  // nothing: the creator checks the pointer.
  static void* operator new(size_t size) noexcept { return PoolAlloc(size, NonPagedPool); }
  static void* operator new[](size_t size) noexcept { return PoolAlloc(size, NonPagedPool); }
  static void operator delete(void* block) noexcept { PoolFree(block); }
  static void operator delete(void* block, size_t) noexcept { PoolFree(block); }
  static void operator delete[](void* block) noexcept { PoolFree(block); }
  static void operator delete[](void* block, size_t) noexcept { PoolFree(block); }
  // Construction in place (static storage of the driver's static objects).
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}
};

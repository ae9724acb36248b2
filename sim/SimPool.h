// The provider's pool: every block it allocates carries its own tag, so the
// emulated kernel checks at unload that it left none behind.
#pragma once

#include <cstdint>
#include <new>

#include <ntddk.h>

namespace sim {

// "SimC" as it lies in memory.
inline constexpr ULONG kSimPoolTag = 0x436D6953;

// Non-paged, zero-filled; null when the pool refuses.
inline void* SimAlloc(size_t bytes) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, bytes, kSimPoolTag);
  if (block != nullptr)
    RtlZeroMemory(block, bytes);
  return block;
}

inline void SimFree(void* block) {
  ExFreePoolWithTag(block, kSimPoolTag);
}

// An object of T in the provider's pool (T's constructor must not throw).
template <typename T, typename... Args>
T* SimNew(Args&&... args) {
  void* block = SimAlloc(sizeof(T));
  return block == nullptr ? nullptr : new (block) T(static_cast<Args&&>(args)...);
}

template <typename T>
void SimDelete(T* object) {
  object->~T();
  SimFree(object);
}

}  // namespace sim

// The driver's pool allocator. Every allocation of the driver goes through
// PoolAlloc: tagged "NRXc", at least 4 bytes, zero-filled, so that a 32-bit
// read at the start of any block stays inside it.
#pragma once

#include <ntddk.h>

// The four characters "NRXc" in this order in memory.
constexpr ULONG POOL_TAG = ULONG('N') | ULONG('R') << 8 | ULONG('X') << 16 | ULONG('c') << 24;
constexpr SIZE_T POOL_MINIMUM_BLOCK = 4;

// Null on failure; otherwise a zero-filled block of max(size, 4) bytes.
// Non-paged pool up to DISPATCH_LEVEL, paged pool at PASSIVE_LEVEL only.
PVOID PoolAlloc(SIZE_T size, POOL_TYPE type);

// Frees a block of PoolAlloc; null is allowed and ignored.
VOID PoolFree(PVOID block);

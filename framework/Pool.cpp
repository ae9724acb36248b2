#include "framework/Pool.h"

PVOID PoolAlloc(SIZE_T size, POOL_TYPE type) {
  if (size < POOL_MINIMUM_BLOCK)
    size = POOL_MINIMUM_BLOCK;
  PVOID block = ExAllocatePoolWithTag(type, size, POOL_TAG);
  if (block == NULL)
    return NULL;
  RtlZeroMemory(block, size);
  return block;
}

VOID PoolFree(PVOID block) {
  if (block == NULL)
    return;
  ExFreePool(block);
}

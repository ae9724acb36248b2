// What the tracer reads of the CAPI 2.0 provider's buffers (the codes are in
// trace/NameTables.h). Kernel-mode callers send the CAPI I/O controls as
// internal I/O controls whose fourth parameter word points to a
// CAPI_PARAMETER_BLOCK.
#pragma once

#include <ntddk.h>

#include "trace/NameTables.h"

// CAPI_PARAMETER_BLOCK: two 32-bit little-endian pointers.
struct CAPI_PARAMETER_BLOCK {
  ULONG message;  // address of the CAPI message
  ULONG b3Data;   // address of its DATA_B3 payload
};
static_assert(sizeof(CAPI_PARAMETER_BLOCK) == 8, "CAPI_PARAMETER_BLOCK");

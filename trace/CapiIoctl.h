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

// A CAPI message header as the capture reads it.
constexpr ULONG CAPI_MESSAGE_LENGTH = 0;   // u16 total length
constexpr ULONG CAPI_MESSAGE_COMMAND = 4;  // command byte
constexpr ULONG CAPI_MESSAGE_SUBCOMMAND = 5;
constexpr ULONG CAPI_DATA_B3_LENGTH = 16;  // u16 payload length of DATA_B3
constexpr UCHAR CAPI_COMMAND_DATA_B3 = 0x86;
constexpr UCHAR CAPI_COMMAND_MANUFACTURER = 0xFF;
constexpr UCHAR CAPI_SUBCOMMAND_REQ = 0x80;
constexpr UCHAR CAPI_SUBCOMMAND_IND = 0x82;

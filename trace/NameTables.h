// Names of what the trace prints as codes: the major functions of traced
// requests, the CAPI I/O control codes and completion statuses.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The nine CAPI I/O controls: device type 0x8001, functions 0x801 to 0x809,
// buffered, any access.
inline constexpr uint32_t CAPI_REGISTER = 0x80012004;
inline constexpr uint32_t CAPI_RELEASE = 0x80012008;
inline constexpr uint32_t CAPI_PUT_MESSAGE = 0x8001200C;
inline constexpr uint32_t CAPI_GET_MESSAGE = 0x80012010;
inline constexpr uint32_t CAPI_GET_MANUFACTURER = 0x80012014;
inline constexpr uint32_t CAPI_GET_VERSION = 0x80012018;
inline constexpr uint32_t CAPI_GET_SERIAL = 0x8001201C;
inline constexpr uint32_t CAPI_GET_PROFILE = 0x80012020;
inline constexpr uint32_t CAPI_MANUFACTURER = 0x80012024;

struct CodeName {
  uint32_t code;
  const char* name;
};

static_assert(sizeof(CodeName) == 8, "a code and a name pointer (i386)");

// Status rows in ascending code order, closed by the sentinel row
// {0xFFFFFFFF, "STATUS_???"}.
inline constexpr size_t kNtStatusRows = 622;
extern const CodeName NtStatusTable[kNtStatusRows];

// "MJ_READ", "MJ_WRITE", "MJ_DEVICE_CONTROL", "MJ_INTL_DEVICE_CONTROL"; the
// only major functions traced. Any other code gives "MJ_???".
const char* majorName(uint32_t major);

// The CAPI_ name of one of the nine codes; any other code gives "CAPI_???".
bool isCapiIoctl(uint32_t code);
const char* capiIoctlName(uint32_t code);

// The platform's name of the status, or "STATUS_???" for one it has none for.
const char* ntStatusName(uint32_t status);

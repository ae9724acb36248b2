// Names of the statuses and errors the control tool reports.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pellinorctl/ControlBackend.h"

namespace pellinorctl {

// The name of an NTSTATUS, or null for one the tool does not know.
const char* NtStatusName(uint32_t status);
// The name of a Win32 error code, or null for one the tool does not know.
const char* Win32ErrorName(uint32_t error);

// "0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST", or for a Win32 error
// "Win32 error 0x00000002 ERROR_FILE_NOT_FOUND"; "(unknown)" for the name of
// an unknown code.
std::string DescribeResult(const ControlResult& result);

}  // namespace pellinorctl

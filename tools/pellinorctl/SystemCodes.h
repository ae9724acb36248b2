// The NT statuses and Win32 errors pellinorctl reads, as plain numbers: the
// tool's core is built without the system's headers, and each back end
// hands it what the system returned.
#pragma once

#include <cstdint>

namespace pellinorctl {

// NT statuses: what the driver's control requests and its start end with.
constexpr uint32_t kStatusPending = 0x00000103;
constexpr uint32_t kStatusBufferOverflow = 0x80000005;
constexpr uint32_t kStatusNotImplemented = 0xC0000002;
constexpr uint32_t kStatusInvalidDeviceRequest = 0xC0000010;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023;
constexpr uint32_t kStatusObjectNameInvalid = 0xC0000033;
constexpr uint32_t kStatusObjectPathNotFound = 0xC000003A;
constexpr uint32_t kStatusSharingViolation = 0xC0000043;
constexpr uint32_t kStatusDeletePending = 0xC0000056;
constexpr uint32_t kStatusInsufficientResources = 0xC000009A;
constexpr uint32_t kStatusFileIsADirectory = 0xC00000BA;
constexpr uint32_t kStatusDeviceDoesNotExist = 0xC00000C0;
constexpr uint32_t kStatusTooLate = 0xC0000189;

// Win32 errors of the service control manager and of CreateFile.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;  // a device name that nothing holds
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorMrMidNotFound = 317;  // a status the system has no mapping for
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorNoSystemResources = 1450;

}  // namespace pellinorctl

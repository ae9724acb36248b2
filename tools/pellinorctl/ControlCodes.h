// What the control tool needs to reach the driver: the control device's
// I/O control codes and state word (the driver's own definitions,
// control/TraceControlCodes.h), the name user mode opens it by, and the
// service that install registers.
#pragma once

#include <cstdint>

#include "control/TraceControlCodes.h"

namespace pellinorctl {

// The name under which user mode opens the control device.
constexpr const char kControlDevicePath[] = "\\\\.\\PellinorWin32CTL";

// The kernel service that install registers and uninstall removes.
constexpr const char kServiceName[] = "Pellinor";
constexpr const char kServiceDisplayName[] = "Pellinor CAPI trace driver";
// Relative to the system root, as the kernel resolves a driver's image path.
constexpr const char kServiceImagePath[] = "System32\\drivers\\pellinor.sys";
constexpr uint32_t kServiceTypeKernelDriver = 1;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceStartAuto = 2;
constexpr uint32_t kServiceStartDemand = 3;

}  // namespace pellinorctl

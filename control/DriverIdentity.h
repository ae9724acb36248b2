// The driver's name, version and build date in one line,
//   "Pellinor CAPI 2.0 Kernel Trace Driver v2.0  Build Date 14:03:07 Jan  5 2025",
// the first line of its banner in the log and its answer to
// IOCTL_TRACE_GET_VERSION. Defined in one translation unit, so that the log
// and the control tool show the same build date.
#pragma once

#include <ntddk.h>

#include "control/DriverVersion.h"

extern const char kDriverIdentity[];

// Its length without the terminator: __TIME__ and __DATE__ always have 8 and
// 11 characters.
constexpr ULONG DRIVER_IDENTITY_LENGTH =
    sizeof(PELLINOR_DRIVER_NAME " v" PELLINOR_VERSION "  Build Date hh:mm:ss Mmm dd yyyy") - 1;

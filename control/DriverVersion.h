// The release number that the driver and every tool carry, and the driver's
// name as its banner and its version request give it. Plain macros and no
// kernel or Win32 header (as TraceControlCodes.h), so that the driver, the
// tools of every build and the native build include the one definition.
#pragma once

// Macros rather than constants: the driver's identity joins them with the
// compiler's build date into one literal (DriverIdentity.cpp).
#define PELLINOR_VERSION "2.0"
#define PELLINOR_DRIVER_NAME "Pellinor CAPI 2.0 Kernel Trace Driver"

// Test control of the system start stage that the driver's SystemStartStage
// reports in the host build (framework/SystemStartStage.h).
#pragma once

#include <ntddk.h>

namespace emu {
// The stage the driver sees from now on; SYSTEM_START_STAGE_READY (the
// default) and above let the automatic start go ahead.
void SetSystemStartStage(ULONG value);
}  // namespace emu

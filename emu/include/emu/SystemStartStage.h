// Test control of the system start stage, a Windows 98/Me notion: the
// virtual machine manager knows how far the system has started, and a driver
// asks it (framework/SystemStartStage.h). Windows NT has no such service; a
// driver there is loaded only once the system can serve it, and the host
// build's SystemStartStage says ready there, as pellinor.sys does.
#pragma once

#include <ntddk.h>

namespace emu {
// The stage the virtual machine manager reports from now on, when the
// emulated system is Windows 98/Me; SYSTEM_START_STAGE_READY (the default)
// and above let the automatic start go ahead.
void SetSystemStartStage(ULONG value);
// What the virtual machine manager answers: the stage set last.
ULONG VmmSystemStartStage();
}  // namespace emu

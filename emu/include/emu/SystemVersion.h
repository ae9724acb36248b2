// Which Windows the emulated kernel presents to drivers: the WDM version
// that IoIsWdmVersionAvailable reports and the routines that
// MmGetSystemRoutineAddress finds. Windows XP by default. Tests set an
// older system to check a driver's ways around routines that system lacks.
#pragma once

namespace emu {

enum class SystemVersion {
  Windows98,    // WDM 1.00; no MmGetSystemRoutineAddress
  Windows2000,  // WDM 1.10
  WindowsXp,    // WDM 1.20
};

void SetSystemVersion(SystemVersion version);
SystemVersion CurrentSystemVersion();

// The first system that exports `name` (Windows 98 for the WDM routines
// every system has); used by MmGetSystemRoutineAddress.
SystemVersion FirstExportedIn(const char* name);

}  // namespace emu

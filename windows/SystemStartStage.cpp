// SystemStartStage on Windows NT.
//
// The Windows 9x kernel answers the question through a virtual machine
// manager service (a VxD call); Windows NT has no such service, and the
// instruction sequence of that call would fault in an NT driver. On NT the
// question answers itself: the driver reads Start = 2 (automatic start) only
// when the service control manager loads it, and the service control manager
// runs after the boot and system-start drivers, the I/O system and the file
// systems are up. So the automatic start always sees a started system. A
// traced device that appears later (a provider started by Plug and Play, or
// a demand-start provider) is found by the 5-second retry, which runs for as
// long as the device does not exist.
#include "framework/SystemStartStage.h"

ULONG SystemStartStage() { return SYSTEM_START_STAGE_READY; }

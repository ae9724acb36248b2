// The provider's view of its callers' user memory on Windows (the seam
// sim/UserSpace.h, which the emulated machine serves from its own user
// address space).
#pragma once

namespace capisim {

// Reads the highest user address the system probes against, once, at
// PASSIVE_LEVEL in DriverEntry.
void FindUserProbeAddress();

}  // namespace capisim

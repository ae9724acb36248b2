// Internals of the emulated object manager that the I/O manager uses (not
// part of any public interface).
#pragma once

#include <ntddk.h>

namespace emu {
namespace internal {

// The references ObReferenceObject holds on a device object now. They are
// included in DEVICE_OBJECT.ReferenceCount (so that a deleted device object
// stays until the last one goes), which otherwise counts the device's open
// files; a check that concerns the opens alone (DO_EXCLUSIVE) subtracts
// them. Call with the I/O manager's lock held.
LONG DeviceObjectReferences(PDEVICE_OBJECT device);

}  // namespace internal
}  // namespace emu

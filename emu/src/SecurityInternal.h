// Internals of the emulated security reference monitor that the I/O
// manager uses for opens (not part of any public interface).
#pragma once

#include "emu/Process.h"

#include <ntddk.h>

namespace emu {
namespace internal {

// Whether `identity` is granted `desired` (generic rights mapped through
// `mapping`) by the descriptor's DACL; *granted receives what is granted.
// Bug-checks a malformed descriptor.
bool AccessCheck(const void* descriptor, Identity identity, ACCESS_MASK desired,
                 const GENERIC_MAPPING* mapping, ACCESS_MASK* granted);

// The security IoCreateDevice gives a named device: the local system and
// Administrators all access, everyone read, write and execute (a
// self-relative descriptor that lives as long as the process).
const void* DefaultNamedDeviceSecurity();

// Whether the current process's identity may open a file of a device with
// that descriptor for `desired` (file generic rights).
bool OpenAllowed(const void* descriptor, ACCESS_MASK desired);

}  // namespace internal
}  // namespace emu

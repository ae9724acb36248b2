// The emulated object manager: reference-counted kernel objects with a
// hidden header in front of the body (as in the kernel, so
// ObfDereferenceObject takes the body pointer), and the kernel handle table.
// The executive's threads use it; the I/O manager builds its file and device
// objects on it.
#pragma once

#include <cstddef>

#include <ntddk.h>

namespace emu {

// Called with the body when the last reference goes, before the memory is
// released.
using ObjectDeleteProcedure = void (*)(PVOID body);

// Object types live as long as the process.
POBJECT_TYPE CreateObjectType(const char* name, ObjectDeleteProcedure deleteProcedure);
const char* ObjectTypeName(POBJECT_TYPE type);

// A new object with one reference and a zero-filled body of bodySize bytes.
PVOID CreateObject(POBJECT_TYPE type, size_t bodySize);
// A new kernel handle to the object; the handle holds a reference of its own,
// released by ZwClose.
HANDLE CreateHandle(PVOID body);

namespace internal {
// A new handle as a kernel service makes it for its caller: a kernel handle
// with OBJ_KERNEL_HANDLE in `attributes` or in the system process, else one
// of the current user process's table (emu/Process.h).
HANDLE CreateHandleInContext(PVOID body, ULONG attributes);
}  // namespace internal

bool IsObject(PVOID body);
POBJECT_TYPE ObjectType(PVOID body);
LONG ObjectReferenceCount(PVOID body);
// The kernel's table only.
size_t OpenHandleCount();

}  // namespace emu

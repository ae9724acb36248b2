// The kernel's entry points into the driver: plain functions that find the
// driver object through theDriver.
#pragma once

#include <ntddk.h>

// Runs the static constructors, then loads theDriver. A failed load undoes
// itself (Cleanup, then the static destructors), so the driver leaves
// nothing behind.
EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// OnUnload, Cleanup, then the static destructors.
VOID NTAPI DriverUnloadRoutine(PDRIVER_OBJECT driverObject);
NTSTATUS NTAPI AddDeviceRoutine(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice);
// Registered for every major function the driver routes.
NTSTATUS NTAPI CommonDispatch(PDEVICE_OBJECT deviceObject, PIRP irp);

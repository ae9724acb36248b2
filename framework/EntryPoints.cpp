#include "framework/EntryPoints.h"

#include "framework/Driver.h"
#include "framework/ExitTable.h"
#include "framework/StaticInitTable.h"
#include "framework/SystemRoutines.h"

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // One image is one driver: a second entry while the first lives is refused.
  if (theDriver != NULL)
    return STATUS_IMAGE_ALREADY_LOADED;
  SystemRoutines::Resolve();
  RunStaticInitTable();
  if (theDriver == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = theDriver->Load(DriverObject, RegistryPath);
  if (!NT_SUCCESS(status)) {
    // The kernel calls no unload routine for a driver that failed to load:
    // undo here what the load made (devices, links, pool), or it would stay
    // behind once the image is gone.
    theDriver->Cleanup();
    ExitTable::Run();
    SystemRoutines::Forget();
  }
  return status;
}

VOID NTAPI DriverUnloadRoutine(PDRIVER_OBJECT driverObject) {
  UNREFERENCED_PARAMETER(driverObject);
  theDriver->OnUnload();
  theDriver->Cleanup();
  ExitTable::Run();
  SystemRoutines::Forget();
}

NTSTATUS NTAPI AddDeviceRoutine(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  UNREFERENCED_PARAMETER(driverObject);
  return theDriver->AddDeviceCounted(physicalDevice);
}

NTSTATUS NTAPI CommonDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return theDriver->DispatchRequest(deviceObject, irp);
}

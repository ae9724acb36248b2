// capisim.sys: the simulated CAPI 2.0 provider (sim/ProviderDevice.cpp and
// the line model behind it) as a Windows kernel driver, so that the Wine job
// can trace the same provider under an independent kernel that the emulated
// machine traces. Test setup only, never part of the driver package.
//
// Its settings are the simulator's defaults, with two values of its service
// key for providers that answer later (what `capi complete KIND pending` and
// `capi pending-delay MS` set in a scenario):
//   PendingKinds    REG_DWORD, bit N: requests of kind N (sim::RequestKind)
//                   are marked pending and completed from a DPC
//   PendingDelayMs  REG_DWORD, the DPC's timer (0: queued at once)
// and the test client \Device\CapiSimClient (windows/capisim/KernelClient),
// through which capiapp.exe runs a kernel-mode application.
#include <ntddk.h>

#include "sim/ProviderDevice.h"
#include "sim/ProviderSettings.h"
#include "sim/SimPool.h"
#include "windows/capisim/KernelClient.h"
#include "windows/capisim/KernelUserSpace.h"

namespace {

// Set in DriverEntry, freed at unload: pool, not a global object, so that
// the image has no constructors to run.
sim::ProviderSettings* settings;
PDEVICE_OBJECT providerDevice;
PDEVICE_OBJECT clientDevice;
// The provider's dispatch routine, which ProviderDevice::Create set.
PDRIVER_DISPATCH providerDispatch;

// The driver's one dispatch routine: each device's requests to their own.
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (device == clientDevice)
    return capisim::KernelClient::Dispatch(device, irp);
  return providerDispatch(device, irp);
}

// A REG_DWORD value of an open key, or `fallback` when there is none.
ULONG ReadDword(HANDLE key, const wchar_t* name, ULONG fallback) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  // The header and the four bytes of a DWORD.
  ULONG space[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG) + 3) / 4 + 1];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(space);
  ULONG length = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                    sizeof(space), &length);
  if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
    return fallback;
  ULONG value;
  RtlCopyMemory(&value, info->Data, sizeof(value));
  return value;
}

void ReadServiceKey(PUNICODE_STRING registryPath, sim::ProviderSettings* into) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
    return;
  ULONG kinds = ReadDword(key, L"PendingKinds", 0);
  for (size_t k = 0; k < sim::kRequestKindCount; ++k) into->pending[k] = (kinds >> k) & 1;
  into->pendingDelayMs = ReadDword(key, L"PendingDelayMs", 0);
  ZwClose(key);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  if (clientDevice != nullptr)
    capisim::KernelClient::Delete(clientDevice);
  clientDevice = nullptr;
  // A Plug and Play removal may have retired the device already.
  if (providerDevice != nullptr)
    sim::ProviderDevice::Retire(providerDevice);
  providerDevice = nullptr;
  sim::SimFree(settings);
  settings = nullptr;
}

// The device is gone; the driver stays until unload.
void Removed(PDEVICE_OBJECT, ULONG) {
  providerDevice = nullptr;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  settings = static_cast<sim::ProviderSettings*>(sim::SimAlloc(sizeof(sim::ProviderSettings)));
  if (settings == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  sim::DefaultSettings(settings);
  ReadServiceKey(registryPath, settings);
  capisim::FindUserProbeAddress();
  driver->DriverUnload = Unload;
  NTSTATUS status = sim::ProviderDevice::Create(driver, settings, Removed, &providerDevice);
  if (!NT_SUCCESS(status)) {
    sim::SimFree(settings);
    settings = nullptr;
    return status;
  }
  // Created second, so that the provider's device is the driver's first
  // (the test setup's device lookup under Wine takes the first created).
  status = capisim::KernelClient::Create(driver, providerDevice, &clientDevice);
  if (!NT_SUCCESS(status)) {
    Unload(driver);
    return status;
  }
  providerDispatch = driver->MajorFunction[IRP_MJ_CREATE];
  for (auto& major : driver->MajorFunction) major = Dispatch;
  return STATUS_SUCCESS;
}

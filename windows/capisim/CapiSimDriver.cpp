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
//   CompleteOnEvent REG_DWORD 1: no DPC or timer; pending requests are
//                   held until the named event CapiSimComplete is set (see
//                   EventMode below)
// and the maker's values of `capi manufacturer`, `capi controllers`, and
// for controller N of `capi serial`, `capi version`, `capi bchannels` and
// `capi profile`:
//   Manufacturer    REG_SZ (its characters up to 0x7F; others as '?')
//   Controllers     REG_DWORD, 1 to 8
//   SerialN         REG_SZ
//   VersionN        REG_BINARY, four little-endian 16-bit numbers: CAPI
//                   major and minor, manufacturer major and minor
//   BChannelsN      REG_DWORD
//   ProfileN        REG_BINARY, the 64 bytes CAPI_GET_PROFILE returns
// Each is taken only when it is well formed; the rest stay the defaults.
// and the test client \Device\CapiSimClient (windows/capisim/KernelClient),
// through which capiapp.exe runs a kernel-mode application.
#include <ntddk.h>

// Exported by every NT kernel (and by Wine's); declared by ntifs.h, which
// does not go with ntddk.h.
extern "C" {
NTSYSAPI NTSTATUS NTAPI ZwCreateEvent(PHANDLE handle, ACCESS_MASK access,
                                      POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                                      BOOLEAN state);
NTSYSAPI NTSTATUS NTAPI ZwSetEvent(HANDLE handle, PLONG previous);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);
}

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

// CompleteOnEvent, for the Wine job. There a timer's DPC runs on a thread of
// its own at real time and a queued DPC never runs (windows/wine/
// DIFFERENCES.md 12), and one thread dispatches every request of the driver
// host (15): a request that waits in its dispatch routine, as a forced stop
// of the trace does for the requests pending below it, holds up any request
// that would complete them. So the completion comes from outside the host,
// through named events that any process can open:
//   CapiSimComplete   set by the job: a thread of this driver completes
//                     every request pending now, then sets
//   CapiSimCompleted  (what the job waits for: the pass is over);
//   CapiSimPending    set each time a request is left pending.
// They are synchronization events, each with one waiter. The thread stops at
// unload. A Plug and Play removal of the device is not expected with it
// (Wine sends none).
struct EventMode {
  HANDLE complete;
  HANDLE completed;
  HANDLE pending;
  HANDLE thread;
  volatile LONG stopping;
};
EventMode* events;

NTSTATUS CreateNamedEvent(const wchar_t* name, HANDLE* handle) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE | OBJ_OPENIF, nullptr,
                             nullptr);
  return ZwCreateEvent(handle, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent, FALSE);
}

VOID NTAPI CompleteWhenTold(PVOID) {
  for (;;) {
    ZwWaitForSingleObject(events->complete, FALSE, nullptr);
    if (events->stopping != 0)
      break;
    if (providerDevice != nullptr)
      sim::ProviderDevice::CompleteNow(providerDevice);
    ZwSetEvent(events->completed, nullptr);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Stops the thread, if one runs, and closes what was opened.
void EndEventMode() {
  if (events == nullptr)
    return;
  if (events->thread != nullptr) {
    InterlockedExchange(&events->stopping, 1);
    ZwSetEvent(events->complete, nullptr);
    ZwWaitForSingleObject(events->thread, FALSE, nullptr);
    ZwClose(events->thread);
  }
  HANDLE handles[] = {events->complete, events->completed, events->pending};
  for (HANDLE handle : handles) {
    if (handle != nullptr)
      ZwClose(handle);
  }
  sim::SimFree(events);
  events = nullptr;
}

NTSTATUS BeginEventMode() {
  events = static_cast<EventMode*>(sim::SimAlloc(sizeof(EventMode)));
  if (events == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(events, sizeof(*events));
  NTSTATUS status = CreateNamedEvent(L"\\BaseNamedObjects\\CapiSimComplete", &events->complete);
  if (NT_SUCCESS(status))
    status = CreateNamedEvent(L"\\BaseNamedObjects\\CapiSimCompleted", &events->completed);
  if (NT_SUCCESS(status))
    status = CreateNamedEvent(L"\\BaseNamedObjects\\CapiSimPending", &events->pending);
  if (NT_SUCCESS(status)) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    status = PsCreateSystemThread(&events->thread, THREAD_ALL_ACCESS, &attributes, nullptr,
                                  nullptr, CompleteWhenTold, nullptr);
    if (!NT_SUCCESS(status))
      events->thread = nullptr;
  }
  if (!NT_SUCCESS(status))
    EndEventMode();
  return status;
}

// The driver's one dispatch routine: each device's requests to their own.
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (device == clientDevice)
    return capisim::KernelClient::Dispatch(device, irp);
  const NTSTATUS status = providerDispatch(device, irp);
  // Not the IRP's: it may have completed already.
  if (status == STATUS_PENDING && events != nullptr && KeGetCurrentIrql() == PASSIVE_LEVEL)
    ZwSetEvent(events->pending, nullptr);
  return status;
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

// A value of an open key into `info` (room for `size` bytes); its data's
// length, or -1 when there is no such value of `type`.
LONG ReadValue(HANDLE key, const wchar_t* name, ULONG type, PKEY_VALUE_PARTIAL_INFORMATION info,
               ULONG size) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG length = 0;
  NTSTATUS status =
      ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &length);
  if (!NT_SUCCESS(status) || info->Type != type)
    return -1;
  return LONG(info->DataLength);
}

// Room for the longest value read here: a REG_SZ of a manufacturer's 64
// characters and its NUL, in UTF-16.
constexpr ULONG kValueRoom = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + (sim::kManufacturerBytes + 1) * 2;

// A REG_SZ into `to` (at most `size` characters, no NUL kept); false when
// there is none or it is longer.
bool ReadText(HANDLE key, const wchar_t* name, UCHAR* to, ULONG size, ULONG* length) {
  ULONG space[kValueRoom / 4 + 1];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(space);
  const LONG bytes = ReadValue(key, name, REG_SZ, info, sizeof(space));
  if (bytes < 0)
    return false;
  const auto* text = reinterpret_cast<const WCHAR*>(info->Data);
  ULONG count = ULONG(bytes) / sizeof(WCHAR);
  while (count > 0 && text[count - 1] == 0) --count;
  if (count > size)
    return false;
  for (ULONG i = 0; i < count; ++i) to[i] = text[i] < 0x80 ? UCHAR(text[i]) : UCHAR('?');
  *length = count;
  return true;
}

// A REG_BINARY of exactly `size` bytes into `to`.
bool ReadBytes(HANDLE key, const wchar_t* name, void* to, ULONG size) {
  ULONG space[kValueRoom / 4 + 1];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(space);
  if (size > kValueRoom - sizeof(KEY_VALUE_PARTIAL_INFORMATION) ||
      ReadValue(key, name, REG_BINARY, info, sizeof(space)) != LONG(size))
    return false;
  RtlCopyMemory(to, info->Data, size);
  return true;
}

// NAME followed by the controller's number (1 to 8).
const wchar_t* Numbered(const wchar_t* name, ULONG controller, wchar_t* into, size_t room) {
  size_t n = 0;
  while (name[n] != 0 && n + 2 < room) {
    into[n] = name[n];
    ++n;
  }
  into[n++] = wchar_t(L'0' + controller);
  into[n] = 0;
  return into;
}

void ReadMakerValues(HANDLE key, sim::ProviderSettings* into) {
  ULONG length = 0;
  if (ReadText(key, L"Manufacturer", into->manufacturer, sim::kManufacturerBytes, &length))
    into->manufacturerLength = length;
  const ULONG count = ReadDword(key, L"Controllers", into->controllerCount);
  if (count >= 1 && count <= sim::kMaxControllers) {
    for (ULONG c = into->controllerCount; c < count; ++c) sim::DefaultController(&into->controllers[c]);
    into->controllerCount = count;
  }
  for (ULONG c = 0; c < into->controllerCount; ++c) {
    sim::ControllerSettings& controller = into->controllers[c];
    wchar_t name[16];
    if (ReadText(key, Numbered(L"Serial", c + 1, name, 16), controller.serial, sim::kSerialBytes,
                 &length))
      controller.serialLength = length;
    USHORT version[4];
    if (ReadBytes(key, Numbered(L"Version", c + 1, name, 16), version, sizeof(version))) {
      controller.capiMajor = version[0];
      controller.capiMinor = version[1];
      controller.manufacturerMajor = version[2];
      controller.manufacturerMinor = version[3];
    }
    controller.bChannels =
        USHORT(ReadDword(key, Numbered(L"BChannels", c + 1, name, 16), controller.bChannels));
    if (ReadBytes(key, Numbered(L"Profile", c + 1, name, 16), controller.rawProfile,
                  sim::kProfileBytes))
      controller.hasRawProfile = TRUE;
  }
}

// The settings, and whether CompleteOnEvent is set.
bool ReadServiceKey(PUNICODE_STRING registryPath, sim::ProviderSettings* into) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
    return false;
  ULONG kinds = ReadDword(key, L"PendingKinds", 0);
  for (size_t k = 0; k < sim::kRequestKindCount; ++k) into->pending[k] = (kinds >> k) & 1;
  into->pendingDelayMs = ReadDword(key, L"PendingDelayMs", 0);
  ReadMakerValues(key, into);
  const bool onEvent = ReadDword(key, L"CompleteOnEvent", 0) == 1;
  if (onEvent)
    into->pendingDelayMs = sim::kCompleteWhenTold;
  ZwClose(key);
  return onEvent;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  // First: its thread completes through the provider's device.
  EndEventMode();
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
  const bool onEvent = ReadServiceKey(registryPath, settings);
  capisim::FindUserProbeAddress();
  driver->DriverUnload = Unload;
  NTSTATUS status = sim::ProviderDevice::Create(driver, settings, Removed, &providerDevice);
  if (!NT_SUCCESS(status)) {
    sim::SimFree(settings);
    settings = nullptr;
    return status;
  }
  if (onEvent) {
    status = BeginEventMode();
    if (!NT_SUCCESS(status)) {
      Unload(driver);
      return status;
    }
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

// The driver around the simulated provider, as kernel code alone: the
// device \Device\CAPI201 with its link \DosDevices\CAPI20, its dispatch
// routine, and when requests complete (at once, or pending and completed
// from a DPC, queued at once or by a timer, at DISPATCH_LEVEL). The same
// code is the provider driver of the emulated machine (sim/CapiDevice.cpp
// loads it there) and of the Windows build (windows/capisim/), so what the
// trace sees of the provider is the same on both.
#pragma once

#include <cstdint>

#include <ntddk.h>

#include "sim/ProviderSettings.h"

namespace sim {

inline constexpr char kCapiDriverName[] = "CapiSim";
inline constexpr char16_t kCapiDeviceName[] = u"\\Device\\CAPI201";
inline constexpr char16_t kCapiLinkName[] = u"\\DosDevices\\CAPI20";
inline constexpr char16_t kCapiWin32Name[] = u"\\\\.\\CAPI20";

class CapiProvider;

class ProviderDevice {
 public:
  // Called when a Plug and Play removal has retired the device (the driver
  // stays loaded), with the number of requests it cancelled.
  using RemovedRoutine = void (*)(PDEVICE_OBJECT device, ULONG cancelled);

  // Creates the device and its link for `driver` and sets every dispatch
  // routine and no unload routine (the driver's own calls Retire). The
  // provider answers as `settings` says; they stay with the caller,
  // unchanged, while the device exists. On failure nothing is left behind.
  static NTSTATUS Create(PDRIVER_OBJECT driver, const ProviderSettings* settings,
                         RemovedRoutine removed, PDEVICE_OBJECT* device);

  // The device's end, at unload or at its removal: no new request gets in,
  // pending ones complete with STATUS_CANCELLED, the completion timer and
  // DPC are cancelled or waited for, and the link and device are deleted.
  // Requests on handles still open are then answered without touching the
  // provider. Returns the number of requests cancelled. PASSIVE_LEVEL.
  static ULONG Retire(PDEVICE_OBJECT device);

  // Completes every request pending now, whatever their timer, and returns
  // how many. For settings whose pendingDelayMs is kCompleteWhenTold, where
  // nothing else completes them; 0 once the device is being retired (Retire
  // cancels them then). At or below DISPATCH_LEVEL; the requests complete
  // at the caller's IRQL.
  static ULONG CompleteNow(PDEVICE_OBJECT device);

  // The provider of a device that has not been retired.
  static CapiProvider* Provider(PDEVICE_OBJECT device);

  // Requests pending now, and completed from the DPC since the device came.
  static void PendingCounts(PDEVICE_OBJECT device, ULONG* pending, ULONG* completedLater);
};

}  // namespace sim

// What the simulated CAPI provider is while its driver is loaded: a
// fixed-size copy of its configuration that kernel code can hold (no
// strings, no containers), so that the same provider builds into the
// emulated machine and into a Windows driver. The host makes it from a
// CapiDeviceConfig at load; the Windows driver starts from the defaults
// below, which CapiDeviceConfig's defaults are too.
#pragma once

#include <cstddef>
#include <cstdint>

#include <ntddk.h>

#include "sim/Application.h"
#include "sim/CapiCodes.h"

namespace sim {

// The kinds of request the provider tells apart for completion: the nine
// CAPI I/O controls (as I/O control or internal I/O control) and the reads
// and writes that get and put messages.
enum class RequestKind : uint8_t {
  kRegister,
  kRelease,
  kPutMessage,
  kGetMessage,
  kGetManufacturer,
  kGetVersion,
  kGetSerial,
  kGetProfile,
  kManufacturer,
  kRead,
  kWrite,
};
inline constexpr size_t kRequestKindCount = 11;

inline constexpr uint32_t kMaxApplications = 64;
// The longest message the provider takes from a caller.
inline constexpr uint32_t kMaxPutMessage = 2048;

inline constexpr char kDefaultSerial[] = "0000001";
inline constexpr char kDefaultManufacturer[] = "Pellinor CAPI 2.0 simulator";
inline constexpr uint16_t kDefaultCapiMajor = 2;
inline constexpr uint16_t kDefaultCapiMinor = 0;
inline constexpr uint16_t kDefaultManufacturerMajor = 3;
inline constexpr uint16_t kDefaultManufacturerMinor = 11;
inline constexpr uint16_t kDefaultBChannels = 2;
inline constexpr uint32_t kDefaultGlobalOptions = 0x00000001;  // internal controller
inline constexpr uint32_t kDefaultB1Protocols = 0x00000003;    // 64 kbit/s HDLC, transparent
inline constexpr uint32_t kDefaultB2Protocols = 0x00000003;    // ISO 7776 (X.75 SLP), transparent
inline constexpr uint32_t kDefaultB3Protocols = 0x00000001;    // transparent
inline constexpr uint32_t kDefaultMaxApplications = 32;
inline constexpr uint32_t kDefaultQueueLimit = 64;

struct ControllerSettings {
  UCHAR serial[kSerialBytes];  // serialLength bytes, no terminating zero
  ULONG serialLength;
  USHORT capiMajor;
  USHORT capiMinor;
  USHORT manufacturerMajor;
  USHORT manufacturerMinor;
  USHORT bChannels;
  ULONG globalOptions;
  ULONG b1Protocols;
  ULONG b2Protocols;
  ULONG b3Protocols;
  BOOLEAN hasRawProfile;  // rawProfile is returned as it is
  UCHAR rawProfile[kProfileBytes];
};

struct FailureSetting {
  static constexpr ULONG kAnyController = 0xFFFFFFFF;
  ULONG code;
  ULONG controller;
  NTSTATUS status;
};

inline constexpr ULONG kCompleteWhenTold = 0xFFFFFFFF;

struct ProviderSettings {
  static constexpr ULONG kMaxFailures = 16;

  ControllerSettings controllers[kMaxControllers];
  ULONG controllerCount;
  UCHAR manufacturer[kManufacturerBytes];  // manufacturerLength bytes
  ULONG manufacturerLength;
  ULONG maxApplications;
  ULONG queueLimit;
  BOOLEAN pending[kRequestKindCount];
  // The completion DPC's timer, 0 for a DPC queued at once; or
  // kCompleteWhenTold: no timer or DPC, the driver completes them with
  // ProviderDevice::CompleteNow.
  ULONG pendingDelayMs;
  FailureSetting failures[kMaxFailures];
  ULONG failureCount;
  BOOLEAN directIo;
};

// Up to `size` bytes of a text into a fixed field; returns the length kept.
inline ULONG CopySetting(UCHAR* to, ULONG size, const char* text, size_t length) {
  ULONG kept = length < size ? ULONG(length) : size;
  for (ULONG i = 0; i < kept; ++i) to[i] = UCHAR(text[i]);
  return kept;
}

// One controller as the defaults describe it.
inline void DefaultController(ControllerSettings* controller) {
  RtlZeroMemory(controller, sizeof(*controller));
  controller->serialLength = CopySetting(controller->serial, kSerialBytes, kDefaultSerial,
                                         sizeof(kDefaultSerial) - 1);
  controller->capiMajor = kDefaultCapiMajor;
  controller->capiMinor = kDefaultCapiMinor;
  controller->manufacturerMajor = kDefaultManufacturerMajor;
  controller->manufacturerMinor = kDefaultManufacturerMinor;
  controller->bChannels = kDefaultBChannels;
  controller->globalOptions = kDefaultGlobalOptions;
  controller->b1Protocols = kDefaultB1Protocols;
  controller->b2Protocols = kDefaultB2Protocols;
  controller->b3Protocols = kDefaultB3Protocols;
}

// The default provider: one controller, every request completed at once.
inline void DefaultSettings(ProviderSettings* settings) {
  RtlZeroMemory(settings, sizeof(*settings));
  DefaultController(&settings->controllers[0]);
  settings->controllerCount = 1;
  settings->manufacturerLength =
      CopySetting(settings->manufacturer, kManufacturerBytes, kDefaultManufacturer,
                  sizeof(kDefaultManufacturer) - 1);
  settings->maxApplications = kDefaultMaxApplications;
  settings->queueLimit = kDefaultQueueLimit;
}

}  // namespace sim

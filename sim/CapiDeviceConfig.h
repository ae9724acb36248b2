// What the simulated CAPI 2.0 provider is, set before it loads: its
// controllers and what the information I/O controls report about them, how
// it completes each kind of request, and injected failures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/ProviderSettings.h"

namespace sim {

struct ControllerConfig {
  // At most 8 bytes are returned; a serial of 8 characters or more fills
  // the answer without a terminating zero (cut at 8).
  std::string serial = kDefaultSerial;
  uint16_t capiMajor = kDefaultCapiMajor;
  uint16_t capiMinor = kDefaultCapiMinor;
  uint16_t manufacturerMajor = kDefaultManufacturerMajor;
  uint16_t manufacturerMinor = kDefaultManufacturerMinor;
  // The profile's fields (bytes 2 to 23); byte 0 always holds the number of
  // controllers. `rawProfile`, when set, is returned as it is instead (its
  // bytes 0-1 included), for tests of odd profiles.
  uint16_t bChannels = kDefaultBChannels;
  uint32_t globalOptions = kDefaultGlobalOptions;
  uint32_t b1Protocols = kDefaultB1Protocols;
  uint32_t b2Protocols = kDefaultB2Protocols;
  uint32_t b3Protocols = kDefaultB3Protocols;
  std::optional<std::array<uint8_t, 64>> rawProfile;
};

// The `status` is returned, with information 0 and no output, for every
// request with I/O control `code` whose controller number (the input's
// first word AND 0x7F, 0 without input) is `controller`, or for every
// controller with kAnyController.
struct InjectedFailure {
  static constexpr uint32_t kAnyController = 0xFFFFFFFF;
  uint32_t code = 0;
  uint32_t controller = kAnyController;
  int32_t status = 0;
};

struct CapiDeviceConfig {
  // At most 8 controllers.
  std::vector<ControllerConfig> controllers{ControllerConfig{}};
  // At most 64 bytes are returned; 64 or more characters fill the answer
  // without a terminating zero. One starting with "NRX" is the maker's own.
  std::string manufacturer = kDefaultManufacturer;
  // Applications registered at once (at most 64).
  uint32_t maxApplications = kDefaultMaxApplications;
  // Messages queued per application; a put whose answers would not fit is
  // refused with STATUS_TOO_MANY_COMMANDS (CAPI error 0x1103).
  uint32_t queueLimit = kDefaultQueueLimit;

  // Per kind: complete at once in the dispatch routine (false), or mark
  // the request pending, return STATUS_PENDING and complete it from a DPC
  // at DISPATCH_LEVEL (true), as a provider whose answers come from its
  // interrupt path does.
  std::array<bool, kRequestKindCount> pending{};
  // 0: the DPC is queued at once. Otherwise the pending requests are
  // completed by the DPC of a timer that expires this many milliseconds of
  // timer time later (with manual timers, when the test advances them).
  uint32_t pendingDelayMs = 0;

  // At most ProviderSettings::kMaxFailures.
  std::vector<InjectedFailure> failures;

  // Reads and writes by direct I/O (the caller's pages locked in an MDL,
  // which the provider maps) instead of through a system buffer.
  bool directIo = false;

  void SetPending(RequestKind kind, bool pend = true) { pending[size_t(kind)] = pend; }
  void SetAllPending(bool pend = true) { pending.fill(pend); }
};

}  // namespace sim

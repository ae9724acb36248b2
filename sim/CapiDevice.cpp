// The provider driver of the emulated machine: ProviderDevice
// (sim/ProviderDevice.cpp) loaded as a driver of its own, its settings made
// from the test's CapiDeviceConfig, and the host's view of it.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/CapiDevice.h"

#include "emu/Io.h"
#include "sim/CapiProvider.h"
#include "sim/ProviderDevice.h"
#include "sim/SimPool.h"

namespace sim {
namespace {

// The host's view of the loaded driver.
struct Loaded {
  std::mutex mutex;
  ProviderSettings settings;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  uint32_t cancelledAtUnload = 0;
};

Loaded& State() {
  static auto* state = new Loaded;
  return *state;
}

// The settings the kernel side keeps, from the host's configuration. False
// when they do not fit (more controllers or failures than it holds).
bool ToSettings(const CapiDeviceConfig& config, ProviderSettings* settings) {
  if (config.controllers.size() > kMaxControllers ||
      config.failures.size() > ProviderSettings::kMaxFailures) {
    return false;
  }
  DefaultSettings(settings);
  settings->controllerCount = ULONG(config.controllers.size());
  for (size_t i = 0; i < config.controllers.size(); ++i) {
    const ControllerConfig& from = config.controllers[i];
    ControllerSettings& to = settings->controllers[i];
    to.serialLength = CopySetting(to.serial, kSerialBytes, from.serial.data(), from.serial.size());
    to.capiMajor = from.capiMajor;
    to.capiMinor = from.capiMinor;
    to.manufacturerMajor = from.manufacturerMajor;
    to.manufacturerMinor = from.manufacturerMinor;
    to.bChannels = from.bChannels;
    to.globalOptions = from.globalOptions;
    to.b1Protocols = from.b1Protocols;
    to.b2Protocols = from.b2Protocols;
    to.b3Protocols = from.b3Protocols;
    to.hasRawProfile = from.rawProfile.has_value();
    if (from.rawProfile)
      std::copy(from.rawProfile->begin(), from.rawProfile->end(), to.rawProfile);
  }
  settings->manufacturerLength =
      CopySetting(settings->manufacturer, kManufacturerBytes, config.manufacturer.data(),
                  config.manufacturer.size());
  settings->maxApplications = config.maxApplications;
  settings->queueLimit = config.queueLimit;
  for (size_t k = 0; k < kRequestKindCount; ++k) settings->pending[k] = config.pending[k];
  settings->pendingDelayMs = config.pendingDelayMs;
  settings->failureCount = ULONG(config.failures.size());
  for (size_t i = 0; i < config.failures.size(); ++i) {
    settings->failures[i] = FailureSetting{config.failures[i].code, config.failures[i].controller,
                                           NTSTATUS(config.failures[i].status)};
  }
  settings->directIo = config.directIo;
  return true;
}

void Removed(PDEVICE_OBJECT, ULONG cancelled) {
  std::lock_guard<std::mutex> guard(State().mutex);
  State().device = nullptr;
  State().cancelledAtUnload = cancelled;
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  // Nothing left after a removal.
  if (driver->DeviceObject != nullptr)
    State().cancelledAtUnload = ProviderDevice::Retire(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = Unload;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = ProviderDevice::Create(driver, &State().settings, Removed, &device);
  if (NT_SUCCESS(status))
    State().device = device;
  return status;
}

}  // namespace

NTSTATUS LoadCapiDevice(const CapiDeviceConfig& config) {
  Loaded& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.driver != nullptr)
    return STATUS_IMAGE_ALREADY_LOADED;
  if (!ToSettings(config, &state.settings))
    return STATUS_INVALID_PARAMETER;
  state.device = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  NTSTATUS status = emu::LoadDriver(kCapiDriverName, DriverEntry, kSimPoolTag, &driver);
  if (NT_SUCCESS(status)) {
    state.driver = driver;
  } else {
    state.device = nullptr;
  }
  return status;
}

NTSTATUS UnloadCapiDevice() {
  Loaded& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.driver == nullptr)
    return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = emu::UnloadDriver(state.driver);
  state.driver = nullptr;
  state.device = nullptr;
  return status;
}

bool CapiDeviceLoaded() {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().driver != nullptr;
}

PDRIVER_OBJECT CapiDriverObject() {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().driver;
}

PDEVICE_OBJECT CapiDeviceObject() {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().device;
}

uint32_t InjectIncomingCall(const IncomingCall& call, NTSTATUS* status) {
  NTSTATUS ignored;
  if (status == nullptr)
    status = &ignored;
  Loaded& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.device == nullptr) {
    *status = STATUS_DEVICE_DOES_NOT_EXIST;
    return 0;
  }
  return ProviderDevice::Provider(state.device)
      ->Offer(call.controller, call.cipValue, call.calledNumber.data(),
              ULONG(call.calledNumber.size()), call.callingNumber.data(),
              ULONG(call.callingNumber.size()), call.application, status);
}

CapiDeviceCounters GetCapiDeviceCounters() {
  Loaded& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  CapiDeviceCounters counters;
  counters.cancelledAtUnload = state.cancelledAtUnload;
  if (state.device == nullptr)
    return counters;
  ULONG applications = 0, queued = 0, plcis = 0, pending = 0, later = 0;
  ProviderDevice::Provider(state.device)->AddCounters(&applications, &queued, &plcis);
  ProviderDevice::PendingCounts(state.device, &pending, &later);
  counters.applications = applications;
  counters.queuedMessages = queued;
  counters.plcisInUse = plcis;
  counters.pendingRequests = pending;
  counters.completedLater = later;
  return counters;
}

}  // namespace sim

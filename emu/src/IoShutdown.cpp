// The shutdown notification: devices that asked for IRP_MJ_SHUTDOWN, and the
// state of a system that has been shut down (its volumes refuse writes).
#include <algorithm>
#include <atomic>

#include "IoInternal.h"
#include "KernelInternal.h"

namespace emu {
namespace io {
namespace {

struct Registrations {
  std::mutex lock;
  std::vector<PDEVICE_OBJECT> devices;  // in order of registration
};

Registrations& R() {
  static auto* registrations = new Registrations;
  return *registrations;
}

std::atomic<bool> shutDown{false};

}  // namespace

std::vector<PDEVICE_OBJECT> ShutdownDevices() {
  std::lock_guard<std::mutex> guard(R().lock);
  return std::vector<PDEVICE_OBJECT>(R().devices.rbegin(), R().devices.rend());
}

void ForgetShutdownRegistration(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(R().lock);
  auto& devices = R().devices;
  devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
  device->Flags &= ~ULONG(DO_SHUTDOWN_REGISTERED);
}

void CheckDriverShutdownRegistrations(PDRIVER_OBJECT driver, const char* name) {
  std::lock_guard<std::mutex> guard(R().lock);
  for (PDEVICE_OBJECT device : R().devices) {
    if (device->DriverObject == driver) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded with device %p still registered for the shutdown "
               "notification (IoUnregisterShutdownNotification or IoDeleteDevice first)",
               name, static_cast<void*>(device));
    }
  }
}

bool SystemIsShutDown() { return shutDown.load(); }

void SetSystemShutDown(bool down) { shutDown.store(down); }

}  // namespace io
}  // namespace emu

extern "C" NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterShutdownNotification");
  if (DeviceObject == nullptr)
    emu::BugCheck(emu::DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoRegisterShutdownNotification(null)");
  std::lock_guard<std::mutex> guard(emu::io::R().lock);
  auto& devices = emu::io::R().devices;
  // The kernel queues one entry per call; a second registration would send
  // the request twice and leave an entry behind at the first unregistration.
  if (std::find(devices.begin(), devices.end(), DeviceObject) != devices.end()) {
    emu::BugCheck(emu::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  "IoRegisterShutdownNotification: device %p is registered already",
                  static_cast<void*>(DeviceObject));
  }
  devices.push_back(DeviceObject);
  DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoUnregisterShutdownNotification");
  emu::io::ForgetShutdownRegistration(DeviceObject);
}

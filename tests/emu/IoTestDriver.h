// Test drivers for the emulated I/O manager: a driver whose devices each
// dispatch through a std::function, so a test writes a device's behaviour
// in place.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emu/Io.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct DeviceBox {
  Handler handler;
};

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (*static_cast<DeviceBox**>(device->DeviceExtension))->handler(device, irp);
}

inline VOID NTAPI Unload(PDRIVER_OBJECT) {}

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = Dispatch;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

// Completes the request with `status` and `information`.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline Handler CompleteWith(NTSTATUS status) {
  return [status](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status); };
}

// Passes every request to `lower` with the current stack location skipped.
inline Handler PassDown(PDEVICE_OBJECT* lower) {
  return [lower](PDEVICE_OBJECT, PIRP irp) {
    bool power = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
    IoSkipCurrentIrpStackLocation(irp);
    if (power) {
      PoStartNextPowerIrp(irp);
      return PoCallDriver(*lower, irp);
    }
    return IoCallDriver(*lower, irp);
  };
}

// A loaded test driver; its devices are deleted (detached first) and the
// driver unloaded when it goes.
class TestDriver {
 public:
  explicit TestDriver(const std::string& name) {
    NTSTATUS status = emu::LoadDriver(name, iotest::Entry, 0, &driver_);
    if (!NT_SUCCESS(status))
      abort();
  }
  ~TestDriver() {
    while (!devices_.empty()) DeleteDevice(devices_.back().device);
    emu::UnloadDriver(driver_);
  }
  TestDriver(const TestDriver&) = delete;
  TestDriver& operator=(const TestDriver&) = delete;

  PDRIVER_OBJECT object() const { return driver_; }

  // A device, named "\Device\<name>" or unnamed for "", with `flags` added.
  PDEVICE_OBJECT CreateDevice(const std::u16string& name, ULONG flags, Handler handler,
                              bool exclusive = false) {
    auto box = std::make_unique<DeviceBox>();
    box->handler = std::move(handler);
    std::u16string path = u"\\Device\\" + name;
    UNICODE_STRING unicode;
    unicode.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(path.c_str()));
    unicode.Length = static_cast<USHORT>(path.size() * 2);
    unicode.MaximumLength = unicode.Length;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(DeviceBox*), name.empty() ? nullptr : &unicode,
                                     FILE_DEVICE_UNKNOWN, 0, exclusive, &device);
    if (!NT_SUCCESS(status))
      abort();
    *static_cast<DeviceBox**>(device->DeviceExtension) = box.get();
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(Slot{device, nullptr, std::move(box)});
    return device;
  }

  // Attaches `device` above the stack of `target`; returns the previous top.
  PDEVICE_OBJECT Attach(PDEVICE_OBJECT device, PDEVICE_OBJECT target) {
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(device, target);
    for (auto& entry : devices_) {
      if (entry.device == device)
        entry.below = below;
    }
    return below;
  }

  void Detach(PDEVICE_OBJECT device) {
    for (auto& entry : devices_) {
      if (entry.device == device && entry.below != nullptr) {
        IoDetachDevice(entry.below);
        entry.below = nullptr;
      }
    }
  }

  void SetHandler(PDEVICE_OBJECT device, Handler handler) {
    (*static_cast<DeviceBox**>(device->DeviceExtension))->handler = std::move(handler);
  }

  // Deletes a device before the driver goes (detaching it first).
  void DeleteDevice(PDEVICE_OBJECT device) {
    Detach(device);
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
      if (it->device != device)
        continue;
      IoDeleteDevice(device);
      // Open files keep a deleted device: its cleanup and close still come.
      graveyard_.push_back(std::move(it->box));
      devices_.erase(it);
      return;
    }
  }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  struct Slot {
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT below;
    std::unique_ptr<DeviceBox> box;
  };
  std::vector<Slot> devices_;
  std::vector<std::unique_ptr<DeviceBox>> graveyard_;
};

inline UNICODE_STRING Unicode(const std::u16string& text) {
  UNICODE_STRING unicode;
  unicode.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.c_str()));
  unicode.Length = static_cast<USHORT>(text.size() * 2);
  unicode.MaximumLength = unicode.Length;
  return unicode;
}

}  // namespace iotest

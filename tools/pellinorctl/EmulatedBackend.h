// The control tool's back end on the emulated machine: the control device
// through the emulated I/O manager's user-mode request API (an open of
// \\.\PellinorWin32CTL, device I/O controls, close), the service through the
// emulated registry's service key. Results look as the Win32 back end's do:
// opening and the service operations end with the Win32 error the Windows
// calls would give, I/O controls with the driver's NTSTATUS.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <ntddk.h>

#include "tools/pellinorctl/ControlBackend.h"

namespace pellinorctl {

class EmulatedBackend : public ControlBackend {
 public:
  // `stopService` is called by RemoveService when the service's driver is
  // loaded: it unloads it, as the service control manager's stop request
  // does. It may be empty (nothing is ever loaded then).
  explicit EmulatedBackend(std::function<void(const std::string& name)> stopService = {});
  ~EmulatedBackend() override;
  EmulatedBackend(const EmulatedBackend&) = delete;
  EmulatedBackend& operator=(const EmulatedBackend&) = delete;

  ControlResult Open() override;
  ControlResult DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* information) override;
  void Close() override;
  ControlResult InstallService(const ServiceConfig& config) override;
  ControlResult AddEventSource(const EventSourceConfig& config) override;
  ControlResult RemoveEventSource(const std::string& name) override;
  ControlResult RemoveService(const std::string& name) override;
  ControlResult ReadServiceValue(const std::string& service, const std::string& value,
                                 uint32_t* type, std::vector<uint8_t>* data) override;

  // The Win32 error that CreateFile reports for an open that failed with
  // this NTSTATUS (the system's mapping, for the statuses an open can meet).
  static uint32_t Win32ErrorOfOpen(NTSTATUS status);
  // \Registry\Machine\System\CurrentControlSet\Services\NAME
  static std::u16string ServiceKey(const std::string& name);

 private:
  std::function<void(const std::string&)> stopService;
  HANDLE device = nullptr;
};

}  // namespace pellinorctl

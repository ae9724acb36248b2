// The control tool's Win32 back end: the control device through
// \\.\PellinorWin32CTL, the service through the service control manager.
#pragma once

#include <windows.h>

#include "tools/pellinorctl/ControlBackend.h"

namespace pellinorctl {

class WindowsBackend : public ControlBackend {
 public:
  WindowsBackend();
  ~WindowsBackend() override;
  WindowsBackend(const WindowsBackend&) = delete;
  WindowsBackend& operator=(const WindowsBackend&) = delete;

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

 private:
  // ntdll's NtDeviceIoControlFile, found at run time: it returns the
  // driver's NTSTATUS itself, where DeviceIoControl would only give the Win32
  // error it maps to. Null where ntdll lacks it; DeviceIoControl then.
  using NtDeviceIoControlFileRoutine = LONG(WINAPI*)(HANDLE, HANDLE, void*, void*, void*, ULONG,
                                                     void*, ULONG, void*, ULONG);
  NtDeviceIoControlFileRoutine ntDeviceIoControlFile = nullptr;
  HANDLE device = INVALID_HANDLE_VALUE;
};

}  // namespace pellinorctl

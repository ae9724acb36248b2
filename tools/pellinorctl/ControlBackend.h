// How the control tool reaches the driver. The tool's core (ControlTool)
// knows the commands, the I/O controls and their buffers; a back end only
// carries the requests: the Win32 one to the real control device and service
// control manager, others to an emulated machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellinorctl {

// The outcome of one back-end operation. Requests to the control device end
// with the NTSTATUS that the driver completed them with; the service control
// manager and Win32 calls end with a Win32 error code.
struct ControlResult {
  enum class Kind { NtStatus, Win32Error };
  Kind kind = Kind::NtStatus;
  uint32_t code = 0;

  static ControlResult Nt(uint32_t status) { return {Kind::NtStatus, status}; }
  static ControlResult Win32(uint32_t error) { return {Kind::Win32Error, error}; }
  // A negative NTSTATUS (warnings included) or any Win32 error but 0.
  bool Failed() const {
    return kind == Kind::NtStatus ? (code & 0x80000000u) != 0 : code != 0;
  }
};

// The service key that install creates: the kernel-driver service and
// nothing else; the driver's settings values are left to their defaults.
struct ServiceConfig {
  std::string name;
  std::string displayName;
  std::string imagePath;
  uint32_t type = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
};

// The event source of the driver's entries in the System log.
struct EventSourceConfig {
  std::string name;
  std::string messageFile;  // REG_EXPAND_SZ: EventMessageFile
  uint32_t typesSupported = 0;
};

class ControlBackend {
 public:
  virtual ~ControlBackend() = default;

  // Opens the control device. Opening it ends the driver's automatic retries
  // of the load-time start, and the device admits one open at a time.
  virtual ControlResult Open() = 0;
  // One I/O control on the open device. `information` receives the number of
  // output bytes the driver reports, at most outLength; 0 on failure unless
  // the driver reported more.
  virtual ControlResult DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength, uint32_t* information) = 0;
  // Closes the device if it is open.
  virtual void Close() = 0;

  // Registers the kernel service; fails if it exists already.
  virtual ControlResult InstallService(const ServiceConfig& config) = 0;
  // Stops the service if it runs, and removes it.
  virtual ControlResult RemoveService(const std::string& name) = 0;
  // Registers the event source (its key created or its values replaced).
  virtual ControlResult AddEventSource(const EventSourceConfig& config) = 0;
  // Removes the event source's key; one that does not exist is no failure.
  virtual ControlResult RemoveEventSource(const std::string& name) = 0;
  // One value of the service's registry key as it is stored: its type and
  // its bytes (UTF-16 for strings). Win32 error 2 (ERROR_FILE_NOT_FOUND)
  // when the key or the value does not exist. It needs no loaded driver:
  // what the driver will read at its next start.
  virtual ControlResult ReadServiceValue(const std::string& service, const std::string& value,
                                         uint32_t* type, std::vector<uint8_t>* data) = 0;
};

}  // namespace pellinorctl

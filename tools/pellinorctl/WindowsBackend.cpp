#include "tools/pellinorctl/WindowsBackend.h"

#include <string>

#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/SystemCodes.h"

namespace pellinorctl {
namespace {

// The I/O status block that NtDeviceIoControlFile fills in.
struct IoStatusBlock {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};

ControlResult LastError() { return ControlResult::Win32(GetLastError()); }

// The service and value names are ASCII.
std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// Closes a service control manager handle when it goes out of scope.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle(handle) {}
  ~ServiceHandle() {
    if (handle) CloseServiceHandle(handle);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle; }

 private:
  SC_HANDLE handle;
};

}  // namespace

WindowsBackend::WindowsBackend() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll) {
    ntDeviceIoControlFile = reinterpret_cast<NtDeviceIoControlFileRoutine>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeviceIoControlFile")));
  }
}

WindowsBackend::~WindowsBackend() { Close(); }

ControlResult WindowsBackend::Open() {
  Close();
  // Synchronous I/O: every request has completed when the call returns.
  device = CreateFileA(kControlDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return LastError();
  return ControlResult::Nt(0);
}

ControlResult WindowsBackend::DeviceControl(uint32_t code, const void* in, uint32_t inLength,
                                            void* out, uint32_t outLength,
                                            uint32_t* information) {
  *information = 0;
  if (ntDeviceIoControlFile) {
    IoStatusBlock io = {};
    LONG status = ntDeviceIoControlFile(device, nullptr, nullptr, nullptr, &io, code,
                                        const_cast<void*>(in), inLength, out, outLength);
    if (static_cast<uint32_t>(status) == kStatusPending) {
      // Not expected on a synchronous handle; wait for the completion.
      WaitForSingleObject(device, INFINITE);
      status = io.status;
    }
    // The I/O manager fills in the status block for every request that did
    // not fail at once.
    if (status >= 0 || (static_cast<uint32_t>(status) & 0xC0000000u) == 0x80000000u) {
      *information = static_cast<uint32_t>(io.information < outLength ? io.information : outLength);
    }
    return ControlResult::Nt(static_cast<uint32_t>(status));
  }
  DWORD returned = 0;
  if (!DeviceIoControl(device, code, const_cast<void*>(in), inLength, out, outLength, &returned,
                       nullptr)) {
    return LastError();
  }
  *information = returned < outLength ? returned : outLength;
  return ControlResult::Nt(0);
}

void WindowsBackend::Close() {
  if (device != INVALID_HANDLE_VALUE) {
    CloseHandle(device);
    device = INVALID_HANDLE_VALUE;
  }
}

ControlResult WindowsBackend::InstallService(const ServiceConfig& config) {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager.get()) return LastError();
  // Only the service itself: type, start, error control and image path. The
  // driver's settings values are left out, so that each takes its default.
  ServiceHandle service(CreateServiceA(manager.get(), config.name.c_str(),
                                       config.displayName.c_str(), SERVICE_ALL_ACCESS, config.type,
                                       config.startType, config.errorControl,
                                       config.imagePath.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr));
  if (!service.get()) return LastError();
  return ControlResult::Win32(0);
}

ControlResult WindowsBackend::RemoveService(const std::string& name) {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager.get()) return LastError();
  ServiceHandle service(
      OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service.get()) return LastError();
  // Unload the driver first if it runs; a service that is not running, or
  // refuses to stop, is still removed (for good at the next restart).
  SERVICE_STATUS status;
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  if (!DeleteService(service.get())) return LastError();
  return ControlResult::Win32(0);
}

ControlResult WindowsBackend::AddEventSource(const EventSourceConfig& config) {
  const std::wstring key =
      L"SYSTEM\\CurrentControlSet\\Services\\" + Wide(kEventLogSubkey + config.name);
  HKEY handle = nullptr;
  LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (error != ERROR_SUCCESS)
    return ControlResult::Win32(static_cast<uint32_t>(error));
  const std::wstring file = Wide(config.messageFile);
  error = RegSetValueExW(handle, L"EventMessageFile", 0, REG_EXPAND_SZ,
                         reinterpret_cast<const BYTE*>(file.c_str()),
                         static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
  if (error == ERROR_SUCCESS) {
    const DWORD types = config.typesSupported;
    error = RegSetValueExW(handle, L"TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  RegCloseKey(handle);
  return ControlResult::Win32(static_cast<uint32_t>(error));
}

ControlResult WindowsBackend::RemoveEventSource(const std::string& name) {
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + Wide(kEventLogSubkey + name);
  // The key has no subkeys, so RegDeleteKeyW (which deletes no tree) does.
  const LONG error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  if (error == ERROR_FILE_NOT_FOUND)
    return ControlResult::Win32(0);
  return ControlResult::Win32(static_cast<uint32_t>(error));
}

ControlResult WindowsBackend::ReadServiceValue(const std::string& service, const std::string& value,
                                               uint32_t* type, std::vector<uint8_t>* data) {
  *type = 0;
  data->clear();
  // The wide calls: the bytes as the registry holds them, as the driver
  // reads them (an 8-bit call would convert strings and keep binary data).
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + Wide(service);
  HKEY handle = nullptr;
  LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle);
  if (error != ERROR_SUCCESS)
    return ControlResult::Win32(static_cast<uint32_t>(error));
  const std::wstring name = Wide(value);
  DWORD valueType = 0;
  DWORD size = 0;
  error = RegQueryValueExW(handle, name.c_str(), nullptr, &valueType, nullptr, &size);
  // The value may grow between the two calls: ask again while it does.
  while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
    data->resize(size);
    DWORD got = size;
    error = RegQueryValueExW(handle, name.c_str(), nullptr, &valueType,
                             size ? data->data() : nullptr, &got);
    if (error == ERROR_SUCCESS) {
      data->resize(got);
      break;
    }
    if (error == ERROR_MORE_DATA)
      size = got;
  }
  RegCloseKey(handle);
  if (error != ERROR_SUCCESS) {
    data->clear();
    return ControlResult::Win32(static_cast<uint32_t>(error));
  }
  *type = valueType;
  return ControlResult::Win32(0);
}

}  // namespace pellinorctl

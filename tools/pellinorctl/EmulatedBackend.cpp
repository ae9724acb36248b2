#include "tools/pellinorctl/EmulatedBackend.h"

#include <algorithm>
#include <vector>

#include "emu/Io.h"
#include "emu/Registry.h"
#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/SystemCodes.h"

namespace pellinorctl {
namespace {

struct StatusError {
  uint32_t status;
  uint32_t error;
};

// The system's status-to-error mapping for what an open can end with.
constexpr StatusError openErrors[] = {
    {0xC0000034, kErrorFileNotFound},       // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC000000E, kErrorFileNotFound},       // STATUS_NO_SUCH_DEVICE
    {0xC000000F, kErrorFileNotFound},       // STATUS_NO_SUCH_FILE
    {0xC00000C0, kErrorFileNotFound},       // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC000003A, kErrorPathNotFound},       // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC0000033, kErrorInvalidName},        // STATUS_OBJECT_NAME_INVALID
    {0xC0000022, kErrorAccessDenied},       // STATUS_ACCESS_DENIED
    {0xC0000056, kErrorAccessDenied},       // STATUS_DELETE_PENDING
    {0xC0000043, kErrorSharingViolation},   // STATUS_SHARING_VIOLATION
    {0xC0000002, kErrorInvalidFunction},    // STATUS_NOT_IMPLEMENTED
    {0xC0000010, kErrorInvalidFunction},    // STATUS_INVALID_DEVICE_REQUEST
    {0xC000009A, kErrorNoSystemResources},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC0000017, kErrorNotEnoughMemory},    // STATUS_NO_MEMORY
    {0xC0000001, kErrorGenFailure},         // STATUS_UNSUCCESSFUL
};
static_assert(sizeof(openErrors) / sizeof(openErrors[0]) == 14, "open error mapping");

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

void SetText(const std::u16string& key, const std::u16string& name, uint32_t type,
             const std::string& text) {
  std::u16string wide = Utf16(text);
  wide.push_back(u'\0');
  emu::Registry::SetValue(key, name, type, wide.data(), wide.size() * sizeof(char16_t));
}

}  // namespace

EmulatedBackend::EmulatedBackend(std::function<void(const std::string&)> stopService)
    : stopService(std::move(stopService)) {}

EmulatedBackend::~EmulatedBackend() { Close(); }

uint32_t EmulatedBackend::Win32ErrorOfOpen(NTSTATUS status) {
  if (NT_SUCCESS(status)) return kErrorSuccess;
  for (const StatusError& entry : openErrors) {
    if (entry.status == static_cast<uint32_t>(status)) return entry.error;
  }
  return kErrorMrMidNotFound;
}

std::u16string EmulatedBackend::ServiceKey(const std::string& name) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Utf16(name);
}

ControlResult EmulatedBackend::Open() {
  Close();
  // As CreateFile opens it: from user mode, for reading and writing.
  HANDLE handle = nullptr;
  const NTSTATUS status = emu::Open(std::string(kControlDevicePath), UserMode, &handle);
  if (!NT_SUCCESS(status)) return ControlResult::Win32(Win32ErrorOfOpen(status));
  device = handle;
  return ControlResult::Nt(0);
}

ControlResult EmulatedBackend::DeviceControl(uint32_t code, const void* in, uint32_t inLength,
                                             void* out, uint32_t outLength,
                                             uint32_t* information) {
  *information = 0;
  if (device == nullptr) return ControlResult::Win32(6);  // ERROR_INVALID_HANDLE
  const emu::IoResult result = emu::DeviceIoControl(device, code, in, inLength, out, outLength);
  // Success and warnings carry the byte count the driver reported; the I/O
  // manager copied no more than the output buffer holds.
  const uint32_t status = static_cast<uint32_t>(result.status);
  if ((status & 0xC0000000u) != 0xC0000000u) {
    *information = static_cast<uint32_t>(std::min<ULONG_PTR>(result.information, outLength));
  }
  return ControlResult::Nt(status);
}

void EmulatedBackend::Close() {
  if (device != nullptr) {
    emu::Close(device);
    device = nullptr;
  }
}

ControlResult EmulatedBackend::InstallService(const ServiceConfig& config) {
  const std::u16string key = ServiceKey(config.name);
  if (emu::Registry::KeyExists(key)) return ControlResult::Win32(kErrorServiceExists);
  // What the service control manager writes for a kernel driver: nothing of
  // the driver's own settings.
  emu::Registry::CreateKey(key);
  emu::Registry::SetDword(key, u"Type", config.type);
  emu::Registry::SetDword(key, u"Start", config.startType);
  emu::Registry::SetDword(key, u"ErrorControl", config.errorControl);
  SetText(key, u"ImagePath", REG_EXPAND_SZ, config.imagePath);
  SetText(key, u"DisplayName", REG_SZ, config.displayName);
  return ControlResult::Win32(kErrorSuccess);
}

ControlResult EmulatedBackend::RemoveService(const std::string& name) {
  const std::u16string key = ServiceKey(name);
  if (!emu::Registry::KeyExists(key)) return ControlResult::Win32(kErrorServiceDoesNotExist);
  // The control device's handle is this tool's own; stopping the service
  // needs it closed, as the tool's process would have closed it.
  Close();
  if (stopService) stopService(name);
  emu::Registry::DeleteKey(key);
  return ControlResult::Win32(kErrorSuccess);
}

ControlResult EmulatedBackend::AddEventSource(const EventSourceConfig& config) {
  const std::u16string key = ServiceKey(kEventLogSubkey + config.name);
  emu::Registry::CreateKey(key);
  SetText(key, u"EventMessageFile", REG_EXPAND_SZ, config.messageFile);
  emu::Registry::SetDword(key, u"TypesSupported", config.typesSupported);
  return ControlResult::Win32(kErrorSuccess);
}

ControlResult EmulatedBackend::RemoveEventSource(const std::string& name) {
  emu::Registry::DeleteKey(ServiceKey(kEventLogSubkey + name));
  return ControlResult::Win32(kErrorSuccess);
}

ControlResult EmulatedBackend::ReadServiceValue(const std::string& service,
                                                const std::string& value, uint32_t* type,
                                                std::vector<uint8_t>* data) {
  *type = 0;
  data->clear();
  if (!emu::Registry::GetValue(ServiceKey(service), Utf16(value), type, data)) {
    return ControlResult::Win32(kErrorFileNotFound);
  }
  return ControlResult::Win32(kErrorSuccess);
}

}  // namespace pellinorctl

// Loading and unloading drivers in the emulated machine.
#include <cstring>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/UserMemory.h"
#include "emu/Process.h"

namespace emu {
namespace io {
namespace {

std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>>& Drivers() {
  static auto* drivers = new std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>>;
  return *drivers;
}

const char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const WCHAR kHardwareDatabase[] = L"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
UNICODE_STRING hardwareDatabase = {sizeof kHardwareDatabase - 2, sizeof kHardwareDatabase,
                                   const_cast<PWSTR>(kHardwareDatabase)};

// What the I/O manager puts in every major function a driver leaves empty.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
  (void)deviceObject;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
    PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void SetUnicode(UNICODE_STRING* string, const std::u16string& text) {
  string->Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.c_str()));
  string->Length = static_cast<USHORT>(text.size() * 2);
  string->MaximumLength = static_cast<USHORT>(text.size() * 2 + 2);
}

DriverRecord* FindLoaded(const std::string& upperName) {
  for (auto& item : Drivers()) {
    if (!item.second->gone && item.second->name == upperName)
      return item.second.get();
  }
  return nullptr;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// A driver that goes (unloaded, or its DriverEntry failed) must leave no
// device object, no symbolic link and no pool block behind: its code and
// data are about to disappear.
void CheckDriverLeftNothing(DriverRecord* driver, const char* when) {
  // Every message names the driver as its object does ("\Driver\X").
  const std::string name = Narrow(driver->driverName);
  {
    std::lock_guard<std::mutex> guard(Lock());
    PDEVICE_OBJECT device = driver->object.DeviceObject;
    if (device != nullptr) {
      DeviceRecord* record = FindDeviceRecord(device);
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s %s but left device object %p (%s)", name.c_str(), when,
               static_cast<void*>(device),
               record->name.empty() ? "unnamed" : Narrow(record->name).c_str());
    }
    std::u16string link;
    if (ObjectNamespace::Get().FindLinkOf(driver, &link)) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s %s but left symbolic link %s", name.c_str(), when,
               Narrow(link).c_str());
    }
  }
  internal::CheckDriverPool(&driver->object, driver->poolTag, name.c_str(), when);
  if (driver->poolTag != 0)
    Pool::UnregisterDriverTag(driver->poolTag);
}

// What runs on behalf of a driver must have ended when it goes: its
// system threads, timers, DPCs and work items, the IRPs it allocated, the
// IRPs pending in its devices.
void CheckDriverLeftNoActivity(DriverRecord* driver) {
  PDRIVER_OBJECT object = &driver->object;
  const std::string driverName = Narrow(driver->driverName);
  const char* name = driverName.c_str();
  internal::CheckDriverThreads(object, name);
  internal::CheckDriverTimersAndDpcs(object, name);
  internal::CheckDriverWorkItems(object, name);
  internal::CheckDriverErrorLogEntries(object, name);
  CheckDriverCompletionRoutines(object, name);
  CheckDriverIrps(object, name);
  CheckFreedIrps(("when driver " + driverName + " unloaded").c_str());
  CheckDriverShutdownRegistrations(object, name);
}

// Drivers that went: kept, so that a late message can still name them.
std::vector<std::unique_ptr<DriverRecord>>& Gone() {
  static auto* gone = new std::vector<std::unique_ptr<DriverRecord>>;
  return *gone;
}

}  // namespace

DriverRecord* FindDriverRecord(PDRIVER_OBJECT driverObject) {
  auto it = Drivers().find(driverObject);
  return it == Drivers().end() ? nullptr : it->second.get();
}

void ForgetDriverIfGone(DriverRecord* driver) {
  if (driver->gone && driver->deviceMemory == 0) {
    auto it = Drivers().find(&driver->object);
    Gone().push_back(std::move(it->second));
    Drivers().erase(it);
  }
}

}  // namespace io

namespace internal {
const char* DriverNameOf(PDRIVER_OBJECT driver) {
  if (driver == nullptr)
    return "(none)";
  // A driver object lives in its DriverRecord, which is never freed, so its
  // name can be read without the lock (messages are built with it held).
  // A few buffers in turn, so that one message may name several drivers.
  thread_local char names[4][64];
  thread_local unsigned next = 0;
  char* name = names[next++ % 4];
  size_t n = driver->DriverName.Length / sizeof(WCHAR);
  if (n > sizeof names[0] - 1)
    n = sizeof names[0] - 1;
  for (size_t i = 0; i < n; ++i) {
    WCHAR c = driver->DriverName.Buffer[i];
    name[i] = c < 0x80 ? static_cast<char>(c) : '?';
  }
  name[n] = 0;
  return name;
}
}  // namespace internal

namespace io {

}  // namespace io

NTSTATUS LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry, ULONG poolTag,
                    PDRIVER_OBJECT* driverObject) {
  using namespace io;
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
  // The user range is there from the start; a driver touching it must
  // meet the bug check even before any user buffer exists.
  ReadyUserMemory();
  if (driverObject != nullptr)
    *driverObject = nullptr;
  std::string upper = Upper(name);
  DriverRecord* driver;
  {
    std::lock_guard<std::mutex> guard(Lock());
    if (FindLoaded(upper) != nullptr)
      return STATUS_IMAGE_ALREADY_LOADED;
    auto record = std::make_unique<DriverRecord>();
    driver = record.get();
    memset(&driver->object, 0, sizeof driver->object);
    memset(&driver->extension, 0, sizeof driver->extension);
    driver->name = upper;
    driver->driverName = u"\\Driver\\" + Widen(name);
    driver->serviceKeyName = Widen(name);
    driver->poolTag = poolTag;
    DRIVER_OBJECT& object = driver->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &driver->extension;
    object.DriverStart = reinterpret_cast<PVOID>(entry);
    object.DriverInit = entry;
    object.HardwareDatabase = &hardwareDatabase;
    SetUnicode(&object.DriverName, driver->driverName);
    for (auto& dispatch : object.MajorFunction) dispatch = InvalidDeviceRequest;
    driver->extension.DriverObject = &object;
    SetUnicode(&driver->extension.ServiceKeyName, driver->serviceKeyName);
    Drivers()[&object] = std::move(record);
  }
  if (poolTag != 0)
    Pool::RegisterDriverTag(poolTag);

  // The registry path lives only during DriverEntry, as on Windows: a driver
  // that keeps the pointer instead of a copy reads freed memory later.
  std::u16string path = kServicesKey + Widen(name);
  auto* buffer = new char16_t[path.size() + 1];
  memcpy(buffer, path.c_str(), (path.size() + 1) * 2);
  UNICODE_STRING registryPath;
  registryPath.Buffer = reinterpret_cast<PWSTR>(buffer);
  registryPath.Length = static_cast<USHORT>(path.size() * 2);
  registryPath.MaximumLength = static_cast<USHORT>(path.size() * 2 + 2);

  CurrentDriver() = driver;
  NTSTATUS status;
  {
    // The I/O manager calls DriverEntry and the unload routine in the
    // system process, whoever asked for the load.
    ProcessScope inSystem(SystemProcess());
    internal::DriverContext context(&driver->object);
    status = entry(&driver->object, &registryPath);
  }
  CurrentDriver() = nullptr;
  delete[] buffer;

  if (!NT_SUCCESS(status)) {
    CheckDriverLeftNoActivity(driver);
    CheckDriverLeftNothing(driver, "failed to load");
    std::lock_guard<std::mutex> guard(Lock());
    driver->gone = true;
    ForgetDriverIfGone(driver);
    return status;
  }
  std::lock_guard<std::mutex> guard(Lock());
  for (PDEVICE_OBJECT device = driver->object.DeviceObject; device != nullptr;
       device = device->NextDevice) {
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  driver->loaded = true;
  if (driverObject != nullptr)
    *driverObject = &driver->object;
  return status;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject) {
  using namespace io;
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
  DriverRecord* driver;
  {
    std::lock_guard<std::mutex> guard(Lock());
    driver = FindDriverRecord(driverObject);
    if (driver == nullptr || !driver->loaded) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "UnloadDriver: %p is not a loaded driver",
               static_cast<void*>(driverObject));
    }
    if (driverObject->DriverUnload == nullptr)
      return STATUS_INVALID_DEVICE_REQUEST;
    driver->loaded = false;
  }
  CurrentDriver() = driver;
  {
    ProcessScope inSystem(SystemProcess());
    internal::DriverContext context(driverObject);
    driverObject->DriverUnload(driverObject);
  }
  CurrentDriver() = nullptr;
  CheckDriverLeftNoActivity(driver);
  CheckDriverLeftNothing(driver, "unloaded");
  std::lock_guard<std::mutex> guard(Lock());
  driver->gone = true;
  ForgetDriverIfGone(driver);
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT FindDriver(const std::string& name) {
  std::lock_guard<std::mutex> guard(io::Lock());
  io::DriverRecord* driver = io::FindLoaded(io::Upper(name));
  return driver != nullptr && driver->loaded ? &driver->object : nullptr;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "AddDevice");
  PDRIVER_ADD_DEVICE addDevice = driverObject->DriverExtension->AddDevice;
  if (addDevice == nullptr)
    return STATUS_NOT_SUPPORTED;
  internal::DriverContext context(driverObject);
  return addDevice(driverObject, physicalDevice);
}

}  // namespace emu

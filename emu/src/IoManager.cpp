// The emulated I/O manager: device objects and device stacks, IRPs and
// their completion, the power manager's two calls, and MDLs.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "emu/Io.h"

namespace emu {
namespace io {
namespace {

std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>>& Devices() {
  static auto* devices = new std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>>;
  return *devices;
}

std::unordered_map<PIRP, std::unique_ptr<IrpRecord>>& Irps() {
  static auto* irps = new std::unordered_map<PIRP, std::unique_ptr<IrpRecord>>;
  return *irps;
}

std::atomic<int> failDeviceCreationIn{0};
std::atomic<NTSTATUS> failDeviceCreationStatus{STATUS_INSUFFICIENT_RESOURCES};
std::atomic<int> failIrpAllocationIn{0};

// Counts down an armed injection; true when this call is the one to fail.
bool InjectedFailure(std::atomic<int>& counter) {
  int n = counter.load();
  while (n > 0) {
    if (counter.compare_exchange_weak(n, n - 1))
      return n == 1;
  }
  return false;
}

// What the completion of one stack location leaves behind, as the kernel
// clears it: everything but the major function and the device object.
void ZeroStackLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  memset(&sp->Parameters, 0, sizeof sp->Parameters);
  sp->FileObject = nullptr;
  sp->CompletionRoutine = nullptr;
  sp->Context = nullptr;
}

}  // namespace

std::mutex& Lock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

std::u16string Widen(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr)
    return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(string->Buffer), string->Length / 2);
}

std::u16string Upcase(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

DriverRecord*& CurrentDriver() {
  static thread_local DriverRecord* driver = nullptr;
  return driver;
}

DeviceRecord* FindDeviceRecord(PDEVICE_OBJECT deviceObject) {
  auto it = Devices().find(deviceObject);
  return it == Devices().end() ? nullptr : it->second.get();
}

DeviceRecord* RequireDevice(PDEVICE_OBJECT deviceObject, const char* service) {
  DeviceRecord* record = FindDeviceRecord(deviceObject);
  if (record == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "%s: %p is not a device object (freed, or never created)", service,
             static_cast<void*>(deviceObject));
  }
  return record;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device) {
  return device->DeviceObjectExtension->AttachedTo;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

void ReleaseDeviceIfUnused(PDEVICE_OBJECT device) {
  DeviceRecord* record = FindDeviceRecord(device);
  if (record == nullptr || !record->deleted || device->ReferenceCount != 0)
    return;
  DriverRecord* driver = record->driver;
  Devices().erase(device);
  free(device);
  driver->deviceMemory--;
  ForgetDriverIfGone(driver);
}

IrpRecord* FindIrpRecord(PIRP irp) {
  auto it = Irps().find(irp);
  return it == Irps().end() ? nullptr : it->second.get();
}

PIRP AllocateIrp(CCHAR stackSize, bool ioManager, bool mustSucceed) {
  if (stackSize < 1) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoAllocateIrp: stack size %d", stackSize);
  }
  if (!mustSucceed && InjectedFailure(failIrpAllocationIn))
    return nullptr;
  USHORT size = IoSizeOfIrp(stackSize);
  PIRP irp = static_cast<PIRP>(calloc(1, size));
  if (irp == nullptr)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "host out of memory");
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->RequestorMode = KernelMode;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  auto record = std::make_unique<IrpRecord>();
  record->irp = irp;
  record->ioManager = ioManager;
  std::lock_guard<std::mutex> guard(Lock());
  Irps()[irp] = std::move(record);
  return irp;
}

void FreeIrp(PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(irp);
    if (record == nullptr) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoFreeIrp: %p is not an allocated IRP",
               static_cast<void*>(irp));
    }
    if (record->withDrivers) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IoFreeIrp: IRP %p is still with a driver (sent down and not completed back)",
               static_cast<void*>(irp));
    }
    Irps().erase(irp);
  }
  irp->Type = 0;
  free(irp);
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool power) {
  const char* service = power ? "PoCallDriver" : "IofCallDriver";
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, service);
  PDRIVER_DISPATCH dispatch;
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(irp);
    if (record == nullptr) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "%s: %p is not an allocated IRP", service,
               static_cast<void*>(irp));
    }
    RequireDevice(device, service);
    if (irp->CurrentLocation <= 1) {
      BugCheck(NO_MORE_IRP_STACK_LOCATIONS,
               "%s: IRP %p (%d stack locations) has no location left for device %p", service,
               static_cast<void*>(irp), irp->StackCount, static_cast<void*>(device));
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "%s: IRP %p has major function 0x%X", service,
               static_cast<void*>(irp), next->MajorFunction);
    }
    if (!power && next->MajorFunction == IRP_MJ_POWER) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IofCallDriver: power IRP %p must be passed with PoCallDriver",
               static_cast<void*>(irp));
    }
    if (power && next->MajorFunction != IRP_MJ_POWER) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "PoCallDriver: IRP %p has major function 0x%X, not IRP_MJ_POWER",
               static_cast<void*>(irp), next->MajorFunction);
    }
    record->withDrivers = true;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    next->DeviceObject = device;
    dispatch = device->DriverObject->MajorFunction[next->MajorFunction];
  }
  return dispatch(device, irp);
}

void CompleteRequest(PIRP irp) {
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  {
    std::lock_guard<std::mutex> guard(Lock());
    if (FindIrpRecord(irp) == nullptr) {
      BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
               "IofCompleteRequest: %p is not an allocated IRP (completed and freed already?)",
               static_cast<void*>(irp));
    }
    if (irp->CurrentLocation > irp->StackCount + 1) {
      BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IofCompleteRequest: IRP %p completed twice",
               static_cast<void*>(irp));
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IofCompleteRequest: IRP %p completed with STATUS_PENDING", static_cast<void*>(irp));
    }
  }

  // Each stack location from the completing driver's upwards: its
  // completion routine runs if its control bits ask for the final status;
  // otherwise the pending mark moves up one location.
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  while (irp->CurrentLocation <= irp->StackCount + 1) {
    irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                  (irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
    if (invoke) {
      PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
      PVOID context = sp->Context;
      ZeroStackLocation(sp);
      if (routine == nullptr) {
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "IofCompleteRequest: IRP %p asks for a completion routine but has none",
                 static_cast<void*>(irp));
      }
      PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      {
        std::lock_guard<std::mutex> guard(Lock());
        FindIrpRecord(irp)->withDrivers = false;  // the routine may keep or free it
      }
      NTSTATUS result = routine(device, irp, context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED)
        return;
      std::lock_guard<std::mutex> guard(Lock());
      IrpRecord* record = FindIrpRecord(irp);
      if (record == nullptr) {
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "completion routine %p freed IRP %p but returned 0x%08lX, not "
                 "STATUS_MORE_PROCESSING_REQUIRED",
                 reinterpret_cast<void*>(routine), static_cast<void*>(irp),
                 static_cast<unsigned long>(result));
      }
      record->withDrivers = true;
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
      ZeroStackLocation(sp);
    }
    sp++;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
  }

  std::lock_guard<std::mutex> guard(Lock());
  IrpRecord* record = FindIrpRecord(irp);
  record->withDrivers = false;
  if (!record->ioManager) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IRP %p from IoAllocateIrp completed to the top: its sender's completion routine "
             "must return STATUS_MORE_PROCESSING_REQUIRED",
             static_cast<void*>(irp));
  }
  record->done = true;
  record->completed.notify_all();
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "I/O request");
  UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  NTSTATUS status = CallDriver(device, irp, major == IRP_MJ_POWER);
  std::unique_lock<std::mutex> guard(Lock());
  IrpRecord* record = FindIrpRecord(irp);
  if (status != STATUS_PENDING && !record->done) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch of major function 0x%X returned 0x%08lX without completing IRP %p "
             "(a request not completed must return STATUS_PENDING)",
             major, static_cast<unsigned long>(status), static_cast<void*>(irp));
  }
  record->completed.wait(guard, [record] { return record->done; });
  if (status == STATUS_PENDING && !irp->PendingReturned) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch of major function 0x%X returned STATUS_PENDING without marking IRP %p "
             "pending (IoMarkIrpPending)",
             major, static_cast<void*>(irp));
  }
  if (status != STATUS_PENDING && irp->PendingReturned) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IRP %p was marked pending but its dispatch returned 0x%08lX, not STATUS_PENDING",
             static_cast<void*>(irp), static_cast<unsigned long>(status));
  }
  if (status != STATUS_PENDING && status != irp->IoStatus.Status) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch of major function 0x%X returned 0x%08lX but completed IRP %p with "
             "0x%08lX",
             major, static_cast<unsigned long>(status), static_cast<void*>(irp),
             static_cast<unsigned long>(irp->IoStatus.Status));
  }
  return irp->IoStatus.Status;
}

}  // namespace io

int LiveIrpCount() {
  std::lock_guard<std::mutex> guard(io::Lock());
  return static_cast<int>(io::Irps().size());
}

int StartNextPowerIrpCalls(PIRP irp) {
  std::lock_guard<std::mutex> guard(io::Lock());
  io::IrpRecord* record = io::FindIrpRecord(irp);
  return record == nullptr ? 0 : record->startNextPowerIrp;
}

void FailDeviceCreation(int nth, NTSTATUS status) {
  io::failDeviceCreationStatus = status;
  io::failDeviceCreationIn = nth;
}

void FailIrpAllocation(int nth) {
  io::failIrpAllocationIn = nth;
}

}  // namespace emu

using namespace emu;
using namespace emu::io;

// ---------------------------------------------------------------------------
// Device objects.

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  if (DeviceObject == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoCreateDevice: no place for the result");
  }
  *DeviceObject = nullptr;
  std::u16string name;
  if (DeviceName != nullptr) {
    if (DeviceName->Buffer == nullptr || DeviceName->Length == 0 || (DeviceName->Length & 1)) {
      return STATUS_OBJECT_NAME_INVALID;
    }
    NTSTATUS status = ObjectNamespace::Normalize(FromUnicodeString(DeviceName), &name);
    if (!NT_SUCCESS(status))
      return status;
  }
  if (InjectedFailure(failDeviceCreationIn))
    return failDeviceCreationStatus;

  std::lock_guard<std::mutex> guard(Lock());
  DriverRecord* driver = FindDriverRecord(DriverObject);
  if (driver == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoCreateDevice: %p is not a driver object",
             static_cast<void*>(DriverObject));
  }
  size_t extension = (DeviceExtensionSize + 7u) & ~7u;
  size_t size = sizeof(DEVICE_OBJECT) + extension + sizeof(_DEVOBJ_EXTENSION);
  auto* device = static_cast<PDEVICE_OBJECT>(calloc(1, size));
  if (device == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  if (!name.empty()) {
    NTSTATUS status = ObjectNamespace::Get().InsertDevice(name, device);
    if (!NT_SUCCESS(status)) {
      free(device);
      return status;
    }
  }
  auto* devobjExtension =
      reinterpret_cast<_DEVOBJ_EXTENSION*>(reinterpret_cast<char*>(device + 1) + extension);
  devobjExtension->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  devobjExtension->Size = sizeof(_DEVOBJ_EXTENSION);
  devobjExtension->DeviceObject = device;

  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive)
    device->Flags |= DO_EXCLUSIVE;
  if (!name.empty())
    device->Flags |= DO_DEVICE_HAS_NAME;
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize != 0 ? device + 1 : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->AlignmentRequirement = 0;  // FILE_BYTE_ALIGNMENT on i386
  device->DeviceObjectExtension = devobjExtension;
  InitializeListHead(&device->Queue.ListEntry);
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;

  auto record = std::make_unique<DeviceRecord>();
  record->object = device;
  record->driver = driver;
  record->name = name;
  Devices()[device] = std::move(record);
  driver->deviceMemory++;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  std::lock_guard<std::mutex> guard(Lock());
  DeviceRecord* record = RequireDevice(DeviceObject, "IoDeleteDevice");
  if (record->deleted) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoDeleteDevice: device %p deleted twice",
             static_cast<void*>(DeviceObject));
  }
  if (DeviceObject->AttachedDevice != nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoDeleteDevice: device %p still has device %p attached to it",
             static_cast<void*>(DeviceObject), static_cast<void*>(DeviceObject->AttachedDevice));
  }
  if (AttachedTo(DeviceObject) != nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoDeleteDevice: device %p is still attached to device %p (IoDetachDevice first)",
             static_cast<void*>(DeviceObject), static_cast<void*>(AttachedTo(DeviceObject)));
  }
  if (!record->name.empty())
    ObjectNamespace::Get().RemoveDevice(record->name);
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link == DeviceObject)
    *link = DeviceObject->NextDevice;
  DeviceObject->NextDevice = nullptr;
  DeviceObject->DeviceObjectExtension->ExtensionFlags |= DOE_DELETE_PENDING;
  record->deleted = true;
  // Open files keep the memory until their last reference is gone.
  ReleaseDeviceIfUnused(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
  std::lock_guard<std::mutex> guard(Lock());
  RequireDevice(SourceDevice, "IoAttachDeviceToDeviceStack");
  RequireDevice(TargetDevice, "IoAttachDeviceToDeviceStack");
  if (AttachedTo(SourceDevice) != nullptr || SourceDevice->AttachedDevice != nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoAttachDeviceToDeviceStack: device %p is already part of a stack",
             static_cast<void*>(SourceDevice));
  }
  PDEVICE_OBJECT top = TopOfStack(TargetDevice);
  DeviceRecord* topRecord = FindDeviceRecord(top);
  if (topRecord->deleted || topRecord->driver->gone)
    return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement) {
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  }
  SourceDevice->SectorSize = top->SectorSize;
  return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  std::lock_guard<std::mutex> guard(Lock());
  RequireDevice(TargetDevice, "IoDetachDevice");
  PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
  if (attached == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoDetachDevice: no device is attached to device %p",
             static_cast<void*>(TargetDevice));
  }
  attached->DeviceObjectExtension->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(Lock());
  return TopOfStack(DeviceObject);
}

// ---------------------------------------------------------------------------
// IRPs.

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  return AllocateIrp(StackSize, false, false);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(Irp);
    if (record != nullptr && record->ioManager) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IoFreeIrp: IRP %p belongs to the I/O manager, not to the caller",
               static_cast<void*>(Irp));
    }
  }
  FreeIrp(Irp);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return CallDriver(DeviceObject, Irp, false);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  CompleteRequest(Irp);
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return CallDriver(DeviceObject, Irp, true);
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  std::lock_guard<std::mutex> guard(Lock());
  IrpRecord* record = FindIrpRecord(Irp);
  if (record == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "PoStartNextPowerIrp: %p is not an allocated IRP",
             static_cast<void*>(Irp));
  }
  // After IoSkipCurrentIrpStackLocation the current location may lie above
  // the stack; only a location inside it can be checked.
  if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount &&
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "PoStartNextPowerIrp: IRP %p is not a power IRP",
             static_cast<void*>(Irp));
  }
  record->startNextPowerIrp++;
}

// ---------------------------------------------------------------------------
// MDLs. The emulated machine has one address space, so a mapping of locked
// pages is the buffer's own address; the flags are kept as the kernel keeps
// them, since drivers decide by them whether to map.

namespace {
char userProcess;  // stands for the requesting process of user-mode MDLs
}

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp) {
  (void)ChargeQuota;
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
  ULONG_PTR address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  ULONG offset = address & (PAGE_SIZE - 1);
  ULONG pages = (offset + Length + PAGE_SIZE - 1) >> PAGE_SHIFT;
  size_t size = sizeof(MDL) + pages * sizeof(ULONG);
  auto* mdl = static_cast<PMDL>(calloc(1, size));
  if (mdl == nullptr)
    return nullptr;
  mdl->Size = static_cast<CSHORT>(size);
  mdl->StartVa = reinterpret_cast<PVOID>(address - offset);
  mdl->ByteOffset = offset;
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (SecondaryBuffer) {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail != nullptr) tail = &(*tail)->Next;
      *tail = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoFreeMdl: MDL %p still has its pages locked",
             static_cast<void*>(Mdl));
  }
  free(Mdl);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->Process = nullptr;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation) {
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
  if (MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "MmProbeAndLockPages: MDL %p is already locked or describes non-paged pool",
             static_cast<void*>(MemoryDescriptorList));
  }
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess)
    MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
  MemoryDescriptorList->Process = AccessMode == UserMode ? &userProcess : nullptr;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "MmUnlockPages: MDL %p is not locked",
             static_cast<void*>(MemoryDescriptorList));
  }
  MemoryDescriptorList->MdlFlags &=
      static_cast<CSHORT>(~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION));
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  internal::RequireIrqlAtMost(AccessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
                              "MmMapLockedPages");
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "MmMapLockedPages: the pages of MDL %p are not locked", static_cast<void*>(mdl));
  }
  PVOID address = MmGetMdlVirtualAddress(mdl);
  if (AccessMode == KernelMode) {
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
      return mdl->MappedSystemVa;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = address;
  }
  return address;
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  if (BaseAddress == MemoryDescriptorList->MappedSystemVa &&
      (MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
    MemoryDescriptorList->MdlFlags &= static_cast<CSHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Completion from a DPC.

namespace {

struct DpcCompletion {
  KDPC dpc;
  PIRP irp;
  CCHAR boost;
};

VOID NTAPI CompleteInDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* completion = static_cast<DpcCompletion*>(context);
  PIRP irp = completion->irp;
  CCHAR boost = completion->boost;
  delete completion;
  IofCompleteRequest(irp, boost);
}

}  // namespace

void emu::CompleteFromDpc(PIRP irp, CCHAR boost) {
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "CompleteFromDpc");
  {
    std::lock_guard<std::mutex> guard(Lock());
    if (FindIrpRecord(irp) == nullptr) {
      BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
               "CompleteFromDpc: %p is not an allocated IRP (completed and freed already?)",
               static_cast<void*>(irp));
    }
  }
  auto* completion = new DpcCompletion;
  completion->irp = irp;
  completion->boost = boost;
  KeInitializeDpc(&completion->dpc, CompleteInDpc, completion);
  KeInsertQueueDpc(&completion->dpc, nullptr, nullptr);
}

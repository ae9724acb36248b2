// The emulated I/O manager: device objects and device stacks, IRPs and
// their completion, the power manager's two calls, and MDLs.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "PoolInternal.h"
#include "SecurityInternal.h"
#include "emu/Chaos.h"
#include "emu/Io.h"
#include "emu/UserMemory.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define EMU_POISON_IRP(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define EMU_UNPOISON_IRP(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define EMU_POISON_IRP(p, n) ((void)(p), (void)(n))
#define EMU_UNPOISON_IRP(p, n) ((void)(p), (void)(n))
#endif

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
// MDL mappings: counted per driver, and the injected failure, under a lock
// of their own (a mapping may come at DISPATCH_LEVEL from any thread).
struct MdlMappings {
  std::mutex lock;
  std::map<std::string, unsigned> calls;  // by driver name, "" for none
  unsigned total = 0;
  int failIn = 0;
  std::string failDriver;  // empty: any caller
};
MdlMappings& Mappings() {
  static auto* mappings = new MdlMappings;
  return *mappings;
}

// Counts one mapping by the calling driver; true when it is the one to fail.
bool CountMappingAndFail() {
  const char* name = internal::CurrentDriverName();
  const std::string driver = name != nullptr ? name : "";
  MdlMappings& m = Mappings();
  std::lock_guard<std::mutex> guard(m.lock);
  ++m.total;
  ++m.calls[driver];
  if (m.failIn <= 0 || (!m.failDriver.empty() && m.failDriver != driver))
    return false;
  return --m.failIn == 0;
}

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
  char what[160];
  snprintf(what, sizeof what, "device object %p of driver %s (with its extension)",
           static_cast<void*>(device), internal::DriverNameOf(&driver->object));
  internal::CheckFreedMemory(device, device->Size, what);
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
  record->allocator = ioManager ? nullptr : internal::CurrentDriverObject();
  record->locations.resize(static_cast<size_t>(stackSize));
  if (ioManager)
    record->result = std::make_shared<RequestResult>();
  std::lock_guard<std::mutex> guard(Lock());
  Irps()[irp] = std::move(record);
  return irp;
}

namespace {

// Freed IRPs are not given back to the host at once: their memory stays
// filled and poisoned (unaddressable under AddressSanitizer) while the next
// kQuarantine IRPs are freed, so that a driver still writing a request it
// handed on, or reading its stack location after completing it, meets
// poison instead of a fresh IRP that happens to lie at the same address.
// The fill is compared when an IRP leaves the quarantine, when a driver
// unloads and at shutdown, so that the plain build finds a stray write
// too (AddressSanitizer stops it at the write).
constexpr size_t kQuarantine = 64;
constexpr unsigned char kFreedIrpFill = 0xD1;

struct FreedIrp {
  PIRP irp;
  size_t size;
  // Who held it, for the report: the allocator and the drivers it was
  // handed to, in order.
  std::string holders;
};

std::deque<FreedIrp>& Quarantine() {
  static auto* quarantine = new std::deque<FreedIrp>;
  return *quarantine;
}

bool InQuarantine(PIRP irp) {
  for (const FreedIrp& f : Quarantine()) {
    if (f.irp == irp)
      return true;
  }
  return false;
}

const char* NameOrNone(PDRIVER_OBJECT driver) {
  return driver != nullptr ? internal::DriverNameOf(driver) : "(none)";
}

std::string HoldersOf(const IrpRecord* record) {
  std::string text;
  if (record->allocator != nullptr) {
    text += "allocated by ";
    text += NameOrNone(record->allocator);
  } else if (record->ioManager) {
    text += "the I/O manager's";
  }
  for (const auto& seen : record->seenBy) {
    text += text.empty() ? "handed to " : (&seen == &record->seenBy.front() ? ", handed to " : ", ");
    text += NameOrNone(seen.second);
  }
  return text.empty() ? std::string("never handed to a driver") : text;
}

// The name of the IRP field at `offset`, for the report.
const char* IrpFieldAt(size_t offset) {
  struct Field {
    size_t offset;
    const char* name;
  };
  static const Field fields[] = {
      {offsetof(IRP, MdlAddress), "MdlAddress"},
      {offsetof(IRP, Flags), "Flags"},
      {offsetof(IRP, AssociatedIrp), "AssociatedIrp"},
      {offsetof(IRP, IoStatus), "IoStatus"},
      {offsetof(IRP, RequestorMode), "RequestorMode"},
      {offsetof(IRP, PendingReturned), "PendingReturned"},
      {offsetof(IRP, StackCount), "StackCount"},
      {offsetof(IRP, Cancel), "Cancel"},
      {offsetof(IRP, UserBuffer), "UserBuffer"},
      {offsetof(IRP, Tail), "Tail"},
      {sizeof(IRP), "a stack location"},
  };
  const char* name = "the header";
  for (const Field& field : fields) {
    if (offset >= field.offset)
      name = field.name;
  }
  return name;
}

// Bug-checks when a freed IRP's fill changed; lock held.
void CheckFreedIrp(const FreedIrp& f, const char* when) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(f.irp);
  EMU_UNPOISON_IRP(f.irp, f.size);
  for (size_t i = 0; i < f.size; ++i) {
    if (bytes[i] == kFreedIrpFill)
      continue;
    size_t location = i >= sizeof(IRP) ? (i - sizeof(IRP)) / sizeof(IO_STACK_LOCATION) : 0;
    char where[64] = "";
    if (i >= sizeof(IRP))
      snprintf(where, sizeof where, " %zu", location);
    BugCheck(DRIVER_CORRUPTED_EXPOOL,
             "IRP %p was written after it was completed and freed (offset %zu, in %s%s: "
             "0x%02X where the fill 0x%02X was; %s); found %s",
             static_cast<void*>(f.irp), i, IrpFieldAt(i), where, bytes[i], kFreedIrpFill,
             f.holders.c_str(), when);
  }
  EMU_POISON_IRP(f.irp, f.size);
}

// Lock held.
void QuarantineIrp(PIRP irp, const IrpRecord* record) {
  size_t size = irp->Size;
  memset(irp, kFreedIrpFill, size);
  EMU_POISON_IRP(irp, size);
  Quarantine().push_back(FreedIrp{irp, size, HoldersOf(record)});
  if (Quarantine().size() > kQuarantine) {
    FreedIrp oldest = Quarantine().front();
    Quarantine().pop_front();
    CheckFreedIrp(oldest, "when it left the quarantine");
    EMU_UNPOISON_IRP(oldest.irp, oldest.size);
    free(oldest.irp);
  }
}

}  // namespace

void CheckFreedIrps(const char* when) {
  std::lock_guard<std::mutex> guard(Lock());
  for (const FreedIrp& f : Quarantine()) CheckFreedIrp(f, when);
}

namespace {

int IndexOf(PIRP irp, PIO_STACK_LOCATION sp) {
  return static_cast<int>(sp - reinterpret_cast<PIO_STACK_LOCATION>(irp + 1));
}

// The driver that owns the completion routine of location `index`: the
// one of the location above, or for the top location the driver that
// allocated the IRP.
PDRIVER_OBJECT RoutineOwner(const IrpRecord* record, int index) {
  if (index + 1 < static_cast<int>(record->locations.size()))
    return record->locations[index + 1].driver;
  return record->allocator;
}

}  // namespace

std::string DescribeIrpOwners(const IrpRecord* record) {
  PIRP irp = record->irp;
  std::string text;
  char line[256];
  int current = irp->CurrentLocation - 1;
  for (int i = static_cast<int>(record->locations.size()) - 1; i >= 0; --i) {
    const LocationOwner& owner = record->locations[i];
    if (!owner.handed)
      continue;
    PIO_STACK_LOCATION sp = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + i;
    snprintf(line, sizeof line, "%s[%d] device %p of driver %s%s", text.empty() ? "" : "; ", i,
             static_cast<void*>(owner.device), NameOrNone(owner.driver),
             i == current ? " (current)" : "");
    text += line;
    if (i >= current && sp->CompletionRoutine != nullptr && (sp->Control & 0xE0)) {
      snprintf(line, sizeof line, ", completion routine %p of driver %s",
               reinterpret_cast<void*>(sp->CompletionRoutine),
               NameOrNone(RoutineOwner(record, i)));
      text += line;
    }
  }
  if (record->haltedAt >= 0) {
    snprintf(line, sizeof line, "; the completion routine of location %d returned "
             "STATUS_MORE_PROCESSING_REQUIRED and driver %s never completed or freed it",
             record->haltedAt, NameOrNone(RoutineOwner(record, record->haltedAt)));
    text += line;
  }
  if (text.empty())
    text = "not handed to any driver";
  return text;
}

void FreeIrp(PIRP irp) {
  std::lock_guard<std::mutex> guard(Lock());
  IrpRecord* record = FindIrpRecord(irp);
  if (record == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoFreeIrp: %p is not an allocated IRP%s",
             static_cast<void*>(irp), InQuarantine(irp) ? " (it was freed already)" : "");
  }
  if (record->withDrivers) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoFreeIrp: IRP %p is still with a driver (sent down and not completed back): %s",
             static_cast<void*>(irp), DescribeIrpOwners(record).c_str());
  }
  QuarantineIrp(irp, record);
  Irps().erase(irp);
}

namespace {

// The pending contract, checked at every return of a dispatch routine for
// every IRP (the I/O manager's own and those drivers allocate): a routine
// that returns STATUS_PENDING has marked the location it was called with
// pending (IoMarkIrpPending), and one that marked it returns STATUS_PENDING.
// Where the request is still below when the routine returns, a mark that a
// completion routine of the driver must still set is awaited until the
// completion leaves the location.
void CheckPendingContract(PIRP irp, const std::shared_ptr<CallFrame>& frame, int index,
                          NTSTATUS status, PDRIVER_OBJECT driver, PDEVICE_OBJECT device,
                          UCHAR major) {
  std::lock_guard<std::mutex> guard(Lock());
  bool marked;
  IrpRecord* record = frame->unwound ? nullptr : FindIrpRecord(irp);
  if (frame->unwound) {
    marked = frame->marked;
  } else {
    if (record == nullptr)
      return;
    std::vector<std::shared_ptr<CallFrame>>& calls = record->locations[index].calls;
    for (auto it = calls.begin(); it != calls.end(); ++it) {
      if (*it == frame) {
        calls.erase(it);
        break;
      }
    }
    marked = (reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)[index].Control &
              SL_PENDING_RETURNED) != 0;
  }
  if (status == STATUS_PENDING && !marked) {
    if (record != nullptr) {
      record->locations[index].awaited.push_back(AwaitedMark{driver, device});
      return;
    }
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch routine of driver %s (device %p, major function 0x%X) returned "
             "STATUS_PENDING without marking IRP %p pending (IoMarkIrpPending)",
             NameOrNone(driver), static_cast<void*>(device), major, static_cast<void*>(irp));
  }
  if (status != STATUS_PENDING && marked) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch routine of driver %s (device %p, major function 0x%X): IRP %p was marked "
             "pending but its dispatch returned 0x%08lX, not STATUS_PENDING",
             NameOrNone(driver), static_cast<void*>(device), major, static_cast<void*>(irp),
             static_cast<unsigned long>(status));
  }
}

// The completion leaves location `index`, whose pending mark is `marked`;
// lock held. Tells the calls in progress and checks the awaited marks.
void LeaveLocation(PIRP irp, IrpRecord* record, int index, bool marked) {
  LocationOwner& owner = record->locations[index];
  for (const auto& frame : owner.calls) {
    frame->unwound = true;
    frame->marked = marked;
  }
  if (!marked && !owner.awaited.empty()) {
    const AwaitedMark& awaited = owner.awaited.front();
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch routine of driver %s (device %p) returned STATUS_PENDING without marking "
             "IRP %p pending (IoMarkIrpPending): its stack location %d was still not marked when "
             "the request completed (a completion routine must mark it when PendingReturned)",
             NameOrNone(awaited.driver), static_cast<void*>(awaited.device),
             static_cast<void*>(irp), index);
  }
  owner = LocationOwner();
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool power) {
  const char* service = power ? "PoCallDriver" : "IofCallDriver";
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, service);
  internal::KernelEntry entry;
  PDRIVER_DISPATCH dispatch;
  PDRIVER_OBJECT driver;
  UCHAR major;
  std::shared_ptr<CallFrame> frame;
  int frameIndex;
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(irp);
    if (record == nullptr) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "%s: %p is not an allocated IRP%s", service,
               static_cast<void*>(irp),
               InQuarantine(irp) ? " (it was completed and freed already)" : "");
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
    int index = IndexOf(irp, next);
    LocationOwner& owner = record->locations[index];
    UCHAR invoke = next->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    // A location handed down before is the caller's own, skipped
    // (IoSkipCurrentIrpStackLocation): its completion routine is the one
    // the driver above left for itself, and must reach the next driver as
    // it was.
    if (owner.handed && (owner.routine != next->CompletionRoutine ||
                         owner.context != next->Context || owner.invoke != invoke)) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "%s: driver %s (device %p) skipped its stack location of IRP %p and then changed "
               "its completion routine (IoSetCompletionRoutine after "
               "IoSkipCurrentIrpStackLocation): routine %p of driver %s was replaced by %p",
               service, NameOrNone(owner.driver), static_cast<void*>(owner.device),
               static_cast<void*>(irp), reinterpret_cast<void*>(owner.routine),
               NameOrNone(RoutineOwner(record, index)),
               reinterpret_cast<void*>(next->CompletionRoutine));
    }
    owner.handed = true;
    frame = std::make_shared<CallFrame>();
    owner.calls.push_back(frame);
    frameIndex = index;
    owner.device = device;
    owner.driver = device->DriverObject;
    owner.routine = next->CompletionRoutine;
    owner.context = next->Context;
    owner.invoke = invoke;
    if (!record->sent)
      record->major = next->MajorFunction;
    record->sent = true;
    record->seenBy.emplace_back(device, device->DriverObject);
    record->haltedAt = -1;
    record->withDrivers = true;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    next->DeviceObject = device;
    major = next->MajorFunction;
    driver = device->DriverObject;
    dispatch = driver->MajorFunction[major];
  }
  // Chaos mode: the request reaches the next driver late; whoever holds
  // it already (a cancel, a completion from below) may get there first.
  Chaos::At(Chaos::kCallDriver);
  KIRQL irql = internal::CurrentIrql();
  NTSTATUS status;
  {
    internal::DriverContext context(driver);
    status = dispatch(device, irp);
  }
  if (internal::CurrentIrql() != irql) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL,
             "dispatch routine %p of driver %s (major function 0x%X, device %p) returned at IRQL "
             "%u; it was called at IRQL %u",
             reinterpret_cast<void*>(dispatch), internal::DriverNameOf(driver), major,
             static_cast<void*>(device), internal::CurrentIrql(), irql);
  }
  CheckPendingContract(irp, frame, frameIndex, status, driver, device, major);
  return status;
}

namespace {

// The end of an IRP completed to the top: for the I/O manager's own, the
// requester's result and the I/O manager's end of the request, then the
// IRP is freed. Lock not held.
void FinishAtTop(PIRP irp) {
  std::shared_ptr<RequestResult> result;
  std::function<void(PIRP)> finish;
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(irp);
    record->withDrivers = false;
    if (!record->ioManager) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IRP %p from IoAllocateIrp (driver %s) completed to the top: its sender's "
               "completion routine must return STATUS_MORE_PROCESSING_REQUIRED",
               static_cast<void*>(irp), NameOrNone(record->allocator));
    }
    // Before Windows Vista every driver that sees a power IRP must call
    // PoStartNextPowerIrp for it, or the power manager never sends the
    // device's next one.
    if (record->major == IRP_MJ_POWER) {
      for (const auto& [device, driver] : record->seenBy) {
        if (record->startedNextPower.count(driver) == 0) {
          BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "power IRP %p completed, but driver %s (device %p), which it passed, did not "
                   "call PoStartNextPowerIrp for it",
                   static_cast<void*>(irp), NameOrNone(driver), static_cast<void*>(device));
        }
      }
    }
    result = record->result;
    finish = std::move(record->finish);
    result->status = irp->IoStatus.Status;
    result->information = irp->IoStatus.Information;
    result->pendingReturned = irp->PendingReturned != FALSE;
    result->startNextPowerIrp = record->startNextPowerIrp;
  }
  if (finish)
    finish(irp);
  std::lock_guard<std::mutex> guard(Lock());
  QuarantineIrp(irp, FindIrpRecord(irp));
  Irps().erase(irp);
  result->done = true;
  result->completed.notify_all();
}

}  // namespace

void CompleteRequest(PIRP irp) {
  internal::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  internal::KernelEntry entry;
  PDRIVER_OBJECT completer = internal::CurrentDriverObject();
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(irp);
    if (record == nullptr) {
      BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
               "IofCompleteRequest%s%s: %p is not an allocated IRP%s",
               completer ? " by driver " : "", completer ? NameOrNone(completer) : "",
               static_cast<void*>(irp),
               InQuarantine(irp) ? " (it was completed and freed already)"
                                 : " (completed and freed already?)");
    }
    if (irp->CurrentLocation > irp->StackCount + 1) {
      BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IofCompleteRequest: IRP %p completed twice",
               static_cast<void*>(irp));
    }
    // After a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
    // the IRP belongs to that routine's driver again; a driver below that
    // completes it once more is the culprit, not the owner.
    if (record->haltedAt >= 0 && completer != nullptr) {
      PDRIVER_OBJECT owner = RoutineOwner(record, record->haltedAt);
      if (completer != owner) {
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                 "IofCompleteRequest: driver %s completed IRP %p again; it was completed already "
                 "and driver %s's completion routine returned STATUS_MORE_PROCESSING_REQUIRED, "
                 "so the IRP belongs to driver %s now",
                 NameOrNone(completer), static_cast<void*>(irp), NameOrNone(owner),
                 NameOrNone(owner));
      }
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IofCompleteRequest: IRP %p completed with STATUS_PENDING", static_cast<void*>(irp));
    }
    // The current location belongs to the driver the IRP was last handed
    // to. A driver above it that completes the IRP while that driver still
    // holds it (pending, not completed) takes it away from under it: the
    // lower driver's own completion later is the second one, and would be
    // blamed. Reported here, at the first completion, naming the driver
    // that made it.
    if (completer != nullptr && record->haltedAt < 0) {
      int current = irp->CurrentLocation - 1;
      if (current >= 0 && current < static_cast<int>(record->locations.size())) {
        const LocationOwner& holder = record->locations[current];
        if (holder.handed && holder.driver != nullptr && holder.driver != completer) {
          BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                   "IofCompleteRequest: driver %s completed IRP %p, which driver %s (device %p) "
                   "below it still holds%s and has not completed",
                   NameOrNone(completer), static_cast<void*>(irp), NameOrNone(holder.driver),
                   static_cast<void*>(holder.device),
                   (reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)[current].Control &
                    SL_PENDING_RETURNED)
                       ? " marked pending"
                       : "");
        }
      }
    }
    record->haltedAt = -1;
  }
  // Chaos mode: the completion routines run late, while the sender may be
  // deciding what to do with the request it saw pending.
  Chaos::At(Chaos::kCompleteRequest);

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
    int index = IndexOf(irp, sp);
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
      PDRIVER_OBJECT owner;
      {
        std::lock_guard<std::mutex> guard(Lock());
        IrpRecord* record = FindIrpRecord(irp);
        owner = RoutineOwner(record, index);
        LeaveLocation(irp, record, index, irp->PendingReturned != FALSE);
        // The routine's device and driver must still be there: a filter
        // deleted or unloaded while a request it watches is pending below
        // would run freed code against a freed device.
        if (device != nullptr) {
          DeviceRecord* deviceRecord = FindDeviceRecord(device);
          if (deviceRecord == nullptr || deviceRecord->deleted) {
            BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                     "completion routine %p of driver %s would run for device %p, which is "
                     "deleted (IRP %p)",
                     reinterpret_cast<void*>(routine), NameOrNone(owner),
                     static_cast<void*>(device), static_cast<void*>(irp));
          }
        }
        DriverRecord* driverRecord = owner ? FindDriverRecord(owner) : nullptr;
        if (driverRecord != nullptr && driverRecord->gone) {
          BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                   "completion routine %p of driver %s would run after the driver unloaded "
                   "(IRP %p)",
                   reinterpret_cast<void*>(routine), NameOrNone(owner), static_cast<void*>(irp));
        }
        record->withDrivers = false;  // the routine may keep or free it
      }
      KIRQL irql = internal::CurrentIrql();
      NTSTATUS result;
      RunningCompletion running{owner, routine, irp, IsUnloadSafeCompletion(routine), false};
      EnterCompletionRoutine(&running);
      {
        internal::DriverContext driver(owner);
        result = routine(device, irp, context);
      }
      LeaveCompletionRoutine(&running);
      if (internal::CurrentIrql() != irql) {
        BugCheck(IRQL_NOT_LESS_OR_EQUAL,
                 "completion routine %p of driver %s returned at IRQL %u; it was called at IRQL "
                 "%u",
                 reinterpret_cast<void*>(routine), NameOrNone(owner), internal::CurrentIrql(),
                 irql);
      }
      std::lock_guard<std::mutex> guard(Lock());
      IrpRecord* record = FindIrpRecord(irp);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // Unless the routine sent it down again or freed it, the IRP now
        // waits for its owner to complete or free it.
        if (record != nullptr && !record->withDrivers)
          record->haltedAt = index;
        return;
      }
      if (record == nullptr) {
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "completion routine %p of driver %s freed IRP %p but returned 0x%08lX, not "
                 "STATUS_MORE_PROCESSING_REQUIRED",
                 reinterpret_cast<void*>(routine), NameOrNone(owner), static_cast<void*>(irp),
                 static_cast<unsigned long>(result));
      }
      // Back with the drivers, and at once one location up: an unload
      // looking between the two would find the IRP still "pending" in the
      // device whose routine has just returned.
      record->withDrivers = true;
      sp++;
      irp->CurrentLocation++;
      irp->Tail.Overlay.CurrentStackLocation++;
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
      ZeroStackLocation(sp);
      std::lock_guard<std::mutex> guard(Lock());
      LeaveLocation(irp, FindIrpRecord(irp), index, irp->PendingReturned != FALSE);
      sp++;
      irp->CurrentLocation++;
      irp->Tail.Overlay.CurrentStackLocation++;
    }
  }
  FinishAtTop(irp);
}

namespace {
std::atomic<int> requestWaitLimitMs{120000};
}

Outcome SendAndWait(PDEVICE_OBJECT device, PIRP irp, std::function<void(PIRP)> finish) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "I/O request");
  UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  const KPROCESSOR_MODE mode = irp->RequestorMode;
  std::shared_ptr<RequestResult> result;
  {
    std::lock_guard<std::mutex> guard(Lock());
    IrpRecord* record = FindIrpRecord(irp);
    result = record->result;
    record->finish = std::move(finish);
  }
  NTSTATUS status = CallDriver(device, irp, major == IRP_MJ_POWER);
  if (mode == UserMode)
    internal::CheckNoCriticalRegionAtUserReturn("a request of user mode");
  std::unique_lock<std::mutex> guard(Lock());
  if (status != STATUS_PENDING && !result->done) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch of major function 0x%X returned 0x%08lX without completing IRP %p "
             "(a request not completed must return STATUS_PENDING)",
             major, static_cast<unsigned long>(status), static_cast<void*>(irp));
  }
  // The requester is the test or the tool, not a driver: a request that
  // never completes (left pending, or held by a completion routine that
  // returned STATUS_MORE_PROCESSING_REQUIRED and never finished it) is
  // reported with its owners instead of hanging the process.
  auto limit = std::chrono::milliseconds(requestWaitLimitMs.load());
  if (!result->completed.wait_for(guard, limit, [&result] { return result->done; })) {
    IrpRecord* record = FindIrpRecord(irp);
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "request IRP %p (major function 0x%X) not completed after %d ms; its stack: %s",
             static_cast<void*>(irp), major, requestWaitLimitMs.load(),
             record ? DescribeIrpOwners(record).c_str() : "gone");
  }
  if (status == STATUS_PENDING && !result->pendingReturned) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch of major function 0x%X returned STATUS_PENDING without marking IRP %p "
             "pending (IoMarkIrpPending)",
             major, static_cast<void*>(irp));
  }
  if (status != STATUS_PENDING && result->pendingReturned) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IRP %p was marked pending but its dispatch returned 0x%08lX, not STATUS_PENDING",
             static_cast<void*>(irp), static_cast<unsigned long>(status));
  }
  if (status != STATUS_PENDING && status != result->status) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch of major function 0x%X returned 0x%08lX but completed IRP %p with "
             "0x%08lX",
             major, static_cast<unsigned long>(status), static_cast<void*>(irp),
             static_cast<unsigned long>(result->status));
  }
  return Outcome{result->status, result->information, result->startNextPowerIrp};
}

void CheckDeviceHasNoCompletionPending(PDEVICE_OBJECT device, const char* name) {
  for (const auto& item : Irps()) {
    const IrpRecord* record = item.second.get();
    PIRP irp = record->irp;
    if (!record->withDrivers && record->haltedAt < 0)
      continue;
    int top = static_cast<int>(record->locations.size());
    for (int i = irp->CurrentLocation - 1; i >= 0 && i + 1 < top; ++i) {
      PIO_STACK_LOCATION sp = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + i;
      if (record->locations[i + 1].device == device && sp->CompletionRoutine != nullptr &&
          (sp->Control & 0xE0)) {
        BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                 "IoDeleteDevice: device %p of driver %s is deleted while IRP %p, pending below "
                 "it, still has its completion routine %p to run; its stack: %s",
                 static_cast<void*>(device), name, static_cast<void*>(irp),
                 reinterpret_cast<void*>(sp->CompletionRoutine),
                 DescribeIrpOwners(record).c_str());
      }
    }
  }
}

void CheckDriverIrps(PDRIVER_OBJECT driver, const char* name) {
  std::lock_guard<std::mutex> guard(Lock());
  for (const auto& item : Irps()) {
    const IrpRecord* record = item.second.get();
    if (!record->ioManager && record->allocator == driver) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded without freeing IRP %p, which it allocated; its stack: %s",
               name, static_cast<void*>(record->irp), DescribeIrpOwners(record).c_str());
    }
    PIRP irp = record->irp;
    if (!record->withDrivers)
      continue;
    int current = irp->CurrentLocation - 1;
    if (current >= 0 && current < static_cast<int>(record->locations.size()) &&
        record->locations[current].driver == driver) {
      BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
               "driver %s unloaded with IRP %p pending in its device %p; its stack: %s", name,
               static_cast<void*>(irp), static_cast<void*>(record->locations[current].device),
               DescribeIrpOwners(record).c_str());
    }
  }
}

void CheckNoRequestStuck(const char* when) {
  std::lock_guard<std::mutex> guard(Lock());
  for (const auto& item : Irps()) {
    const IrpRecord* record = item.second.get();
    // A driver's own IRP that its completion routine took back is simply
    // the driver's again (it may keep it for reuse); one that is pending
    // is found at the driver's unload.
    if (record->ioManager && (record->haltedAt >= 0 || record->withDrivers)) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "%s: IRP %p (major function 0x%X) was never completed; its stack: %s", when,
               static_cast<void*>(record->irp), record->major, DescribeIrpOwners(record).c_str());
    }
  }
}

void SetRequestWaitLimitMs(int milliseconds) {
  requestWaitLimitMs = milliseconds;
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

void SetRequestWaitLimit(int milliseconds) {
  io::SetRequestWaitLimitMs(milliseconds);
}

void FailDeviceCreation(int nth, NTSTATUS status) {
  io::failDeviceCreationStatus = status;
  io::failDeviceCreationIn = nth;
}

void FailIrpAllocation(int nth) {
  io::failIrpAllocationIn = nth;
}

void FailMdlMapping(int nth, const char* driver) {
  io::MdlMappings& m = io::Mappings();
  std::lock_guard<std::mutex> guard(m.lock);
  m.failIn = nth;
  m.failDriver = driver != nullptr ? driver : "";
}

unsigned MdlMappingCalls(const char* driver) {
  io::MdlMappings& m = io::Mappings();
  std::lock_guard<std::mutex> guard(m.lock);
  if (driver == nullptr)
    return m.total;
  auto found = m.calls.find(driver);
  return found == m.calls.end() ? 0 : found->second;
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
  if (!name.empty()) {
    device->Flags |= DO_DEVICE_HAS_NAME;
    device->SecurityDescriptor = const_cast<void*>(internal::DefaultNamedDeviceSecurity());
  }
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
  if (DeviceObject->Flags & DO_SHUTDOWN_REGISTERED)
    ForgetShutdownRegistration(DeviceObject);
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link == DeviceObject)
    *link = DeviceObject->NextDevice;
  DeviceObject->NextDevice = nullptr;
  CheckDeviceHasNoCompletionPending(DeviceObject, internal::DriverNameOf(record->driver ? &record->driver->object : nullptr));
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
  PDRIVER_OBJECT caller = internal::CurrentDriverObject();
  if (caller == nullptr && Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount)
    caller = record->locations[Irp->CurrentLocation - 1].driver;
  record->startedNextPower.insert(caller);
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

namespace {

// The mapping both routines make. `mayFail`: a mapping that finds no free
// system page-table entries returns NULL; otherwise it bug-checks, as NT's
// MmMapLockedPages does (it has no way to report the failure).
PVOID MapLockedPages(PMDL mdl, KPROCESSOR_MODE accessMode, bool mayFail, const char* routine) {
  internal::RequireIrqlAtMost(accessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL, routine);
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "%s: the pages of MDL %p are not locked",
             routine, static_cast<void*>(mdl));
  }
  PVOID address = MmGetMdlVirtualAddress(mdl);
  if (accessMode != KernelMode)
    return address;
  if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
    return mdl->MappedSystemVa;
  // Every other kernel-mode call takes system page-table entries, even for
  // an MDL that is mapped already (NT makes a second mapping then).
  if (CountMappingAndFail()) {
    if (mayFail)
      return nullptr;
    const char* driver = internal::CurrentDriverName();
    BugCheck(NO_MORE_SYSTEM_PTES,
             "%s of MDL %p (%lu bytes) in kernel mode found no free system page-table entries%s%s; "
             "a mapping that may fail needs MmMapLockedPagesSpecifyCache with BugCheckOnFailure "
             "FALSE, or MDL_MAPPING_CAN_FAIL",
             routine, static_cast<void*>(mdl), static_cast<unsigned long>(mdl->ByteCount),
             driver != nullptr ? " in driver " : "", driver != nullptr ? driver : "");
  }
  // Locked user pages get a system address of their own, valid in any
  // context; the user address itself stays out of a driver's reach.
  if (IsUserAddress(address, mdl->ByteCount == 0 ? 1 : mdl->ByteCount))
    address = UserAccess(address, mdl->ByteCount == 0 ? 1 : mdl->ByteCount);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  mdl->MappedSystemVa = address;
  return address;
}

}  // namespace

extern "C" PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MapLockedPages(MemoryDescriptorList, AccessMode,
                        (MemoryDescriptorList->MdlFlags & MDL_MAPPING_CAN_FAIL) != 0,
                        "MmMapLockedPages");
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                    KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType,
                                                    PVOID BaseAddress, ULONG BugCheckOnFailure,
                                                    MM_PAGE_PRIORITY Priority) {
  if (CacheType != MmNonCached && CacheType != MmCached && CacheType != MmWriteCombined) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "MmMapLockedPagesSpecifyCache: cache type %d is none of the system's", int(CacheType));
  }
  if (AccessMode == KernelMode && BaseAddress != nullptr) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "MmMapLockedPagesSpecifyCache: a base address is for user-mode mappings only");
  }
  (void)Priority;  // every mapping has the same chance here
  return MapLockedPages(MemoryDescriptorList, AccessMode, BugCheckOnFailure == FALSE,
                        "MmMapLockedPagesSpecifyCache");
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
  // The DPC and its routine are the emulated hardware's, not the calling
  // driver's: once the completion has returned no driver code is left to
  // run in it, and the driver's unload has nothing of it to flush. (A
  // request still pending in the driver's devices is caught at its unload.)
  internal::DriverContext hardware(nullptr);
  KeInsertQueueDpc(&completion->dpc, nullptr, nullptr);
}

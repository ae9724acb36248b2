// Shared internals of the emulated I/O manager (not part of any public
// interface): the records kept beside the kernel's own structures, the
// object namespace, file objects, and the I/O manager's own requests.
//
// One lock guards all of it. It is never held across a call into a driver
// (dispatch, completion, unload routines), since drivers call back into the
// I/O manager from there.
#pragma once

#include <condition_variable>
#include <functional>
#include <set>
#include <vector>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "emu/BugCheck.h"
#include <ntddk.h>

// The I/O manager's private part of every device object.
struct _DEVOBJ_EXTENSION {
  CSHORT Type;
  USHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG ExtensionFlags;
  PDEVICE_OBJECT AttachedTo;
};

namespace emu {
namespace io {

#define IO_TYPE_DEVICE_OBJECT_EXTENSION 13
#define DO_DEVICE_HAS_NAME 0x00000040
#define DOE_DELETE_PENDING 0x00000002

std::mutex& Lock();

std::string Narrow(const std::u16string& text);
std::u16string Widen(const std::string& text);
std::u16string FromUnicodeString(PCUNICODE_STRING string);
std::u16string Upcase(std::u16string text);

struct DriverRecord {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::string name;
  std::u16string driverName;
  std::u16string serviceKeyName;
  ULONG poolTag = 0;
  bool loaded = false;   // DriverEntry succeeded and no unload yet
  bool gone = false;     // unloaded, or its DriverEntry failed
  int deviceMemory = 0;  // device objects whose memory is not freed yet
};

struct DeviceRecord {
  PDEVICE_OBJECT object = nullptr;
  DriverRecord* driver = nullptr;
  std::u16string name;  // the object path, empty for an unnamed device
  bool deleted = false;
};

// Lookups; call with Lock() held. Null when unknown.
DriverRecord* FindDriverRecord(PDRIVER_OBJECT driverObject);
DeviceRecord* FindDeviceRecord(PDEVICE_OBJECT deviceObject);
// Bug-checks for an unknown or freed device object.
DeviceRecord* RequireDevice(PDEVICE_OBJECT deviceObject, const char* service);

// The device below `device` in its stack (null at the bottom). Lock held.
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
// The top of the stack above `device`. Lock held.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// The type of file objects (objects of the object manager, whose last
// reference sends IRP_MJ_CLOSE).
POBJECT_TYPE FileObjectType();

// Frees a deleted device object whose last reference is gone. Lock held.
void ReleaseDeviceIfUnused(PDEVICE_OBJECT device);
// Forgets a driver that is unloaded and owns no device memory. Lock held.
void ForgetDriverIfGone(DriverRecord* driver);

// The driver whose DriverEntry or unload routine the calling thread is in.
DriverRecord*& CurrentDriver();

// ---------------------------------------------------------------------------
// The object namespace: \Device, \?? (also named \DosDevices), \Driver, the
// devices named in them, symbolic links, and the volume of drive C.

struct Resolved {
  enum Kind { kDevice, kVolume } kind = kDevice;
  PDEVICE_OBJECT device = nullptr;  // kDevice
  std::u16string remainder;         // the rest of the path after the object, "" or "\..."
};

class ObjectNamespace {
 public:
  static ObjectNamespace& Get();  // Lock held

  // Checks and normalises an object path: absolute, no empty component,
  // \DosDevices\ and \GLOBAL??\ spelled \??\. STATUS_OBJECT_NAME_INVALID for
  // a malformed path, STATUS_OBJECT_PATH_SYNTAX_BAD for a relative one.
  static NTSTATUS Normalize(const std::u16string& path, std::u16string* normalized);

  NTSTATUS InsertDevice(const std::u16string& path, PDEVICE_OBJECT device);
  void RemoveDevice(const std::u16string& path);
  NTSTATUS InsertLink(const std::u16string& link, const std::u16string& target,
                      DriverRecord* owner);
  NTSTATUS RemoveLink(const std::u16string& link);
  std::u16string LinkTarget(const std::u16string& link) const;
  // The first link that belongs to `driver`, if any.
  bool FindLinkOf(const DriverRecord* driver, std::u16string* link) const;
  // Follows links to a device or the volume.
  NTSTATUS Resolve(const std::u16string& path, Resolved* resolved) const;

 private:
  ObjectNamespace();
  struct Entry {
    enum Kind { kDevice, kLink, kVolume } kind = kDevice;
    Entry() = default;
    explicit Entry(Kind k) : kind(k) {}
    PDEVICE_OBJECT device = nullptr;
    std::u16string target;
    const DriverRecord* owner = nullptr;
    std::u16string path;
  };
  bool DirectoryExists(const std::u16string& key) const;
  NTSTATUS CheckNewName(const std::u16string& path, std::u16string* key) const;
  std::map<std::u16string, Entry> entries_;  // by upper-cased path
};

// ---------------------------------------------------------------------------
// IRPs.

// Who owns one stack location of an IRP: the device it was handed to by
// IofCallDriver, and the completion routine that the driver above had left
// in it at that moment (the routine runs for the device above, so nobody
// below may change it).
// One IofCallDriver in progress for a stack location: what the completion
// saw of the location's pending mark when it left the location, for the
// check of the pending contract when the dispatch routine returns (the IRP
// may be completed and freed by then).
struct CallFrame {
  bool unwound = false;
  bool marked = false;
};

// A dispatch routine that returned STATUS_PENDING before the location it
// was called with carried the pending mark: the mark must be there when the
// completion leaves the location (set by a completion routine of the
// driver's when PendingReturned).
struct AwaitedMark {
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

struct LocationOwner {
  bool handed = false;
  PDEVICE_OBJECT device = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PIO_COMPLETION_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  UCHAR invoke = 0;  // the SL_INVOKE_ON_* bits
  // The calls made with this location (a filter that skips its location
  // and the driver below it share one) and the marks awaited for it.
  std::vector<std::shared_ptr<CallFrame>> calls;
  std::vector<AwaitedMark> awaited;
};

// What the requester of one of the I/O manager's own IRPs learns at its
// completion. The IRP itself is freed as soon as it has completed to the
// top (as the kernel's completion does), so this outlives it.
struct RequestResult {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  bool pendingReturned = false;
  int startNextPowerIrp = 0;
  std::condition_variable completed;
};

struct IrpRecord {
  PIRP irp = nullptr;
  bool ioManager = false;    // built by the I/O manager for a request of its own
  bool withDrivers = false;  // sent down and not yet handed back by completion
  PDRIVER_OBJECT allocator = nullptr;  // the driver that called IoAllocateIrp
  bool sent = false;                   // handed down at least once
  UCHAR major = 0;                     // of the first location handed down
  // Every device the IRP was handed to, with its driver, in order.
  std::vector<std::pair<PDEVICE_OBJECT, PDRIVER_OBJECT>> seenBy;
  std::vector<LocationOwner> locations;  // index 0 is the bottom location
  // The location whose completion routine returned
  // STATUS_MORE_PROCESSING_REQUIRED (-1: none since the last call down).
  int haltedAt = -1;
  // Drivers that called PoStartNextPowerIrp for this IRP.
  std::set<PDRIVER_OBJECT> startedNextPower;
  int startNextPowerIrp = 0;
  // The I/O manager's own IRPs: the requester's copy of the result, and
  // the I/O manager's end of the request (copying buffered output back,
  // freeing the system buffer and the MDLs), run when it completes to the
  // top, before the IRP is freed.
  std::shared_ptr<RequestResult> result;
  std::function<void(PIRP)> finish;
};

IrpRecord* FindIrpRecord(PIRP irp);  // Lock held
// Allocates an IRP for the I/O manager's own request (never fails: the
// I/O manager's must-succeed path is what a host request stands for; the
// failure injection of IoAllocateIrp applies unless `mustSucceed`).
PIRP AllocateIrp(CCHAR stackSize, bool ioManager, bool mustSucceed);
void FreeIrp(PIRP irp);
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool power);

// Sends an IRP of the I/O manager that the caller built (its next stack
// location filled) to `device`, waits until it has completed to the top,
// checks the driver's pending and status contract, and returns its result.
// The IRP is freed by its completion: the caller must not touch it after
// this returns. `finish`, if given, runs at the completion to the top
// (in the completing thread, up to DISPATCH_LEVEL) before the IRP is freed.
// A request that does not complete within the request wait limit
// bug-checks with the owners of its stack locations instead of hanging.
struct Outcome {
  NTSTATUS status;
  ULONG_PTR information;
  int startNextPowerIrp;
};
Outcome SendAndWait(PDEVICE_OBJECT device, PIRP irp, std::function<void(PIRP)> finish = nullptr);

// The stack locations of a live IRP and their owners, for messages. Lock
// held.
std::string DescribeIrpOwners(const IrpRecord* record);

// Unload checks of the I/O manager: IRPs the driver allocated and did not
// free, and IRPs pending in one of its devices or with one of its
// completion routines still to run.
void CheckDriverIrps(PDRIVER_OBJECT driver, const char* name);
// Device deletion: no IRP may still have a completion routine to run for
// the device. Lock held.
void CheckDeviceHasNoCompletionPending(PDEVICE_OBJECT device, const char* name);
// Shutdown: every request of the I/O manager still in the hands of
// drivers is stuck; bug-checks with its owners.
void CheckNoRequestStuck(const char* when);
// Bug-checks (DRIVER_CORRUPTED_EXPOOL) when an IRP still held back after
// its free was written since; `when` ends the message.
void CheckFreedIrps(const char* when);
void SetRequestWaitLimitMs(int milliseconds);

// Completion routines being run (IoCompletion.cpp). The completion walk
// registers each routine of a driver around its call, so that the unload
// can tell a routine still running: on a system with
// IoSetCompletionRoutineEx that is a fault unless the routine was set with
// it, whose device reference holds the unload until the routine returns.
// No lock held.
struct RunningCompletion {
  PDRIVER_OBJECT owner;
  PIO_COMPLETION_ROUTINE routine;
  PIRP irp;
  bool unloadSafe;  // the I/O manager's routine of IoSetCompletionRoutineEx
  bool seen;        // the unload has looked at it
};
bool IsUnloadSafeCompletion(PIO_COMPLETION_ROUTINE routine);
void EnterCompletionRoutine(RunningCompletion* running);
// With the hold on, waits until the owner's unload has looked.
void LeaveCompletionRoutine(RunningCompletion* running);
void HoldCompletionReturns(bool hold);
void CheckDriverCompletionRoutines(PDRIVER_OBJECT driver, const char* name);

// Shutdown notification (IoShutdown.cpp). The devices registered, the last
// registered first, as the I/O manager notifies them.
std::vector<PDEVICE_OBJECT> ShutdownDevices();
// IoDeleteDevice drops the device's registration, as on NT.
void ForgetShutdownRegistration(PDEVICE_OBJECT device);
// Unload: a registration of one of the driver's devices left behind would
// send the request into code that is gone.
void CheckDriverShutdownRegistrations(PDRIVER_OBJECT driver, const char* name);
// After ShutDownSystem: the volumes refuse writes.
bool SystemIsShutDown();
void SetSystemShutDown(bool down);

// ---------------------------------------------------------------------------
// File objects.

struct FileRecord {
  FILE_OBJECT* object = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the device the file was opened on (FileObject->DeviceObject)
  KPROCESSOR_MODE mode = KernelMode;
  LONG handles = 0;
  LONG pointers = 0;
  std::u16string fileName;
  // Host files of drive C.
  bool hostFile = false;
  int fd = -1;
  std::string hostPath;
  ACCESS_MASK access = 0;
  ULONG shareAccess = 0;
};

FileRecord* FindFileRecord(PFILE_OBJECT file);  // Lock held

// Opens a device by object path as the I/O manager's parse routine does:
// checks the device (deleted, initialising, exclusive), builds the file
// object, sends IRP_MJ_CREATE to the top of the stack. On success the file
// has one handle and one reference.
NTSTATUS OpenDeviceFile(const std::u16string& path, KPROCESSOR_MODE mode, ACCESS_MASK desiredAccess,
                        ULONG shareAccess, ULONG options, PFILE_OBJECT* file);

// Handle and reference counting of file objects. The last handle sends
// IRP_MJ_CLEANUP, the last reference IRP_MJ_CLOSE (deferred to a worker
// thread when it is dropped above APC_LEVEL).
void ReferenceFile(PFILE_OBJECT file);
void DereferenceFile(PFILE_OBJECT file);
void CloseFileHandle(PFILE_OBJECT file);
// For the host file system: a file object with one handle and one reference
// for a host file it opened.
PFILE_OBJECT CreateHostFileObject(std::unique_ptr<FileRecord> record);
// Whether opening `hostPath` for `access` with `shareAccess` conflicts with
// an open of it that is still there. Lock held.
bool HostFileShareConflict(const std::string& hostPath, ACCESS_MASK access, ULONG shareAccess);
// Whether any open of `hostPath` is still there, whatever its access. Lock
// held.
bool HostFileIsOpen(const std::string& hostPath);
// Closes the host file of a file object whose last reference went.
void CloseHostFile(FileRecord* record);

}  // namespace io
}  // namespace emu

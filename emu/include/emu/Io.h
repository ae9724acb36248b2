// The host side of the emulated I/O manager: loading and unloading drivers,
// and sending requests to devices the way applications (user mode) and
// kernel components (kernel mode) do. Tests, the simulated CAPI
// applications and the control tool use these; drivers never do.
//
// Every call here runs at PASSIVE_LEVEL in the calling host thread and is
// synchronous: a request that a driver leaves pending is waited for, as the
// I/O manager waits for a request on a file opened for synchronous I/O (for
// at most the request wait limit, SetRequestWaitLimit). The IRP of a request
// is freed as soon as it completes to the top, as the kernel frees it: a
// driver must not touch it after completing it or after IoCallDriver
// returned. Freed IRPs stay poisoned for a while (unaddressable under
// AddressSanitizer).
#pragma once

#include <cstdint>
#include <string>

#include <ntddk.h>

namespace emu {

// ---------------------------------------------------------------------------
// Drivers.

// Loads a driver: builds its driver object (\Driver\NAME), calls DriverEntry
// with it and its service key, \Registry\Machine\System\CurrentControlSet
// \Services\NAME, and on success readies the devices it created (clears
// DO_DEVICE_INITIALIZING). `poolTag` is the tag the driver allocates with;
// unloading (or a failing DriverEntry) bug-checks if blocks of that tag are
// still allocated. 0 skips that check. Several drivers may be loaded at once;
// loading a name twice fails with STATUS_IMAGE_ALREADY_LOADED.
NTSTATUS LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry, ULONG poolTag,
                    PDRIVER_OBJECT* driverObject = nullptr);

// Unloads a loaded driver: calls its unload routine, then bug-checks
// (DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, naming the
// driver) if anything of the driver can still run or be touched: a system
// thread it created that has not ended, a timer it set, a DPC it queued (or
// its timer did), a work item it queued, an IRP it allocated and did not
// free, an IRP pending in one of its devices; then if it left a device
// object, a symbolic link to one of its devices, or a pool block. A DPC,
// work item or thread already running is given a short grace to end. A
// driver without an unload routine cannot be unloaded:
// STATUS_INVALID_DEVICE_REQUEST, and nothing happens.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject);

// The loaded driver of that name, or null.
PDRIVER_OBJECT FindDriver(const std::string& name);

// Calls the driver's AddDevice routine, as the Plug and Play manager does
// for a new device, with `physicalDevice` as the physical device object.
// STATUS_NOT_SUPPORTED if the driver has none.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice);

// ---------------------------------------------------------------------------
// The object namespace.

// The device object that an object path (\Device\X, \??\X, \DosDevices\X,
// following symbolic links) names, or null. The device itself, not the top
// of its stack.
PDEVICE_OBJECT FindDevice(const std::u16string& path);

// The target of a symbolic link, or an empty string if there is none.
std::u16string SymbolicLinkTarget(const std::u16string& linkPath);

// The top of the device stack that `device` is part of.
PDEVICE_OBJECT StackTop(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// Requests.

struct IoResult {
  NTSTATUS status;
  ULONG_PTR information;
};

// Opens a device by path: "\\.\NAME" (the Win32 form, through \DosDevices),
// or an object path ("\Device\NAME", "\DosDevices\NAME", "\??\NAME"). The
// create request goes to the top of the named device's stack with
// RequestorMode `mode`; later requests on the handle carry the same mode.
// An exclusive device that is already open refuses with
// STATUS_ACCESS_DENIED, and so does a user-mode open that the device's
// security refuses to the calling thread's process (emu/Process.h). The
// handle belongs to a table of its own (an application's handles are not
// kernel handles); any thread may use it, as a handle duplicated into
// another process, and every request runs in the process of the thread
// that sends it, with that process's identity.
NTSTATUS Open(const std::u16string& path, KPROCESSOR_MODE mode, HANDLE* handle,
              ACCESS_MASK desiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE);
NTSTATUS Open(const std::string& path, KPROCESSOR_MODE mode, HANDLE* handle,
              ACCESS_MASK desiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE);

// Closes a handle of Open: the last handle of the file sends IRP_MJ_CLEANUP,
// the last reference to it IRP_MJ_CLOSE. STATUS_INVALID_HANDLE for an
// unknown handle.
NTSTATUS Close(HANDLE handle);

// Read, write and device I/O control, built as the I/O manager builds them:
// buffered I/O (a system buffer, copied in for writes and input, copied out
// for reads and output, `information` bytes) on a device with DO_BUFFERED_IO,
// direct I/O (a locked MDL) with DO_DIRECT_IO, neither otherwise. For device
// I/O control the method comes from the code's low two bits instead.
IoResult Read(HANDLE handle, void* buffer, ULONG length, LONGLONG byteOffset = 0);
IoResult Write(HANDLE handle, const void* buffer, ULONG length, LONGLONG byteOffset = 0);
IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength);

// For a handle opened in user mode the caller's buffers are placed in user
// memory (emu/UserMemory.h) for the time of the request, as an
// application's buffers are: UserBuffer, the METHOD_NEITHER input pointer
// and the pages of a direct I/O MDL are user addresses that a driver may
// not dereference (the MDL's system mapping and the system buffer it may).
// What the driver wrote comes back to the caller's buffer at the end. For a
// handle opened in kernel mode the buffers are passed as they are.

// A user-mode device I/O control whose buffers are user memory already
// (UserAlloc, UserCopy), such as a parameter block that holds user
// pointers to further user memory. Nothing is copied back: the caller reads
// the output through UserAccess.
IoResult DeviceIoControlUser(HANDLE handle, ULONG code, const void* userInput, ULONG inputLength,
                             void* userOutput, ULONG outputLength);

// A new block of user memory holding a copy of `bytes` (free it with
// UserFree).
void* UserCopy(const void* bytes, size_t length);

// Internal device I/O control, which only kernel components can send (the
// handle must have been opened in kernel mode, or this bug-checks). The
// parameters are passed as given: Type3InputBuffer = `type3Input`,
// UserBuffer = `output`, SystemBuffer = `systemBuffer`; nothing is copied.
IoResult InternalDeviceIoControl(HANDLE handle, ULONG code, void* type3Input, ULONG inputLength,
                                 void* output, ULONG outputLength, void* systemBuffer = nullptr);

// The file object behind a handle of Open (null for an unknown handle).
PFILE_OBJECT FileObjectOf(HANDLE handle);

// Plug and Play and power requests, sent as the Plug and Play and power
// managers send them: kernel mode, to the top of `device`'s stack, the
// status initialised to STATUS_NOT_SUPPORTED. A remove-device request
// (IRP_MN_REMOVE_DEVICE) is the typical one.
IoResult SendPnp(PDEVICE_OBJECT device, UCHAR minorFunction);

struct PowerResult {
  NTSTATUS status;
  ULONG_PTR information;
  // How often PoStartNextPowerIrp was called for the request (every driver
  // of the stack must call it exactly once on Windows before Vista).
  int startNextPowerIrpCalls;
};
PowerResult SendPower(PDEVICE_OBJECT device, UCHAR minorFunction, POWER_STATE_TYPE type,
                      POWER_STATE state);

// The system's shutdown: IRP_MJ_SHUTDOWN to every device registered with
// IoRegisterShutdownNotification (the last registered first), then the file
// systems go: every ZwWriteFile fails with STATUS_TOO_LATE until
// RestartSystem (a test's or a scenario's next boot).
void ShutDownSystem();
void RestartSystem();

// ---------------------------------------------------------------------------
// Completion in interrupt-driven context.

// Completes `irp` the way a device driver does from its DPC after the
// hardware finished the transfer: a DPC is queued, and the DPC thread calls
// IoCompleteRequest(irp, boost) at DISPATCH_LEVEL, so every completion
// routine above runs at DISPATCH_LEVEL (paged pool, waits and file calls
// there bug-check). Returns at once; the caller must have marked the
// request pending and returned (or be about to return) STATUS_PENDING, and
// must have set IoStatus before calling. The IRP must not be touched by the
// caller afterwards. Callable at IRQL <= DISPATCH_LEVEL from any thread.
// A driver may equally queue its own KDPC and complete from it: the checks
// are the same.
void CompleteFromDpc(PIRP irp, CCHAR boost = IO_NO_INCREMENT);

// ---------------------------------------------------------------------------
// Observation and fault injection.

// The IRPs allocated and not yet freed, the I/O manager's own included.
int LiveIrpCount();

// How often PoStartNextPowerIrp has been called for `irp` (alive).
int StartNextPowerIrpCalls(PIRP irp);

// How long a request of this API waits for its completion before it stops
// the process with a bug check listing the owners of the request's stack
// locations (a request left pending forever, or held by a completion
// routine that returned STATUS_MORE_PROCESSING_REQUIRED and never
// finished it). The default is 120000 ms.
void SetRequestWaitLimit(int milliseconds);

// Makes IoCreateDevice fail with `status` on the `nth` call from now (1 =
// the next one), once. 0 disarms.
void FailDeviceCreation(int nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);

// Makes IoAllocateIrp return null on the `nth` call from now, once. 0
// disarms. The I/O manager's own requests then fail with
// STATUS_INSUFFICIENT_RESOURCES.
void FailIrpAllocation(int nth);

// Makes the `nth` kernel-mode mapping of an MDL's pages from now (1 = the
// next one) find no free system page-table entries, once; 0 disarms. As
// on NT, MmMapLockedPages then bug-checks NO_MORE_SYSTEM_PTES unless the
// MDL carries MDL_MAPPING_CAN_FAIL, and MmMapLockedPagesSpecifyCache
// returns NULL when told not to bug-check. An MDL of non-paged pool needs
// no mapping and never fails. With `driver` ("\\Driver\\Pellinor"), only
// that driver's mappings count.
void FailMdlMapping(int nth, const char* driver = nullptr);
// The kernel-mode mappings of MDL pages made or attempted so far (by
// `driver` only, when given).
unsigned MdlMappingCalls(const char* driver = nullptr);

}  // namespace emu

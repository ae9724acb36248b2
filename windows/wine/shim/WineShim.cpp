// pellinor-wine-shim.sys: test setup of the Wine job only, never shipped.
//
// Wine runs kernel drivers inside one user-mode process (winedevice.exe),
// and its ntoskrnl.exe exports some routines only as placeholders: a short
// thunk that aborts the whole process when called. MmGetSystemRoutineAddress
// finds them like real routines, so a driver that looks a routine up and
// checks for NULL, as Windows asks, still calls the placeholder. This driver
// loads first into the same process (the services share a load-order group)
// and, in that process, replaces each placeholder the Pellinor driver reaches
// with a routine that does the documented work through the Win32 calls Wine
// does implement. Only exports that are placeholders are touched: a Wine
// that implements one keeps its own.
//
// Two routines Wine does implement are replaced too, because what they do
// there is not what Windows does and the Pellinor driver has no documented
// alternative that Wine serves (windows/wine/DIFFERENCES.md 9):
// IoGetDeviceObjectPointer, which there hands back a placeholder device for
// any name, finds the device of the job's CAPI provider through its driver
// object instead. And IoDetachDevice, which does what Wine's does and then
// sets the named event \BaseNamedObjects\PellinorWineDetached: Wine
// dispatches every request of the driver host on one thread, so while a
// forced stop waits there for the requests pending below the trace device,
// no request can ask whether it has gone (DIFFERENCES.md 15); the job waits
// for the event instead.
//
// What it leaves untested: the subject of the access check is the driver
// host's token (every Wine process runs as the same user), not the caller's;
// the lookup of a device by its name.
//
// It writes what it replaced to C:\pellinor-wine-shim.txt, one line each.
#include <windows.h>

#include <stddef.h>
#include <string.h>

struct KernelUnicodeString;

// Kernel routines of Wine's ntoskrnl.exe that the shim calls (stdcall).
extern "C" {
__declspec(dllimport) LONG WINAPI ObReferenceObjectByName(KernelUnicodeString* name,
                                                         ULONG attributes, void* accessState,
                                                         ACCESS_MASK access, void* type,
                                                         CHAR mode, void* parse, void** object);
// Not ObReferenceObjectByPointer: a stub in Wine 8.0 that only fails.
__declspec(dllimport) void __fastcall ObfReferenceObject(void* object);
__declspec(dllimport) void WINAPI ObDereferenceObject(void* object);
__declspec(dllimport) void* WINAPI IoGetAttachedDevice(void* device);
__declspec(dllimport) LONG WINAPI ZwCreateEvent(HANDLE* event, ACCESS_MASK access,
                                               void* attributes, int type, BOOLEAN state);
__declspec(dllimport) LONG WINAPI ZwSetEvent(HANDLE event, LONG* previous);
}

namespace {

// The few kernel layouts this driver touches (i386).
}  // namespace

struct KernelUnicodeString {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};

namespace {

struct DriverObjectHead {
  SHORT type;
  SHORT size;
  void* deviceObject;
  ULONG flags;
  void* driverStart;
  ULONG driverSize;
  void* driverSection;
  void* driverExtension;
  KernelUnicodeString driverName;
  void* hardwareDatabase;
  void* fastIoDispatch;
  void* driverInit;
  void* driverStartIo;
  void(WINAPI* driverUnload)(DriverObjectHead*);
};
static_assert(offsetof(DriverObjectHead, driverUnload) == 0x34, "DRIVER_OBJECT.DriverUnload");

// The start of a DEVICE_OBJECT (i386): what the device lookup reads.
struct DeviceObjectHead {
  SHORT type;
  USHORT size;
  LONG referenceCount;
  DriverObjectHead* driverObject;
  DeviceObjectHead* nextDevice;
  DeviceObjectHead* attachedDevice;
};
static_assert(offsetof(DeviceObjectHead, attachedDevice) == 0x10, "DEVICE_OBJECT.AttachedDevice");

// The parts of an IRP and its stack locations a completion routine is set in.
struct StackLocationHead {
  UCHAR majorFunction;
  UCHAR minorFunction;
  UCHAR flags;
  UCHAR control;
  BYTE parameters[16];
  DeviceObjectHead* deviceObject;
  void* fileObject;
  void* completionRoutine;
  void* context;
};
static_assert(sizeof(StackLocationHead) == 0x24, "IO_STACK_LOCATION");
constexpr size_t kIrpCurrentStackLocation = 0x60;  // IRP.Tail.Overlay.CurrentStackLocation
constexpr UCHAR kInvokeOnCancel = 0x20;
constexpr UCHAR kInvokeOnSuccess = 0x40;
constexpr UCHAR kInvokeOnError = 0x80;

using CompletionRoutine = LONG(WINAPI*)(DeviceObjectHead* device, void* irp, void* context);

struct SubjectContext {  // SECURITY_SUBJECT_CONTEXT
  HANDLE clientToken;
  SECURITY_IMPERSONATION_LEVEL impersonationLevel;
  HANDLE primaryToken;
  void* processAuditId;
};
static_assert(sizeof(SubjectContext) == 16, "SECURITY_SUBJECT_CONTEXT");

constexpr LONG STATUS_OK = 0;
constexpr LONG STATUS_DENIED = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusNoMemory = static_cast<LONG>(0xC000009A);
constexpr LONG kStatusNameNotFound = static_cast<LONG>(0xC0000034);
constexpr ULONG kObjCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE
// The first address past user space, as drivers probe against it. Windows
// i386 says 0x7FFF0000; under Wine a driver's memory, its pool included, is
// the driver host's, below that, and every buffer a driver is handed there
// is a copy in that memory: Windows' value would make a kernel-mode
// client's pool buffers user addresses, which the trace driver and the
// provider rightly do not follow. The lowest address a Wine process maps
// makes the driver host's memory the system space it stands for
// (DIFFERENCES.md 4).
constexpr ULONG USER_PROBE_ADDRESS = 0x00010000;

HANDLE report = INVALID_HANDLE_VALUE;

// One line: NAME, then WHAT.
void Report(const char* name, const char* what) {
  if (report == INVALID_HANDLE_VALUE)
    return;
  DWORD written = 0;
  WriteFile(report, name, lstrlenA(name), &written, NULL);
  WriteFile(report, ": ", 2, &written, NULL);
  WriteFile(report, what, lstrlenA(what), &written, NULL);
  WriteFile(report, "\r\n", 2, &written, NULL);
}

// SeCaptureSubjectContext: the token the access check will judge, as an
// impersonation token (what the check needs), kept in the context until
// SeReleaseSubjectContext.
void WINAPI CaptureSubjectContext(SubjectContext* subject) {
  memset(subject, 0, sizeof *subject);
  HANDLE process = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
    return;
  HANDLE token = NULL;
  if (DuplicateToken(process, SecurityIdentification, &token)) {
    subject->clientToken = token;
    subject->impersonationLevel = SecurityIdentification;
  }
  CloseHandle(process);
}

void WINAPI ReleaseSubjectContext(SubjectContext* subject) {
  if (subject->clientToken != NULL)
    CloseHandle(subject->clientToken);
  subject->clientToken = NULL;
}

// SeAccessCheck, evaluated by Wine's own access check (AccessCheck) on the
// captured token: the descriptor's DACL is really read.
BOOLEAN WINAPI AccessCheckRoutine(PSECURITY_DESCRIPTOR descriptor, SubjectContext* subject,
                                  BOOLEAN /*locked*/, ACCESS_MASK desired, ACCESS_MASK previously,
                                  PPRIVILEGE_SET* privileges, PGENERIC_MAPPING mapping,
                                  CCHAR /*mode*/, PACCESS_MASK granted, LONG* status) {
  if (privileges != NULL)
    *privileges = NULL;
  *granted = 0;
  *status = STATUS_DENIED;
  if (subject->clientToken == NULL)
    return FALSE;
  ACCESS_MASK wanted = desired;
  MapGenericMask(&wanted, mapping);
  wanted &= ~previously;
  if (wanted == 0) {
    *granted = previously;
    *status = STATUS_OK;
    return TRUE;
  }
  BYTE privilegeBuffer[sizeof(PRIVILEGE_SET) + 4 * sizeof(LUID_AND_ATTRIBUTES)];
  DWORD privilegeLength = sizeof privilegeBuffer;
  DWORD grantedNow = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(descriptor, subject->clientToken, wanted, mapping,
                   reinterpret_cast<PPRIVILEGE_SET>(privilegeBuffer), &privilegeLength, &grantedNow,
                   &allowed))
    return FALSE;
  if (!allowed)
    return FALSE;
  *granted = grantedNow | previously;
  *status = STATUS_OK;
  return TRUE;
}

// The devices the job's drivers create and whose driver owns each: Wine
// has no lookup of a device object by name that a driver can call.
struct KnownDevice {
  const wchar_t* device;
  const wchar_t* driver;
};
constexpr KnownDevice kKnownDevices[] = {
    {L"\\Device\\CAPI201", L"\\Driver\\CapiSim"},
};
static_assert(sizeof(kKnownDevices) / sizeof(kKnownDevices[0]) == 1, "one provider in the job");

bool SameName(const KernelUnicodeString* name, const wchar_t* text) {
  const size_t length = static_cast<size_t>(lstrlenW(text));
  if (name == NULL || name->buffer == NULL || name->length != length * sizeof(wchar_t))
    return false;
  // Object names compare without case; the names here are ASCII.
  for (size_t i = 0; i < length; ++i) {
    wchar_t a = name->buffer[i], b = text[i];
    if (a >= L'a' && a <= L'z')
      a = static_cast<wchar_t>(a - L'a' + L'A');
    if (b >= L'a' && b <= L'z')
      b = static_cast<wchar_t>(b - L'a' + L'A');
    if (a != b)
      return false;
  }
  return true;
}

// IoGetDeviceObjectPointer for the devices above: the device object is the
// first its driver created, and the result the top of its stack, as Windows
// gives it. Windows hands back a file object opened on the device as well,
// which the caller dereferences when it is done; here a reference on the
// device object stands in for it (the caller never uses it otherwise, and
// ObDereferenceObject takes either). No create request reaches the device.
LONG WINAPI GetDeviceObjectPointer(KernelUnicodeString* name, ACCESS_MASK, void** file,
                                   DeviceObjectHead** device) {
  for (const KnownDevice& known : kKnownDevices) {
    if (!SameName(name, known.device))
      continue;
    KernelUnicodeString driverName;
    driverName.length = static_cast<USHORT>(lstrlenW(known.driver) * sizeof(wchar_t));
    driverName.maximumLength = driverName.length;
    driverName.buffer = const_cast<PWSTR>(known.driver);
    void* object = NULL;
    // No object type: Wine takes none (and finds only driver objects).
    LONG status = ObReferenceObjectByName(&driverName, kObjCaseInsensitive, NULL, 0, NULL, 0, NULL,
                                          &object);
    if (status < 0)
      return kStatusNameNotFound;
    // The driver's first device: the last of its list, as the I/O manager
    // puts each new device at its head (the provider driver creates its
    // test client's device after the provider's own).
    DeviceObjectHead* named =
        static_cast<DeviceObjectHead*>(static_cast<DriverObjectHead*>(object)->deviceObject);
    while (named != NULL && named->nextDevice != NULL) named = named->nextDevice;
    if (named != NULL)
      ObfReferenceObject(named);
    ObDereferenceObject(object);
    if (named == NULL)
      return kStatusNameNotFound;
    *file = named;
    *device = static_cast<DeviceObjectHead*>(IoGetAttachedDevice(named));
    return STATUS_OK;
  }
  return kStatusNameNotFound;
}

// The event IoDetachDevice sets (a synchronization event: one waiter).
HANDLE detached = NULL;

struct ObjectAttributes {  // OBJECT_ATTRIBUTES
  ULONG length;
  HANDLE rootDirectory;
  KernelUnicodeString* objectName;
  ULONG attributes;
  void* securityDescriptor;
  void* securityQualityOfService;
};
static_assert(sizeof(ObjectAttributes) == 24, "OBJECT_ATTRIBUTES");
constexpr ULONG kObjOpenIf = 0x80;         // OBJ_OPENIF
constexpr ULONG kObjKernelHandle = 0x200;  // OBJ_KERNEL_HANDLE
constexpr int kSynchronizationEvent = 1;

void CreateDetachedEvent() {
  static wchar_t name[] = L"\\BaseNamedObjects\\PellinorWineDetached";
  KernelUnicodeString text = {static_cast<USHORT>(wcslen(name) * sizeof(wchar_t)),
                              static_cast<USHORT>(sizeof name), name};
  ObjectAttributes attributes = {sizeof attributes, NULL, &text, kObjOpenIf | kObjKernelHandle,
                                 NULL, NULL};
  if (ZwCreateEvent(&detached, 0x1F0003 /* EVENT_ALL_ACCESS */, &attributes,
                    kSynchronizationEvent, FALSE) < 0) {
    detached = NULL;
    Report("PellinorWineDetached", "NOT created: the job cannot see a detach");
  }
}

// Wine 8.0's IoDetachDevice clears the device's AttachedDevice and nothing
// else; so does this, before it tells the job.
void WINAPI DetachDevice(DeviceObjectHead* device) {
  device->attachedDevice = NULL;
  if (detached != NULL)
    ZwSetEvent(detached, NULL);
}

// IoSetCompletionRoutineEx: the caller's routine runs from a routine of the
// shim's, which holds a reference on the caller's device object until that
// routine has returned (what the Windows routine is for: the caller's image
// may not go while its routine runs).
struct CompletionContext {
  CompletionRoutine routine;
  void* context;
  DeviceObjectHead* device;
};

LONG WINAPI CompleteThenRelease(DeviceObjectHead* device, void* irp, void* context) {
  CompletionContext* held = static_cast<CompletionContext*>(context);
  LONG result = held->routine(device, irp, held->context);
  ObDereferenceObject(held->device);
  HeapFree(GetProcessHeap(), 0, held);
  return result;
}

LONG WINAPI SetCompletionRoutineEx(DeviceObjectHead* device, void* irp, CompletionRoutine routine,
                                   void* context, BOOLEAN success, BOOLEAN error,
                                   BOOLEAN cancel) {
  CompletionContext* held = static_cast<CompletionContext*>(
      HeapAlloc(GetProcessHeap(), 0, sizeof(CompletionContext)));
  if (held == NULL)
    return kStatusNoMemory;
  ObfReferenceObject(device);
  held->routine = routine;
  held->context = context;
  held->device = device;
  StackLocationHead* current;
  memcpy(&current, static_cast<BYTE*>(irp) + kIrpCurrentStackLocation, sizeof current);
  StackLocationHead* next = current - 1;
  next->completionRoutine = reinterpret_cast<void*>(&CompleteThenRelease);
  next->context = held;
  next->control = static_cast<UCHAR>((success ? kInvokeOnSuccess : 0) |
                                     (error ? kInvokeOnError : 0) |
                                     (cancel ? kInvokeOnCancel : 0));
  return STATUS_OK;
}

struct Module {
  BYTE* base;
  DWORD size;
};

bool Describe(const wchar_t* name, Module* module) {
  module->base = reinterpret_cast<BYTE*>(GetModuleHandleW(name));
  if (module->base == NULL)
    return false;
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module->base);
  const IMAGE_NT_HEADERS* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(module->base + dos->e_lfanew);
  module->size = nt->OptionalHeader.SizeOfImage;
  return true;
}

// A placeholder's thunk hands its own name (an absolute address in the same
// image) to the routine that aborts; a real routine does not begin so.
bool IsPlaceholder(const Module& module, const BYTE* code, const char* name) {
  const size_t length = strlen(name) + 1;
  for (int i = 0; i + 4 <= 40; ++i) {
    DWORD value;
    memcpy(&value, code + i, sizeof value);
    BYTE* text = reinterpret_cast<BYTE*>(static_cast<ULONG_PTR>(value));
    if (text < module.base || text + length > module.base + module.size)
      continue;
    if (memcmp(text, name, length) == 0)
      return true;
  }
  return false;
}

bool Write(BYTE* at, const void* bytes, size_t count) {
  DWORD old = 0;
  if (!VirtualProtect(at, count, PAGE_EXECUTE_READWRITE, &old))
    return false;
  memcpy(at, bytes, count);
  VirtualProtect(at, count, old, &old);
  FlushInstructionCache(GetCurrentProcess(), at, count);
  return true;
}

// The export NAME of the module, or null (reported) when there is none.
BYTE* Export(const Module& module, const char* name) {
  BYTE* code =
      reinterpret_cast<BYTE*>(GetProcAddress(reinterpret_cast<HMODULE>(module.base), name));
  if (code == NULL)
    Report(name, "not exported; left alone");
  return code;
}

// A jump to ROUTINE over the first bytes of CODE.
bool WriteJump(BYTE* code, const void* routine) {
  BYTE jump[5] = {0xE9};
  const LONG offset = static_cast<LONG>(reinterpret_cast<const BYTE*>(routine) - (code + 5));
  memcpy(jump + 1, &offset, sizeof offset);
  return Write(code, jump, sizeof jump);
}

// Replaces the placeholder NAME with a jump to ROUTINE, or (DATA) with the
// value a data export holds on Windows.
void Replace(const Module& module, const char* name, const void* routine, const DWORD* data) {
  BYTE* code = Export(module, name);
  if (code == NULL)
    return;
  if (!IsPlaceholder(module, code, name)) {
    Report(name, "implemented by this Wine; left alone");
    return;
  }
  const bool written = data != NULL ? Write(code, data, sizeof *data) : WriteJump(code, routine);
  Report(name, written ? "a placeholder; replaced" : "a placeholder; NOT replaced (write failed)");
}

// Replaces the routine NAME that this Wine implements otherwise than
// Windows with a jump to ROUTINE, whatever it is.
void Override(const Module& module, const char* name, const void* routine, const char* why) {
  BYTE* code = Export(module, name);
  if (code != NULL)
    Report(name, WriteJump(code, routine) ? why : "NOT replaced (write failed)");
}

void WINAPI Unload(DriverObjectHead*) {
  // The replaced thunks jump into this image: once it is gone they must not
  // be reached. The job stops this driver only as Wine itself goes.
  if (report != INVALID_HANDLE_VALUE)
    CloseHandle(report);
  report = INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" LONG WINAPI DriverEntry(DriverObjectHead* driver, KernelUnicodeString*) {
  report = CreateFileW(L"C:\\pellinor-wine-shim.txt", GENERIC_WRITE, FILE_SHARE_READ, NULL,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  Module kernel;
  if (!Describe(L"ntoskrnl.exe", &kernel)) {
    Report("ntoskrnl.exe", "not loaded in the driver host");
    return static_cast<LONG>(0xC0000001);
  }
  Replace(kernel, "SeCaptureSubjectContext", reinterpret_cast<const void*>(&CaptureSubjectContext),
          NULL);
  Replace(kernel, "SeReleaseSubjectContext", reinterpret_cast<const void*>(&ReleaseSubjectContext),
          NULL);
  Replace(kernel, "SeAccessCheck", reinterpret_cast<const void*>(&AccessCheckRoutine), NULL);
  Replace(kernel, "IoSetCompletionRoutineEx", reinterpret_cast<const void*>(&SetCompletionRoutineEx),
          NULL);
  Override(kernel, "IoGetDeviceObjectPointer", reinterpret_cast<const void*>(&GetDeviceObjectPointer),
           "a placeholder device for any name in this Wine; replaced by a lookup through the "
           "driver object");
  CreateDetachedEvent();
  Override(kernel, "IoDetachDevice", reinterpret_cast<const void*>(&DetachDevice),
           "what Wine's does, then the event PellinorWineDetached set for the job");
  static const DWORD probe = USER_PROBE_ADDRESS;
  Replace(kernel, "MmUserProbeAddress", NULL, &probe);
  driver->driverUnload = &Unload;
  return STATUS_OK;
}

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
// What it leaves untested: the subject of the access check is the driver
// host's token (every Wine process runs as the same user), not the caller's.
//
// It writes what it replaced to C:\pellinor-wine-shim.txt, one line each.
#include <windows.h>

#include <stddef.h>
#include <string.h>

namespace {

// The few kernel layouts this driver touches (i386).
struct KernelUnicodeString {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};
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

struct SubjectContext {  // SECURITY_SUBJECT_CONTEXT
  HANDLE clientToken;
  SECURITY_IMPERSONATION_LEVEL impersonationLevel;
  HANDLE primaryToken;
  void* processAuditId;
};
static_assert(sizeof(SubjectContext) == 16, "SECURITY_SUBJECT_CONTEXT");

constexpr LONG STATUS_OK = 0;
constexpr LONG STATUS_DENIED = static_cast<LONG>(0xC0000022);
// Windows i386 without /3GB: the first address past user space's probe limit.
constexpr ULONG USER_PROBE_ADDRESS = 0x7FFF0000;

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

// Replaces the placeholder NAME with a jump to ROUTINE, or (DATA) with the
// value a data export holds on Windows.
void Replace(const Module& module, const char* name, const void* routine, const DWORD* data) {
  BYTE* code =
      reinterpret_cast<BYTE*>(GetProcAddress(reinterpret_cast<HMODULE>(module.base), name));
  if (code == NULL) {
    Report(name, "not exported; left alone");
    return;
  }
  if (!IsPlaceholder(module, code, name)) {
    Report(name, "implemented by this Wine; left alone");
    return;
  }
  bool written;
  if (data != NULL) {
    written = Write(code, data, sizeof *data);
  } else {
    BYTE jump[5] = {0xE9};
    const LONG offset = static_cast<LONG>(reinterpret_cast<const BYTE*>(routine) - (code + 5));
    memcpy(jump + 1, &offset, sizeof offset);
    written = Write(code, jump, sizeof jump);
  }
  Report(name, written ? "a placeholder; replaced" : "a placeholder; NOT replaced (write failed)");
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
  static const DWORD probe = USER_PROBE_ADDRESS;
  Replace(kernel, "MmUserProbeAddress", NULL, &probe);
  driver->driverUnload = &Unload;
  return STATUS_OK;
}

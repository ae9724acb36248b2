// The emulated kernel's exports by name: what a driver image's import table
// is bound to. Every function here already has the calling convention the
// DDK gives it (stdcall, fastcall for the Iof/Kf/Kef/Obf/Exf functions and
// the interlocked operations, cdecl for the run-time library), so its address
// is the import target as it stands.
#include <setjmp.h>
#include <strings.h>

#include <cstring>

#include "emu/Image.h"
#include <ntifs.h>

namespace emu {
namespace {

const char kNt[] = "ntoskrnl.exe";
const char kHal[] = "hal.dll";

// The C library's strchr is overloaded in C++; the kernel exports the C one.
char* KernelStrchr(const char* string, int c) { return const_cast<char*>(::strchr(string, c)); }

// System threads of images. The emulated PsTerminateSystemThread leaves the
// thread's frames by throwing to where the thread began, and the C++
// unwinder cannot pass frames of code built without unwind tables, as a
// driver's is. So an image's threads start in ImageThreadStart, which marks
// the point to return to; the image's PsTerminateSystemThread jumps back
// there over the image's frames (leaving them as the kernel does, without
// running anything in them) and ends the thread from host code.
struct ImageThread {
  PKSTART_ROUTINE routine;
  PVOID context;
};
struct ImageThreadExit {
  jmp_buf resume;
  NTSTATUS status;
  bool armed;
};
thread_local ImageThreadExit imageThreadExit;

VOID NTAPI ImageThreadStart(PVOID parameter) {
  const ImageThread start = *static_cast<ImageThread*>(parameter);
  delete static_cast<ImageThread*>(parameter);
  imageThreadExit.armed = true;
  if (setjmp(imageThreadExit.resume) == 0) {
    start.routine(start.context);
    imageThreadExit.armed = false;
    return;
  }
  imageThreadExit.armed = false;
  PsTerminateSystemThread(imageThreadExit.status);
}

NTSTATUS NTAPI ImagePsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                         struct _OBJECT_ATTRIBUTES* ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                         PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  auto* start = new ImageThread{StartRoutine, StartContext};
  const NTSTATUS status = PsCreateSystemThread(ThreadHandle, DesiredAccess, ObjectAttributes,
                                               ProcessHandle, ClientId, ImageThreadStart, start);
  if (!NT_SUCCESS(status))
    delete start;
  return status;
}

NTSTATUS NTAPI ImagePsTerminateSystemThread(NTSTATUS ExitStatus) {
  // Outside a thread an image started (a misuse), the kernel's own check
  // speaks.
  if (!imageThreadExit.armed)
    PsTerminateSystemThread(ExitStatus);
  imageThreadExit.status = ExitStatus;
  longjmp(imageThreadExit.resume, 1);
}

#define EXPORT(module, function) \
  { module, #function, reinterpret_cast<const void*>(&function) }

// Addresses are not constant expressions, so the table cannot be constexpr;
// it is still built before any code runs (constant initialisation).
const KernelExport kExports[] = {
    // I/O manager and power manager.
    EXPORT(kNt, IoCreateDevice),
    EXPORT(kNt, IoDeleteDevice),
    EXPORT(kNt, IoRegisterShutdownNotification),
    EXPORT(kNt, IoUnregisterShutdownNotification),
    EXPORT(kNt, IoCreateSymbolicLink),
    EXPORT(kNt, IoDeleteSymbolicLink),
    EXPORT(kNt, IoGetDeviceObjectPointer),
    EXPORT(kNt, IoAttachDeviceToDeviceStack),
    EXPORT(kNt, IoDetachDevice),
    EXPORT(kNt, IoSetCompletionRoutineEx),
    EXPORT(kNt, IoGetAttachedDevice),
    EXPORT(kNt, IoGetRelatedDeviceObject),
    EXPORT(kNt, IoAllocateIrp),
    EXPORT(kNt, IoFreeIrp),
    EXPORT(kNt, IofCallDriver),
    EXPORT(kNt, IofCompleteRequest),
    EXPORT(kNt, IoAllocateMdl),
    EXPORT(kNt, IoFreeMdl),
    EXPORT(kNt, IoAllocateErrorLogEntry),
    EXPORT(kNt, IoWriteErrorLogEntry),
    EXPORT(kNt, PoCallDriver),
    EXPORT(kNt, PoStartNextPowerIrp),
    // Memory manager.
    EXPORT(kNt, MmBuildMdlForNonPagedPool),
    EXPORT(kNt, MmProbeAndLockPages),
    EXPORT(kNt, MmUnlockPages),
    EXPORT(kNt, MmMapLockedPages),
    EXPORT(kNt, MmMapLockedPagesSpecifyCache),
    // Data: the import is the variable's address, as on NT.
    EXPORT(kNt, MmUserProbeAddress),
    EXPORT(kNt, MmHighestUserAddress),
    EXPORT(kNt, MmUnmapLockedPages),
    // What the system is, and the routines that not every system has.
    EXPORT(kNt, IoIsWdmVersionAvailable),
    EXPORT(kNt, MmGetSystemRoutineAddress),
    // File services.
    EXPORT(kNt, ZwCreateFile),
    EXPORT(kNt, ZwQueryInformationFile),
    EXPORT(kNt, ZwSetInformationFile),
    EXPORT(kNt, ZwWriteFile),
    EXPORT(kNt, ZwReadFile),
    EXPORT(kNt, ZwClose),
    // IRQL and spin locks: the hardware abstraction layer's.
    EXPORT(kHal, KeGetCurrentIrql),
    EXPORT(kHal, KfRaiseIrql),
    EXPORT(kHal, KfLowerIrql),
    EXPORT(kHal, KfAcquireSpinLock),
    EXPORT(kHal, KfReleaseSpinLock),
    EXPORT(kNt, KeInitializeSpinLock),
    EXPORT(kNt, KefAcquireSpinLockAtDpcLevel),
    EXPORT(kNt, KefReleaseSpinLockFromDpcLevel),
    EXPORT(kNt, KeBugCheckEx),
    // Pool.
    EXPORT(kNt, ExAllocatePoolWithTag),
    EXPORT(kNt, ExAllocatePool),
    EXPORT(kNt, ExFreePool),
    EXPORT(kNt, ExFreePoolWithTag),
    // Dispatcher objects.
    EXPORT(kNt, KeInitializeEvent),
    EXPORT(kNt, KeSetEvent),
    EXPORT(kNt, KeResetEvent),
    EXPORT(kNt, KeClearEvent),
    EXPORT(kNt, KeReadStateEvent),
    EXPORT(kNt, KeInitializeSemaphore),
    EXPORT(kNt, KeReleaseSemaphore),
    EXPORT(kNt, KeReadStateSemaphore),
    EXPORT(kNt, KeWaitForSingleObject),
    EXPORT(kNt, KeDelayExecutionThread),
    // Interlocked operations and lists.
    EXPORT(kNt, InterlockedIncrement),
    EXPORT(kNt, InterlockedDecrement),
    EXPORT(kNt, InterlockedExchange),
    EXPORT(kNt, InterlockedExchangeAdd),
    EXPORT(kNt, InterlockedCompareExchange),
    EXPORT(kNt, ExfInterlockedInsertHeadList),
    EXPORT(kNt, ExfInterlockedInsertTailList),
    EXPORT(kNt, ExfInterlockedRemoveHeadList),
    // Timers, DPCs, work items.
    EXPORT(kNt, KeInitializeDpc),
    EXPORT(kNt, KeInsertQueueDpc),
    EXPORT(kNt, KeRemoveQueueDpc),
    EXPORT(kNt, KeFlushQueuedDpcs),
    EXPORT(kNt, KeInitializeTimer),
    EXPORT(kNt, KeSetTimer),
    EXPORT(kNt, KeCancelTimer),
    EXPORT(kNt, KeReadStateTimer),
    EXPORT(kNt, ExQueueWorkItem),
    EXPORT(kNt, IoAllocateWorkItem),
    EXPORT(kNt, IoQueueWorkItem),
    EXPORT(kNt, IoFreeWorkItem),
    // Threads and objects.
    {kNt, "PsCreateSystemThread", reinterpret_cast<const void*>(&ImagePsCreateSystemThread)},
    {kNt, "PsTerminateSystemThread", reinterpret_cast<const void*>(&ImagePsTerminateSystemThread)},
    EXPORT(kNt, PsGetCurrentThread),
    EXPORT(kNt, PsGetCurrentProcessId),
    EXPORT(kNt, PsGetCurrentThreadId),
    EXPORT(kNt, KeGetCurrentThread),
    EXPORT(kNt, KeEnterCriticalRegion),
    EXPORT(kNt, KeLeaveCriticalRegion),
    EXPORT(kNt, PsThreadType),
    EXPORT(kNt, ObReferenceObjectByHandle),
    EXPORT(kNt, ObfReferenceObject),
    EXPORT(kNt, ObfDereferenceObject),
    // Security.
    EXPORT(kNt, SeCaptureSubjectContext),
    EXPORT(kNt, SeReleaseSubjectContext),
    EXPORT(kNt, SeAccessCheck),
    // Time.
    EXPORT(kNt, KeQuerySystemTime),
    EXPORT(kNt, RtlTimeToTimeFields),
    // Registry.
    EXPORT(kNt, RtlQueryRegistryValues),
    EXPORT(kNt, RtlWriteRegistryValue),
    EXPORT(kNt, RtlDeleteRegistryValue),
    EXPORT(kNt, RtlCreateRegistryKey),
    EXPORT(kNt, RtlCheckRegistryKey),
    // Counted strings and memory.
    EXPORT(kNt, RtlInitAnsiString),
    EXPORT(kNt, RtlInitString),
    EXPORT(kNt, RtlInitUnicodeString),
    EXPORT(kNt, RtlAnsiStringToUnicodeString),
    EXPORT(kNt, RtlUnicodeStringToAnsiString),
    EXPORT(kNt, RtlFreeUnicodeString),
    EXPORT(kNt, RtlFreeAnsiString),
    EXPORT(kNt, RtlCopyUnicodeString),
    EXPORT(kNt, RtlEqualUnicodeString),
    EXPORT(kNt, RtlCompareMemory),
    // The run-time library. sprintf, vsprintf and wcslen must be the
    // kernel's: the C library's have a 32-bit wchar_t and no %ws, and print
    // %p its own way. The memory and string helpers behave the same in both,
    // and the C library's are cdecl as the kernel's are.
    {kNt, "sprintf", reinterpret_cast<const void*>(&EmuRtlSprintf)},
    {kNt, "vsprintf", reinterpret_cast<const void*>(&EmuRtlVsprintf)},
    {kNt, "_snprintf", reinterpret_cast<const void*>(&EmuRtlSnprintf)},
    {kNt, "_vsnprintf", reinterpret_cast<const void*>(&EmuRtlVsnprintf)},
    {kNt, "wcslen", reinterpret_cast<const void*>(&EmuRtlWcslen)},
    {kNt, "strchr", reinterpret_cast<const void*>(&KernelStrchr)},
    {kNt, "strlen", reinterpret_cast<const void*>(&::strlen)},
    {kNt, "memcpy", reinterpret_cast<const void*>(&::memcpy)},
    {kNt, "memset", reinterpret_cast<const void*>(&::memset)},
    {kNt, "memmove", reinterpret_cast<const void*>(&::memmove)},
    {kNt, "memcmp", reinterpret_cast<const void*>(&::memcmp)},
};

#undef EXPORT

static_assert(sizeof kExports / sizeof kExports[0] > 100, "the kernel's exports");

}  // namespace

const KernelExport* KernelExports(size_t* count) {
  *count = sizeof kExports / sizeof kExports[0];
  return kExports;
}

const KernelExport* FindKernelExport(const char* module, const char* name) {
  for (const KernelExport& item : kExports) {
    if (strcasecmp(item.module, module) == 0 && std::strcmp(item.name, name) == 0)
      return &item;
  }
  return nullptr;
}

bool IsKernelModule(const char* module) {
  for (const KernelExport& item : kExports) {
    if (strcasecmp(item.module, module) == 0)
      return true;
  }
  return false;
}

}  // namespace emu

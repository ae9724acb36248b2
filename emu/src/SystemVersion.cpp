// The system the emulated kernel presents, and the two services a driver
// asks it with.
#include "emu/SystemVersion.h"

#include <atomic>
#include <cstring>
#include <string>

#include <ntddk.h>

#include "KernelInternal.h"
#include "emu/BugCheck.h"
#include "emu/Image.h"

namespace emu {
namespace {

std::atomic<SystemVersion> current{SystemVersion::WindowsXp};

struct FirstVersion {
  const char* name;
  SystemVersion version;
};

// Exports of the emulated kernel that not every system has. Everything not
// listed here is taken to exist on every system the driver supports.
// (From the DDK's requirements of each routine: "Windows 2000 and later",
// "Windows XP and later".)
const FirstVersion kNotEverywhere[] = {
    {"MmGetSystemRoutineAddress", SystemVersion::Windows2000},
    {"MmMapLockedPagesSpecifyCache", SystemVersion::Windows2000},
    {"MmUserProbeAddress", SystemVersion::Windows2000},
    {"MmHighestUserAddress", SystemVersion::Windows2000},
    {"KeEnterCriticalRegion", SystemVersion::Windows2000},
    {"KeLeaveCriticalRegion", SystemVersion::Windows2000},
    {"IoAllocateWorkItem", SystemVersion::Windows2000},
    {"IoQueueWorkItem", SystemVersion::Windows2000},
    {"IoFreeWorkItem", SystemVersion::Windows2000},
    {"KeFlushQueuedDpcs", SystemVersion::WindowsXp},
    {"IoSetCompletionRoutineEx", SystemVersion::WindowsXp},
};

struct WdmVersion {
  UCHAR major;
  UCHAR minor;
};

WdmVersion WdmVersionOf(SystemVersion version) {
  switch (version) {
    case SystemVersion::Windows98:
      return {1, 0x00};
    case SystemVersion::Windows2000:
      return {1, 0x10};
    case SystemVersion::WindowsXp:
      break;
  }
  return {1, 0x20};
}

}  // namespace

void SetSystemVersion(SystemVersion version) { current.store(version); }

SystemVersion CurrentSystemVersion() { return current.load(); }

SystemVersion FirstExportedIn(const char* name) {
  for (const FirstVersion& item : kNotEverywhere) {
    if (std::strcmp(item.name, name) == 0)
      return item.version;
  }
  return SystemVersion::Windows98;
}

}  // namespace emu

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  const emu::WdmVersion version = emu::WdmVersionOf(emu::current.load());
  return MajorVersion < version.major ||
         (MajorVersion == version.major && MinorVersion <= version.minor);
}

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
  if (emu::current.load() < emu::FirstExportedIn("MmGetSystemRoutineAddress")) {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "MmGetSystemRoutineAddress called on a system that does not export it "
                  "(Windows 98/Me): ask IoIsWdmVersionAvailable first");
  }
  if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr)
    return nullptr;
  std::string name;
  for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
    const WCHAR c = SystemRoutineName->Buffer[i];
    if (c == 0 || c > 0x7F)
      return nullptr;
    name += static_cast<char>(c);
  }
  // The kernel's and the HAL's exports, as on Windows.
  const emu::KernelExport* found = emu::FindKernelExport("ntoskrnl.exe", name.c_str());
  if (found == nullptr)
    found = emu::FindKernelExport("hal.dll", name.c_str());
  if (found == nullptr || emu::current.load() < emu::FirstExportedIn(name.c_str()))
    return nullptr;
  return const_cast<void*>(found->address);
}

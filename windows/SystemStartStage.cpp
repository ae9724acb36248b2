// SystemStartStage on Windows.
//
// The driver is a WDM driver, and WDM drivers load on Windows 98 and Me as
// well as on Windows 2000 and later. The two families answer the question
// differently:
//
//  - Windows 98/Me: the virtual machine manager knows how far the system
//    has started. Its service 0x0111 (device 0x0001, the VMM itself) is
//    called as every VxD service is: INT 20h followed by the 32-bit service
//    word 0x00010111; the result comes back in EAX. The VMM's INT 20h
//    handler replaces the six bytes of the call site by a direct call the
//    first time it runs (Win9x ring-0 code is writable), which is why the
//    word must follow the instruction immediately.
//  - Windows NT: there is no such service, and INT 20h would fault. The
//    service control manager loads automatic-start drivers only after the
//    boot and system-start drivers, the I/O system and the file systems are
//    up, so the automatic start always sees a started system; a traced
//    device that appears later is found by the 5-second retry.
//
// The family is told apart by the WDM version the system reports, which
// DriverEntry has already asked for (SystemRoutines): 1.10 and later only on
// NT (Windows 98 reports 1.00, Me 1.05). The driver once read its code
// segment instead (0x08 on every i386 NT kernel), but that tells how the
// kernel lays out its descriptor table, not which interface it offers: a
// kernel that runs drivers elsewhere (a user-mode host of drivers, for one)
// would have sent the driver to the VxD call and a fault.
//
// How it was checked (it cannot run on the build machine): the call site
// was disassembled in pellinor.sys (i686-w64-mingw32-objdump -d) and reads
// "cd 20 11 01 01 00", INT 20h with the service word in place, with EAX
// taken as the result, reached only when the version query said the system
// is not NT; the NT branch is the one the host build's seam
// (emu/src/SystemStartStage.cpp) models.
#include "framework/SystemStartStage.h"

#include "framework/SystemRoutines.h"

namespace {

ULONG VmmSystemStartStage() {
  ULONG stage;
  __asm__ __volatile__(
      "int $0x20\n\t"
      ".long 0x00010111"
      : "=a"(stage)
      :
      : "ecx", "edx", "cc", "memory");
  return stage;
}

}  // namespace

ULONG SystemStartStage() {
  if (SystemRoutines::IsNt())
    return SYSTEM_START_STAGE_READY;
  return VmmSystemStartStage();
}

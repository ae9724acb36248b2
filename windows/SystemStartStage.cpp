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
// The family is told apart at run time by the code segment the driver runs
// in, which needs no kernel service (a service that Windows 98 lacks would
// keep the driver from loading there at all): every i386 NT kernel runs
// ring-0 code in selector 0x08 (its GDT's first code entry), while the
// Windows 9x VMM, under which the WDM layer runs its drivers, uses its flat
// ring-0 selector 0x28. (The WDM version the system reports, 1.10 and later
// only on NT, would tell them apart too, but costs an import.)
//
// How it was checked (it cannot run on the build machine): the call site
// was disassembled in pellinor.sys (i686-w64-mingw32-objdump -d) and reads
// "cd 20 11 01 01 00", INT 20h with the service word in place, with EAX
// taken as the result, reached only when CS is not 0x08; the NT branch is
// the one the host build's seam (emu/src/SystemStartStage.cpp) models.
#include "framework/SystemStartStage.h"

namespace {

// The ring-0 code selector of every i386 NT kernel (KGDT_R0_CODE).
constexpr USHORT NT_KERNEL_CODE_SELECTOR = 0x08;

bool RunsOnNt() {
  USHORT selector;
  __asm__ __volatile__("mov %%cs, %0" : "=r"(selector));
  // The low two bits are the privilege level.
  return (selector & ~USHORT(3)) == NT_KERNEL_CODE_SELECTOR;
}

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
  if (RunsOnNt())
    return SYSTEM_START_STAGE_READY;
  return VmmSystemStartStage();
}

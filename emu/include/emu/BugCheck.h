// Bug checks of the emulated kernel. What would crash or hang a real system
// stops the process here with one clear line on stderr:
//   *** BUG CHECK 0x000000C2: BAD_POOL_CALLER: <what happened>
// and then aborts, so a test sees it as a death (EXPECT_DEATH).
#pragma once

#include <cstdint>

namespace emu {

// The codes the emulated kernel raises, with the system's numbers.
enum BugCheckCode : uint32_t {
  APC_INDEX_MISMATCH = 0x01,
  IRQL_NOT_GREATER_OR_EQUAL = 0x09,
  IRQL_NOT_LESS_OR_EQUAL = 0x0A,
  SPIN_LOCK_ALREADY_OWNED = 0x0F,
  SPIN_LOCK_NOT_OWNED = 0x10,
  KMODE_EXCEPTION_NOT_HANDLED = 0x1E,
  INVALID_KERNEL_HANDLE = 0x93,
  BAD_POOL_HEADER = 0x19,
  BAD_POOL_CALLER = 0xC2,
  DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
  TIMER_OR_DPC_INVALID = 0xC7,
  DRIVER_CORRUPTED_EXPOOL = 0xC5,
  WORKER_THREAD_RETURNED_AT_BAD_IRQL = 0xE1,
  WORKER_INVALID = 0xE4,
  SYSTEM_THREAD_EXCEPTION_NOT_HANDLED = 0x7E,
  REFERENCE_BY_POINTER = 0x18,
  PAGE_FAULT_IN_NONPAGED_AREA = 0x50,
  NO_MORE_IRP_STACK_LOCATIONS = 0x35,
  NO_MORE_SYSTEM_PTES = 0x3F,
  MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
  DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9,
  DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
  DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL = 0xD5,
};

// Prints "*** BUG CHECK 0x<code>: <name>: <message>" to stderr, calls the
// hook if one is set, and aborts. Never returns.
[[noreturn]] void BugCheck(uint32_t code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Called with the code and the whole line just before the process stops
// (the scenario runner flushes what it has). The hook must not return into
// the kernel; it is called at most once.
using BugCheckHook = void (*)(uint32_t code, const char* line);
void SetBugCheckHook(BugCheckHook hook);

// The code's symbolic name, or "UNKNOWN_BUG_CHECK".
const char* BugCheckName(uint32_t code);

}  // namespace emu

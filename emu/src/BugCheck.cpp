// Bug checks: one loud line and an abort.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "emu/BugCheck.h"
#include "emu/Chaos.h"
#include <ntddk.h>

namespace emu {
namespace {
std::atomic<BugCheckHook> hook{nullptr};
std::atomic<bool> stopping{false};
}  // namespace

const char* BugCheckName(uint32_t code) {
  switch (code) {
    case APC_INDEX_MISMATCH:
      return "APC_INDEX_MISMATCH";
    case IRQL_NOT_GREATER_OR_EQUAL:
      return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL:
      return "IRQL_NOT_LESS_OR_EQUAL";
    case SPIN_LOCK_ALREADY_OWNED:
      return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED:
      return "SPIN_LOCK_NOT_OWNED";
    case KMODE_EXCEPTION_NOT_HANDLED:
      return "KMODE_EXCEPTION_NOT_HANDLED";
    case INVALID_KERNEL_HANDLE:
      return "INVALID_KERNEL_HANDLE";
    case BAD_POOL_HEADER:
      return "BAD_POOL_HEADER";
    case BAD_POOL_CALLER:
      return "BAD_POOL_CALLER";
    case DRIVER_VERIFIER_DETECTED_VIOLATION:
      return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case TIMER_OR_DPC_INVALID:
      return "TIMER_OR_DPC_INVALID";
    case DRIVER_CORRUPTED_EXPOOL:
      return "DRIVER_CORRUPTED_EXPOOL";
    case WORKER_THREAD_RETURNED_AT_BAD_IRQL:
      return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case WORKER_INVALID:
      return "WORKER_INVALID";
    case SYSTEM_THREAD_EXCEPTION_NOT_HANDLED:
      return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case REFERENCE_BY_POINTER:
      return "REFERENCE_BY_POINTER";
    case PAGE_FAULT_IN_NONPAGED_AREA:
      return "PAGE_FAULT_IN_NONPAGED_AREA";
    case NO_MORE_IRP_STACK_LOCATIONS:
      return "NO_MORE_IRP_STACK_LOCATIONS";
    case NO_MORE_SYSTEM_PTES:
      return "NO_MORE_SYSTEM_PTES";
    case MULTIPLE_IRP_COMPLETE_REQUESTS:
      return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case DRIVER_VERIFIER_IOMANAGER_VIOLATION:
      return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS:
      return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL:
      return "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    default:
      return "UNKNOWN_BUG_CHECK";
  }
}

void BugCheck(uint32_t code, const char* format, ...) {
  char message[768];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  // Under chaos mode the seed goes with the message: the run can be
  // repeated with the same decisions.
  // Not on the stack: a bug check from a fault handler runs on stack whose
  // shadow may still hold the redzones of the frames that were there before
  // the fault (qemu-user's signal frame), and AddressSanitizer would stop
  // the report at a buffer that the compiler does not lay out afresh.
  thread_local char chaos[48];
  chaos[0] = '\0';
  if (Chaos::Enabled())
    snprintf(chaos, sizeof chaos, " (chaos seed %llu)",
             static_cast<unsigned long long>(Chaos::Seed()));
  char line[1024];
  snprintf(line, sizeof line, "*** BUG CHECK 0x%08X: %s: %s%s\n", code, BugCheckName(code), message,
           chaos);
  fputs(line, stderr);
  fflush(stderr);
  // A second bug check while the first is stopping the machine (another
  // thread, or the hook itself) only prints.
  if (!stopping.exchange(true)) {
    if (BugCheckHook h = hook.load())
      h(code, line);
  }
  std::abort();
}

void SetBugCheckHook(BugCheckHook h) {
  hook.store(h);
}

}  // namespace emu

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4) {
  emu::BugCheck(BugCheckCode, "KeBugCheckEx (0x%lX, 0x%lX, 0x%lX, 0x%lX)", P1, P2, P3, P4);
}

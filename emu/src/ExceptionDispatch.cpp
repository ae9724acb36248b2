// Structured exceptions of driver image code.
//
// On i386 NT, kernel-mode code that may touch memory that can fault (a
// user-mode caller's buffer) puts an exception registration record on its
// stack and links it into the thread's exception list, the first word of
// the block the fs segment points at. When the access faults, the kernel
// calls the records' handlers, newest first, with the exception record and
// the processor context; a handler that answers ExceptionContinueExecution
// has the thread go on with the context as it left it.
//
// The emulated kernel gives image code the same: a thread's fs is loaded,
// on the first fs-relative access of image code, with a segment of its own
// (an LDT entry, distinct per thread: the LDT is shared by every thread of
// the process, under qemu-i386 too) over a thread information block whose
// first word is that list. A fault of image code under a registration is
// dispatched to the handlers here, from the SIGSEGV handler.
//
// User memory itself stays unreadable to drivers (emu/UserMemory.h): a byte
// load `movb (%esi),%al` of a readable user address under a registration is
// carried out by the fault handler through the guarded access, as the
// processor would have carried it out on NT, and any other load of a
// readable user address under a registration stops the process (the
// emulation knows only that form). What faults on NT (an address that is not
// user memory of a live block, any user address in the system process)
// raises STATUS_ACCESS_VIOLATION to the handlers.
//
// The thread goes on where the handler (or the load) left it without a
// return from the signal handler: qemu-i386 reloads the segment registers on
// sigreturn from its one descriptor table, which holds the thread-local
// storage segment of the thread created last, so a thread that returned
// from a signal handler there would go on with another thread's gs.
// ResumeThread loads the registers and jumps; the signal frame below the
// resumed stack is dropped, as a longjmp out of the handler drops it.
//
// Only the dispatch NT gives a first-chance exception is modelled: a
// handler answering anything but ExceptionContinueExecution or
// ExceptionContinueSearch (nested, collided) stops the process, and so does
// an exception no handler takes, as KMODE_EXCEPTION_NOT_HANDLED.
#include <asm/ldt.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "KernelInternal.h"
#include "emu/BugCheck.h"
#include "emu/UserMemory.h"

namespace emu {
namespace {

// The thread information block's head: only the exception list is read.
struct ThreadBlock {
  uint32_t exceptionList;
  uint32_t stackBase;
  uint32_t stackLimit;
  uint32_t reserved;
};
constexpr uint32_t kEndOfList = 0xFFFFFFFF;

// One block per LDT entry; entry 0 is never used, so that a selector of 0
// means "none". Threads that hold a segment at once are few (those inside a
// driver's guarded copy); the entries are handed back by LeaveKernel.
constexpr int kEntries = 1024;
ThreadBlock blocks[kEntries];
std::atomic<bool> entryTaken[kEntries];

// What RtlDispatchException hands a handler (i386 layouts).
struct ExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uint32_t nested;
  uint32_t address;
  uint32_t parameterCount;
  uint32_t information[15];
};
static_assert(sizeof(ExceptionRecord) == 80, "EXCEPTION_RECORD (i386)");

struct Context {
  uint32_t contextFlags;
  uint32_t debugRegisters[6];
  uint8_t floatSave[112];
  uint32_t segGs, segFs, segEs, segDs;
  uint32_t edi, esi, ebx, edx, ecx, eax;
  uint32_t ebp, eip, segCs, eflags, esp, segSs;
  uint8_t extendedRegisters[512];
};
static_assert(offsetof(Context, segGs) == 140, "CONTEXT.SegGs (i386)");
static_assert(offsetof(Context, eax) == 176, "CONTEXT.Eax (i386)");
static_assert(offsetof(Context, eip) == 184, "CONTEXT.Eip (i386)");
static_assert(offsetof(Context, esp) == 196, "CONTEXT.Esp (i386)");
static_assert(sizeof(Context) == 716, "CONTEXT (i386)");

struct Registration {
  uint32_t next;
  uint32_t handler;
};
using Handler = int(__attribute__((cdecl)) *)(ExceptionRecord*, void*, Context*, void*);

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kContextFull = 0x00010007;  // CONTEXT_FULL: control, integer, segments
constexpr int kContinueExecution = 0;
constexpr int kContinueSearch = 1;
constexpr uint8_t kFsPrefix = 0x64;

constexpr uint16_t SelectorOf(int entry) { return uint16_t(entry << 3 | 4 | 3); }  // LDT, RPL 3
constexpr int EntryOf(uint32_t selector) { return int((selector & 0xFFFF) >> 3); }
bool IsOurSelector(uint32_t selector) {
  int entry = EntryOf(selector);
  return (selector & 7) == 7 && entry > 0 && entry < kEntries;
}

// Writes LDT entry `entry` over `base`; false when the kernel refuses.
__attribute__((no_sanitize_address)) bool WriteEntry(int entry, const void* base, unsigned limit) {
  struct user_desc desc;
  memset(&desc, 0, sizeof desc);
  desc.entry_number = unsigned(entry);
  desc.base_addr = unsigned(reinterpret_cast<uintptr_t>(base));
  desc.limit = limit;
  desc.seg_32bit = 1;
  desc.useable = 1;
  desc.seg_not_present = limit == 0 ? 1 : 0;
  return syscall(SYS_modify_ldt, 1, &desc, sizeof desc) == 0;
}

// A new segment over a fresh block for the calling thread; its selector.
__attribute__((no_sanitize_address)) uint16_t TakeSegment() {
  for (int entry = 1; entry < kEntries; ++entry) {
    bool expected = false;
    if (!entryTaken[entry].compare_exchange_strong(expected, true))
      continue;
    blocks[entry] = ThreadBlock{kEndOfList, 0, 0, 0};
    if (!WriteEntry(entry, &blocks[entry], sizeof(ThreadBlock) - 1)) {
      BugCheck(KMODE_EXCEPTION_NOT_HANDLED,
               "the emulated kernel cannot give this thread an fs segment for its exception "
               "list (modify_ldt failed)");
    }
    return SelectorOf(entry);
  }
  BugCheck(KMODE_EXCEPTION_NOT_HANDLED,
           "more than %d threads at once hold an exception list segment", kEntries - 1);
}

uint32_t CurrentFs() {
  uint32_t fs = 0;
  asm volatile("movl %%fs, %0" : "=r"(fs));
  return fs & 0xFFFF;
}

void LoadFs(uint32_t selector) { asm volatile("movl %0, %%fs" : : "r"(selector)); }

thread_local int kernelDepth = 0;

// The registers a resumed thread goes on with (ResumeThread's offsets).
struct Resume {
  uint32_t edi, esi, ebx, edx, ecx, eax, ebp, esp, eip, eflags, fs;
};
static_assert(offsetof(Resume, esp) == 28 && offsetof(Resume, fs) == 40, "ResumeThread offsets");

extern "C" [[noreturn]] void EmuResumeThread(const Resume* registers);
// Moves to the resumed stack less 12 bytes, puts EAX, EFLAGS and EIP there,
// loads the rest, and pops the three: the stack ends where it was resumed.
// The 12 bytes lie at the top of the dropped signal frame, above the frame
// of the handler that holds `registers`.
asm(R"(
        .text
        .globl EmuResumeThread
        .type EmuResumeThread, @function
EmuResumeThread:
        movl 4(%esp), %eax
        movl 40(%eax), %ecx
        movl %ecx, %fs
        movl 28(%eax), %esp
        subl $12, %esp
        movl 20(%eax), %ecx
        movl %ecx, 0(%esp)
        movl 36(%eax), %ecx
        movl %ecx, 4(%esp)
        movl 32(%eax), %ecx
        movl %ecx, 8(%esp)
        movl 0(%eax), %edi
        movl 4(%eax), %esi
        movl 8(%eax), %ebx
        movl 12(%eax), %edx
        movl 16(%eax), %ecx
        movl 24(%eax), %ebp
        popl %eax
        popfl
        ret
        .size EmuResumeThread, .-EmuResumeThread
)");

[[noreturn]] __attribute__((no_sanitize_address)) void ResumeWith(const greg_t* r) {
  Resume registers;
  registers.edi = uint32_t(r[REG_EDI]);
  registers.esi = uint32_t(r[REG_ESI]);
  registers.ebx = uint32_t(r[REG_EBX]);
  registers.edx = uint32_t(r[REG_EDX]);
  registers.ecx = uint32_t(r[REG_ECX]);
  registers.eax = uint32_t(r[REG_EAX]);
  registers.ebp = uint32_t(r[REG_EBP]);
  registers.esp = uint32_t(r[REG_ESP]);
  registers.eip = uint32_t(r[REG_EIP]);
  registers.eflags = uint32_t(r[REG_EFL]);
  registers.fs = uint32_t(r[REG_FS]) & 0xFFFF;
#if defined(__SANITIZE_ADDRESS__)
  // The frames left behind must not keep their redzones.
  __asan_handle_no_return();
#endif
  EmuResumeThread(&registers);
}

__attribute__((no_sanitize_address)) void ToContext(const greg_t* r, Context* c) {
  memset(c, 0, sizeof *c);
  c->contextFlags = kContextFull;
  c->segGs = uint32_t(r[REG_GS]);
  c->segFs = uint32_t(r[REG_FS]);
  c->segEs = uint32_t(r[REG_ES]);
  c->segDs = uint32_t(r[REG_DS]);
  c->edi = uint32_t(r[REG_EDI]);
  c->esi = uint32_t(r[REG_ESI]);
  c->ebx = uint32_t(r[REG_EBX]);
  c->edx = uint32_t(r[REG_EDX]);
  c->ecx = uint32_t(r[REG_ECX]);
  c->eax = uint32_t(r[REG_EAX]);
  c->ebp = uint32_t(r[REG_EBP]);
  c->eip = uint32_t(r[REG_EIP]);
  c->segCs = uint32_t(r[REG_CS]);
  c->eflags = uint32_t(r[REG_EFL]);
  c->esp = uint32_t(r[REG_ESP]);
  c->segSs = uint32_t(r[REG_SS]);
}

// What a handler may change and the thread goes on with; the segments stay.
__attribute__((no_sanitize_address)) void FromContext(const Context& c, greg_t* r) {
  r[REG_EDI] = greg_t(c.edi);
  r[REG_ESI] = greg_t(c.esi);
  r[REG_EBX] = greg_t(c.ebx);
  r[REG_EDX] = greg_t(c.edx);
  r[REG_ECX] = greg_t(c.ecx);
  r[REG_EAX] = greg_t(c.eax);
  r[REG_EBP] = greg_t(c.ebp);
  r[REG_EIP] = greg_t(c.eip);
  r[REG_EFL] = greg_t(c.eflags);
  r[REG_ESP] = greg_t(c.esp);
}

}  // namespace

namespace internal {

// Image code keeps the stack 4-byte aligned, and the emulated signal frame
// of qemu-i386 is aligned to 8 bytes only: the stack is realigned here for
// the code this calls (AddressSanitizer's frames rely on it).
__attribute__((no_sanitize_address, force_align_arg_pointer)) bool DispatchImageFault(
    siginfo_t* info, void* context) {
  greg_t* r = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  ClearStackShadow();
  const auto* code = reinterpret_cast<const uint8_t*>(r[REG_EIP]);
  uint32_t fs = uint32_t(r[REG_FS]) & 0xFFFF;
  // Image code reading its exception list before this thread has a
  // segment: give it one and let the instruction run again. Only image code
  // uses fs in this process (the host's threads use gs).
  if (fs == 0 && code != nullptr && internal::IsImageCode(code) && code[0] == kFsPrefix) {
    r[REG_FS] = greg_t(TakeSegment());
    ResumeWith(r);
  }
  if (!IsOurSelector(fs))
    return false;
  ThreadBlock& block = blocks[EntryOf(fs)];
  if (block.exceptionList == kEndOfList)
    return false;
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  // Only faults on user addresses are the frames' to handle here; a
  // driver's fault on its own memory is its bug, and ends the process as
  // before.
  if (!IsUserAddress(info->si_addr, 1) && address >= kUserRangeBase)
    return false;
  uint8_t byte = 0;
  if (GuardedUserRead(address, &byte)) {
    if (code[0] != 0x8A || code[1] != 0x06) {
      BugCheck(KMODE_EXCEPTION_NOT_HANDLED,
               "driver code at %p read the user address %p under an exception frame with an "
               "instruction the emulated kernel does not carry out (it knows movb (%%esi),%%al)",
               static_cast<const void*>(code), info->si_addr);
    }
    r[REG_EAX] = greg_t((uint32_t(r[REG_EAX]) & ~0xFFu) | byte);
    r[REG_EIP] = greg_t(uintptr_t(code) + 2);
    ResumeWith(r);
  }
  ExceptionRecord record;
  memset(&record, 0, sizeof record);
  record.code = kAccessViolation;
  record.address = uint32_t(r[REG_EIP]);
  record.parameterCount = 2;
  record.information[0] = 0;  // a read
  record.information[1] = uint32_t(address);
  Context frame;
  ToContext(r, &frame);
  for (uint32_t at = block.exceptionList; at != kEndOfList;) {
    auto* registration = reinterpret_cast<Registration*>(uintptr_t(at));
    auto handler = reinterpret_cast<Handler>(uintptr_t(registration->handler));
    uint32_t dispatcherContext = 0;
    int disposition = handler(&record, registration, &frame, &dispatcherContext);
    if (disposition == kContinueExecution) {
      FromContext(frame, r);
      ResumeWith(r);
    }
    if (disposition != kContinueSearch) {
      BugCheck(KMODE_EXCEPTION_NOT_HANDLED,
               "the exception handler at %p answered %d to an access violation at %p; the "
               "emulated kernel knows only continue-execution and continue-search",
               reinterpret_cast<void*>(uintptr_t(registration->handler)), disposition,
               info->si_addr);
    }
    at = registration->next;
  }
  BugCheck(KMODE_EXCEPTION_NOT_HANDLED,
           "access violation reading the user address %p at %p: no exception handler took it",
           info->si_addr, static_cast<const void*>(code));
}

void LeaveKernel() {
  uint32_t fs = CurrentFs();
  if (!IsOurSelector(fs))
    return;
  int entry = EntryOf(fs);
  if (blocks[entry].exceptionList != kEndOfList) {
    BugCheck(KMODE_EXCEPTION_NOT_HANDLED,
             "a driver returned to its caller with an exception registration still in the "
             "thread's list (%#x)",
             blocks[entry].exceptionList);
  }
  LoadFs(0);
  WriteEntry(entry, nullptr, 0);
  entryTaken[entry].store(false);
}

KernelEntry::KernelEntry() { ++kernelDepth; }

KernelEntry::~KernelEntry() {
  if (--kernelDepth == 0)
    LeaveKernel();
}

}  // namespace internal
}  // namespace emu

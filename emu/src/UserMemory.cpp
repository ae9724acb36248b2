// The emulated user address space.
//
// Two mappings of the same size in the host process:
//  - the user view, reserved PROT_NONE at a fixed place at the bottom of the
//    address space, as a user process's memory is on NT: every user address
//    lies below MmUserProbeAddress, everything else (pool, the host's heap
//    and stacks, images) above it, so a driver tells them apart as it must
//    on NT. Any access to it faults;
//  - the alias, read-write: what UserAccess returns, at the same offset.
// A fault inside the user view is caught by a SIGSEGV handler and turned into
// the bug check a real system raises for a driver touching memory it may not
// touch: PAGE_FAULT_IN_NONPAGED_AREA with the faulting address. Faults
// elsewhere go to the handler that was there before (AddressSanitizer's, or
// the default action).
//
// Blocks are placed round-robin through the range, so a freed block's
// addresses are not handed out again soon and a stale user pointer stays
// invalid for UserAccess.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "emu/UserMemory.h"
#include "emu/Process.h"
#include "KernelInternal.h"
#include "PoolInternal.h"
#include "emu/BugCheck.h"

namespace emu {
namespace {

constexpr uintptr_t kRangeBytes = kUserRangeBytes;
constexpr uintptr_t kAlignment = 16;
// Unused bytes after every block: a requester's overrun of one block never
// lands in the next.
constexpr uintptr_t kGap = 16;
// The first 64 KB stay unmapped, as on NT (and the host's mmap_min_addr
// keeps them so). Below AddressSanitizer's i386 shadow (0x20000000 on) and
// any executable's usual load address.
constexpr uintptr_t kUserBase = kUserRangeBase;

struct State {
  std::mutex lock;
  uintptr_t userBase = 0;   // the PROT_NONE view
  uintptr_t aliasBase = 0;  // the read-write alias
  uintptr_t cursor = 0;     // offset where the next search starts
  std::map<uintptr_t, size_t> blocks;  // offset -> bytes, live blocks
  struct sigaction previous {};
};

State& S() {
  static State* state = new State;  // never destroyed: threads may outlive main
  return *state;
}

// Read without the lock by the fault handler; set once, before any block
// exists.
std::atomic<uintptr_t> userBaseSeen{0};

uintptr_t RoundUp(uintptr_t n) {
  return (n + kAlignment - 1) & ~(kAlignment - 1);
}

void PassOn(int signal, siginfo_t* info, void* context) {
  internal::PassOnFault(S().previous, signal, info, context);
}

__attribute__((no_sanitize_address)) void OnFault(int signal, siginfo_t* info, void* context) {
  // A driver image's own exception frame may be there for this fault.
  if (internal::DispatchImageFault(info, context))
    return;
  uintptr_t base = userBaseSeen.load(std::memory_order_relaxed);
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (base == 0 || address < base || address - base >= kRangeBytes) {
    PassOn(signal, info, context);
    return;
  }
  // The process ends here; what is printed need not be signal-safe, only
  // must not wait for a lock the faulting thread may hold.
  internal::ClearStackShadow();
  const char* driver = internal::CurrentDriverName();
  char where[160] = "";
  if (driver != nullptr)
    snprintf(where, sizeof where, " in driver %s", driver);
  char what[160] = "";
  State& s = S();
  if (s.lock.try_lock()) {
    uintptr_t offset = address - base;
    auto it = s.blocks.upper_bound(offset);
    if (it != s.blocks.begin()) {
      --it;
      if (offset < it->first + it->second) {
        snprintf(what, sizeof what, " (inside the user buffer of %zu bytes at %p)", it->second,
                 reinterpret_cast<void*>(base + it->first));
      }
    }
    s.lock.unlock();
  }
  BugCheck(PAGE_FAULT_IN_NONPAGED_AREA,
           "access to the user address %p%s from kernel mode%s; a user buffer is only "
           "reachable in the requester's context (probe, then copy or map it there)",
           info->si_addr, what, where);
}

// The user view is reserved before anything else can be placed there: at
// process start, ahead of the first pool block. A host that holds anything
// in the range cannot emulate the machine.
void ReserveUserView() {
  void* wanted = reinterpret_cast<void*>(kUserBase);
  void* user = mmap(wanted, kRangeBytes, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (user == wanted)
    return;
  // A kernel or emulator that knows no MAP_FIXED_NOREPLACE takes the address
  // as a hint and may have placed the view elsewhere.
  if (user != MAP_FAILED)
    munmap(user, kRangeBytes);
  std::fprintf(stderr,
               "the emulated user address space [%#lx, %#lx) cannot be reserved: the host "
               "already has memory there (%s)\n",
               static_cast<unsigned long>(kUserBase),
               static_cast<unsigned long>(kUserBase + kRangeBytes),
               user == MAP_FAILED ? std::strerror(errno) : "the mapping went elsewhere");
  std::abort();
}

__attribute__((constructor(101))) void ReserveAtStart() { ReserveUserView(); }

// Maps the alias and installs the fault handler; lock held. Done on the
// first allocation, so that the handler goes in after AddressSanitizer's and
// passes on what is not ours.
void MapRange(State& s) {
  if (s.userBase != 0)
    return;
  void* user = reinterpret_cast<void*>(kUserBase);
  void* alias = mmap(nullptr, kRangeBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (alias == MAP_FAILED) {
    BugCheck(PAGE_FAULT_IN_NONPAGED_AREA, "the emulated user address space's alias (%zu bytes) "
             "cannot be mapped", size_t(kRangeBytes));
  }
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &s.previous);
  s.userBase = reinterpret_cast<uintptr_t>(user);
  s.aliasBase = reinterpret_cast<uintptr_t>(alias);
  userBaseSeen.store(s.userBase);
}

// The first free offset at or after `from` with room for `need` bytes, or
// kRangeBytes.
uintptr_t FindRoom(const State& s, uintptr_t from, uintptr_t need) {
  uintptr_t candidate = from;
  auto it = s.blocks.lower_bound(candidate);
  if (it != s.blocks.begin()) {
    auto before = std::prev(it);
    uintptr_t end = RoundUp(before->first + before->second + kGap);
    if (end > candidate)
      candidate = end;
  }
  for (;; ++it) {
    uintptr_t limit = it == s.blocks.end() ? kRangeBytes : it->first;
    if (candidate <= limit && limit - candidate >= need)
      return candidate;
    if (it == s.blocks.end())
      return kRangeBytes;
    candidate = RoundUp(it->first + it->second + kGap);
  }
}

// The live block holding [offset, offset + bytes), or end().
std::map<uintptr_t, size_t>::const_iterator Holding(const State& s, uintptr_t offset,
                                                    size_t bytes) {
  auto it = s.blocks.upper_bound(offset);
  if (it == s.blocks.begin())
    return s.blocks.end();
  --it;
  if (offset - it->first > it->second || bytes > it->second - (offset - it->first))
    return s.blocks.end();
  return it;
}

// The address FreeUserBlockWhenCopied waits for; 0 when none.
std::atomic<uintptr_t> vanishAt{0};

}  // namespace

namespace internal {
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address, noinline)) void ClearStackShadow() {
  constexpr size_t kBelow = 64 * 1024;
  auto* here = static_cast<char*>(__builtin_frame_address(0));
  ASAN_UNPOISON_MEMORY_REGION(here - kBelow, kBelow);
}
#else
void ClearStackShadow() {}
#endif

bool GuardedUserRead(uintptr_t address, uint8_t* byte) {
  if (CurrentIrql() >= DISPATCH_LEVEL) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL,
             "a driver read the user address %p at IRQL %d: user memory is pageable, and a page "
             "fault at DISPATCH_LEVEL or above bug-checks whatever exception frame is there",
             reinterpret_cast<void*>(address), int(CurrentIrql()));
  }
  // The system process has no user memory: every user address faults there.
  if (CurrentProcess() == SystemProcess())
    return false;
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.userBase == 0 || address < s.userBase || address - s.userBase >= kRangeBytes)
    return false;
  uintptr_t offset = address - s.userBase;
  uintptr_t expected = address;
  if (vanishAt.compare_exchange_strong(expected, 0)) {
    auto gone = Holding(s, offset, 1);
    if (gone != s.blocks.end()) {
      memset(reinterpret_cast<void*>(s.aliasBase + gone->first), 0xDF, gone->second);
      s.blocks.erase(gone);
    }
  }
  if (Holding(s, offset, 1) == s.blocks.end())
    return false;
  *byte = *reinterpret_cast<const uint8_t*>(s.aliasBase + offset);
  return true;
}

void PassOnFault(const struct sigaction& previous, int signal, siginfo_t* info, void* context) {
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
}
}  // namespace internal

void* UserAlloc(size_t bytes) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  MapRange(s);
  uintptr_t need = RoundUp(bytes + kGap);
  uintptr_t offset = kRangeBytes;
  if (need <= kRangeBytes) {
    offset = FindRoom(s, s.cursor, need);
    if (offset == kRangeBytes)
      offset = FindRoom(s, 0, need);
  }
  if (offset == kRangeBytes) {
    BugCheck(PAGE_FAULT_IN_NONPAGED_AREA,
             "the emulated user address space cannot hold %zu more bytes (%zu blocks live)", bytes,
             s.blocks.size());
  }
  s.blocks[offset] = bytes;
  s.cursor = offset + need;
  // Memory of a freed block may be reused: a new block is zero-filled.
  memset(reinterpret_cast<void*>(s.aliasBase + offset), 0, bytes);
  return reinterpret_cast<void*>(s.userBase + offset);
}

void ReadyUserMemory() {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  MapRange(s);
}

void UserFree(void* userAddress) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto address = reinterpret_cast<uintptr_t>(userAddress);
  auto it = s.userBase == 0 || address < s.userBase ? s.blocks.end()
                                                    : s.blocks.find(address - s.userBase);
  if (it == s.blocks.end()) {
    BugCheck(BAD_POOL_CALLER, "UserFree of %p, which does not start a live user buffer",
             userAddress);
  }
  // Stale contents must not be read through a later block at this place.
  memset(reinterpret_cast<void*>(s.aliasBase + it->first), 0xDF, it->second);
  s.blocks.erase(it);
}

void FreeUserBlockWhenCopied(const void* userAddress) {
  vanishAt.store(reinterpret_cast<uintptr_t>(userAddress));
}

bool IsUserAddress(const void* address, size_t bytes) {
  auto a = reinterpret_cast<uintptr_t>(address);
  return a >= kUserBase && a - kUserBase <= kRangeBytes && bytes <= kRangeBytes - (a - kUserBase);
}

void* UserAccess(const void* userAddress, size_t bytes) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto address = reinterpret_cast<uintptr_t>(userAddress);
  if (s.userBase == 0 || address < s.userBase || address - s.userBase >= kRangeBytes) {
    BugCheck(PAGE_FAULT_IN_NONPAGED_AREA,
             "UserAccess of %zu bytes at %p, which is not a user address", bytes, userAddress);
  }
  uintptr_t offset = address - s.userBase;
  if (Holding(s, offset, bytes) == s.blocks.end()) {
    BugCheck(PAGE_FAULT_IN_NONPAGED_AREA,
             "UserAccess of %zu bytes at the user address %p, which is not inside one live user "
             "buffer (freed, or past its end)",
             bytes, userAddress);
  }
  return reinterpret_cast<void*>(s.aliasBase + offset);
}

}  // namespace emu

// The host build's copy routine of the driver (framework/UserMemoryCopy.h):
// where pellinor.sys has its own exception frame around a loop of byte
// loads, the host build reads each byte through the emulated kernel's
// guarded access, which faults as the processor would.
extern "C" NTSTATUS GuardedCopyBytes(PVOID to, const VOID* from, ULONG length) {
  auto* target = static_cast<uint8_t*>(to);
  auto source = reinterpret_cast<uintptr_t>(from);
  for (ULONG i = 0; i < length; ++i) {
    if (!emu::internal::GuardedUserRead(source + i, target + i))
      return STATUS_ACCESS_VIOLATION;
  }
  return STATUS_SUCCESS;
}

// What NT exports about its user address space, made to fit the range.
extern "C" {
ULONG MmUserProbeAddress = ULONG(emu::kUserRangeBase + emu::kUserRangeBytes);
PVOID MmHighestUserAddress = reinterpret_cast<PVOID>(emu::kUserRangeBase + emu::kUserRangeBytes - 1);
}

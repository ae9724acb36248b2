// Internals of the emulated pool that the I/O manager calls (not part of any
// public interface): which driver the calling thread runs for, the pool
// checks of a driver that goes, and the I/O manager's system buffers.
#pragma once

#include <cstddef>

#include <ntddk.h>

namespace emu {
namespace internal {

// The driver on whose behalf the calling thread runs. Every pool block is
// charged to the driver current at its allocation, whatever its tag, so that
// a driver's leaks are found at its unload even when it allocates with a tag
// the loader never registered. The I/O manager sets it around each call into
// a driver: DriverEntry, AddDevice, dispatch, completion, cancel and unload
// routines, and the DPC, timer, work item and system thread routines.
// Contexts nest; the destructor restores the one before.
//
// A routine of a driver returns holding no spin lock it took (the next
// acquirer would spin for ever; at DISPATCH_LEVEL, in a DPC, the IRQL does
// not tell): checked when the context ends.
class DriverContext {
 public:
  explicit DriverContext(PDRIVER_OBJECT driver);
  ~DriverContext();
  DriverContext(const DriverContext&) = delete;
  DriverContext& operator=(const DriverContext&) = delete;

 private:
  PDRIVER_OBJECT previous_;
  PDRIVER_OBJECT driver_;
  int heldSpinLocks_;
};

// Pages the pageable memory out (forced IRQL checking): called when a
// thread raises its IRQL to DISPATCH_LEVEL and before each DPC.
void PageOutPageable();

// The spin locks the calling thread holds now, and the last one it took.
int HeldSpinLocks();
PKSPIN_LOCK LastSpinLock();

// The driver of the calling thread, or null (the kernel itself, or a test
// calling the kernel directly).
PDRIVER_OBJECT CurrentDriverObject();
// Its name as it appears in DriverName ("\Driver\X"), or null. Takes no
// lock, so a fault handler may call it.
const char* CurrentDriverName();

// The pool checks of a driver that unloads or whose DriverEntry failed: the
// guard bytes of every block it still holds are checked, then any block
// charged to it (or carrying `tag`, when not 0) is a leak and bug-checks
// with each block's tag, size and allocation number. `name` and `when`
// complete the message ("driver X unloaded ...").
void CheckDriverPool(PDRIVER_OBJECT driver, ULONG tag, const char* name, const char* when);

// The system buffer of a buffered request: non-paged pool with the I/O
// manager's tag ("IoSB"), policed like any block (guard bytes, fill, use
// after free) but charged to no driver. A driver that frees it bug-checks.
void* AllocateSystemBuffer(size_t bytes);
void FreeSystemBuffer(void* buffer);
// Any other block the kernel allocates for itself from non-paged pool (the
// context of IoSetCompletionRoutineEx, tag "IoUs"): policed the same way and
// charged to no driver; null when the pool fails (fault injection included).
void* AllocateKernelBlock(size_t bytes, uint32_t tag, const char* what);
void FreeKernelBlock(void* block, uint32_t tag, const char* what);
// The same for a block the kernel lends a driver until the driver hands it
// back (an error log entry, tag "IoEr"): charged to the current driver, so
// that one still held at its unload is that driver's leak.
void* AllocateChargedKernelBlock(size_t bytes, uint32_t tag, const char* what);

}  // namespace internal

namespace detail {
// Called by the pool with every block being freed, before its memory is
// reused: bug-checks when the range holds a kernel object still in use (an
// armed timer, a queued DPC). Defined by the timer code; the pool's own
// definition is a weak no-op.
void CheckFreedRange(const void* block, size_t bytes);
}  // namespace detail

}  // namespace emu

// Interlocked counters and the interlocked list services.
#include "KernelInternal.h"
#include "emu/Chaos.h"

using emu::Chaos;

// Chaos mode perturbs after each counter operation: the window between an
// interlocked operation and the driver's next access is where a reader that
// trusted the old value loses.

extern "C" LONG FASTCALL InterlockedIncrement(LONG volatile* Addend) {
  LONG result = __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
  Chaos::At(Chaos::kInterlocked);
  return result;
}

extern "C" LONG FASTCALL InterlockedDecrement(LONG volatile* Addend) {
  LONG result = __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
  Chaos::At(Chaos::kInterlocked);
  return result;
}

extern "C" LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value) {
  LONG result = __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
  Chaos::At(Chaos::kInterlocked);
  return result;
}

extern "C" LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  LONG result = __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
  Chaos::At(Chaos::kInterlocked);
  return result;
}

extern "C" LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                    LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  Chaos::At(Chaos::kInterlocked);
  return Comparand;
}

// The list services take the list's spin lock with interrupts off, so they
// work at any IRQL up to DISPATCH_LEVEL and leave the IRQL as it was. They
// return the previous first entry (null when the list was empty). In chaos
// mode they are perturbed where the spin lock is taken and given back.
extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead,
                                                             PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInterlockedInsertHeadList");
  emu::internal::AcquireSpinLockRaw(Lock, "ExInterlockedInsertHeadList");
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  emu::internal::ReleaseSpinLockRaw(Lock, "ExInterlockedInsertHeadList");
  return first;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead,
                                                             PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInterlockedInsertTailList");
  emu::internal::AcquireSpinLockRaw(Lock, "ExInterlockedInsertTailList");
  PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  emu::internal::ReleaseSpinLockRaw(Lock, "ExInterlockedInsertTailList");
  return last;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead,
                                                             PKSPIN_LOCK Lock) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInterlockedRemoveHeadList");
  emu::internal::AcquireSpinLockRaw(Lock, "ExInterlockedRemoveHeadList");
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  emu::internal::ReleaseSpinLockRaw(Lock, "ExInterlockedRemoveHeadList");
  return first;
}

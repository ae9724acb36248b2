// The parts of the C++ run-time library that a kernel driver has to supply
// itself, since nothing of the user-mode run-time exists in the kernel: the
// global allocation and deallocation operators over the driver's pool
// allocator, and the handler that a call of a pure virtual function lands in.
//
// Compiled into pellinor.sys only. The host build uses the ordinary run-time
// library, so that the tests' own allocations stay out of the driver's pool.
//
// The Windows build compiles kernel code with -fcheck-new: these operators
// return null when the pool is exhausted (there are no exceptions), and the
// compiler then checks for null before it runs a constructor.
#include <ntddk.h>

#include "framework/Pool.h"

void* operator new(size_t size) { return PoolAlloc(size, NonPagedPool); }

void* operator new[](size_t size) { return PoolAlloc(size, NonPagedPool); }

void operator delete(void* block) noexcept { PoolFree(block); }

void operator delete[](void* block) noexcept { PoolFree(block); }

// The sized forms: the deleting destructor of a class with a virtual
// destructor calls these.
void operator delete(void* block, size_t) noexcept { PoolFree(block); }

void operator delete[](void* block, size_t) noexcept { PoolFree(block); }

// A pure virtual function was called: an object used during its construction
// or destruction, or after it was freed. Stop at once with an invalid-opcode
// trap, which the kernel turns into a bug check naming this address, rather
// than run on with a broken object.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C++ ABI's name
extern "C" void __cxa_pure_virtual() { __builtin_trap(); }

// The simulated applications' user memory, and the provider's access to it
// in its caller's context. One seam over the emulated user address space.
#pragma once

#include <cstddef>

namespace sim {

// A zero-filled block of user memory.
void* UserSpaceAlloc(size_t bytes);
void UserSpaceFree(void* userAddress);
// The probe a provider makes before it follows a user-mode caller's
// pointer: the whole range lies in the user address range.
bool UserSpaceContains(const void* address, size_t bytes);
// The bytes at a user address as the caller's own context sees them. Only
// for the requester's context: the provider's dispatch routine for a
// user-mode request, or the application itself.
void* UserSpaceView(const void* userAddress, size_t bytes);

}  // namespace sim

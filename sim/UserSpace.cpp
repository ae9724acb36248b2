#include "sim/UserSpace.h"

#include "emu/UserMemory.h"

namespace sim {

void* UserSpaceAlloc(size_t bytes) {
  return emu::UserAlloc(bytes == 0 ? 1 : bytes);
}

void UserSpaceFree(void* userAddress) {
  emu::UserFree(userAddress);
}

bool UserSpaceContains(const void* address, size_t bytes) {
  return address != nullptr && emu::IsUserAddress(address, bytes);
}

void* UserSpaceView(const void* userAddress, size_t bytes) {
  return emu::UserAccess(userAddress, bytes);
}

}  // namespace sim

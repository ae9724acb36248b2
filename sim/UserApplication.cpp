#include <cstring>
#include <string>
#include <vector>

#include "sim/UserApplication.h"

#include "emu/Io.h"
#include "sim/CapiCodes.h"
#include "sim/CapiDevice.h"
#include "sim/UserSpace.h"

namespace sim {

UserApplication::UserApplication() : CapiApplication(UserMode, kCapiWin32Name) {}

RequestResult UserApplication::Send(uint32_t code, const void* input, uint32_t inputLength,
                                    void* output, uint32_t outputLength) {
  emu::IoResult io = emu::DeviceIoControl(handle_, code, input, inputLength, output, outputLength);
  return RequestResult{io.status, io.information};
}

RequestResult UserApplication::PutByIoctl(const std::vector<uint8_t>& message,
                                          const std::vector<uint8_t>& payload) {
  // As a program holds them: the parameter block, the message and its
  // payload in its user memory, the block pointing at the other two.
  size_t total = sizeof(ParameterBlock) + message.size() + payload.size();
  uint8_t* user = static_cast<uint8_t*>(UserSpaceAlloc(total));
  uint8_t* view = static_cast<uint8_t*>(UserSpaceView(user, total));
  uint8_t* userMessage = user + sizeof(ParameterBlock);
  std::memcpy(view + sizeof(ParameterBlock), message.data(), message.size());
  if (!payload.empty())
    std::memcpy(view + sizeof(ParameterBlock) + message.size(), payload.data(), payload.size());
  ParameterBlock block;
  block.message = uint32_t(uintptr_t(userMessage));
  block.b3Data = payload.empty() ? 0 : uint32_t(uintptr_t(userMessage + message.size()));
  std::memcpy(view, &block, sizeof(block));
  emu::IoResult io =
      emu::DeviceIoControlUser(handle_, kCapiPutMessage, user, sizeof(block), nullptr, 0);
  UserSpaceFree(user);
  return RequestResult{io.status, io.information};
}

RequestResult UserApplication::GetByIoctl(ReceivedMessage* message) {
  void* user = UserSpaceAlloc(sizeof(ParameterBlock));
  emu::IoResult io =
      emu::DeviceIoControlUser(handle_, kCapiGetMessage, nullptr, 0, user, sizeof(ParameterBlock));
  ParameterBlock block;
  std::memcpy(&block, UserSpaceView(user, sizeof(block)), sizeof(block));
  UserSpaceFree(user);
  RequestResult result{io.status, io.information};
  if (!NT_SUCCESS(result.status) || result.information < sizeof(block) || block.message == 0)
    return result;
  // The provider's answer lies in this application's user memory.
  const void* at = reinterpret_cast<const void*>(uintptr_t(block.message));
  const uint8_t* header = static_cast<const uint8_t*>(UserSpaceView(at, 2));
  size_t length = size_t(header[0] | header[1] << 8);
  const uint8_t* bytes = static_cast<const uint8_t*>(UserSpaceView(at, length));
  message->message.assign(bytes, bytes + length);
  if (block.b3Data != 0 && length >= kDataB3Bytes) {
    size_t payloadLength = message->Word(kDataB3LengthOffset);
    const void* data = reinterpret_cast<const void*>(uintptr_t(block.b3Data));
    const uint8_t* payload = static_cast<const uint8_t*>(UserSpaceView(data, payloadLength));
    message->payload.assign(payload, payload + payloadLength);
  }
  return result;
}

}  // namespace sim

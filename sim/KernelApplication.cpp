#include <cstring>
#include <string>
#include <vector>

#include "sim/KernelApplication.h"

#include "emu/Io.h"
#include "sim/CapiCodes.h"
#include "sim/CapiDevice.h"

namespace sim {

KernelApplication::KernelApplication() : CapiApplication(KernelMode, kCapiDeviceName) {}

RequestResult KernelApplication::Send(uint32_t code, const void* input, uint32_t inputLength,
                                      void* output, uint32_t outputLength) {
  emu::IoResult io = emu::InternalDeviceIoControl(handle_, code, const_cast<void*>(input),
                                                  inputLength, output, outputLength);
  return RequestResult{io.status, io.information};
}

RequestResult KernelApplication::PutByIoctl(const std::vector<uint8_t>& message,
                                            const std::vector<uint8_t>& payload) {
  ParameterBlock block;
  block.message = uint32_t(uintptr_t(message.data()));
  block.b3Data = payload.empty() ? 0 : uint32_t(uintptr_t(payload.data()));
  return Send(kCapiPutMessage, &block, sizeof(block), nullptr, 0);
}

RequestResult KernelApplication::GetByIoctl(ReceivedMessage* message) {
  ParameterBlock block = {0, 0};
  RequestResult result = Send(kCapiGetMessage, &block, sizeof(block), nullptr, 0);
  if (!NT_SUCCESS(result.status) || block.message == 0)
    return result;
  // The provider keeps the message until this application's next get.
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(uintptr_t(block.message));
  size_t length = size_t(bytes[0] | bytes[1] << 8);
  message->message.assign(bytes, bytes + length);
  if (block.b3Data != 0 && length >= kDataB3Bytes) {
    size_t payloadLength = message->Word(kDataB3LengthOffset);
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(uintptr_t(block.b3Data));
    message->payload.assign(payload, payload + payloadLength);
  }
  return result;
}

}  // namespace sim

#include "windows/capiapp/ClientApplication.h"

#include <cstring>

#include "emu/Io.h"
#include "sim/CapiDevice.h"
#include "windows/capisim/ClientCodes.h"

namespace capiapp {
namespace {

// The client's answer: the result of the request it sent, or a failure of
// the client request itself.
sim::RequestResult ResultOf(const emu::IoResult& io, const std::vector<uint8_t>& answer) {
  if (!NT_SUCCESS(io.status))
    return sim::RequestResult{io.status, 0};
  if (io.information < sizeof(capisim::ClientResult))
    return sim::RequestResult{STATUS_INVALID_DEVICE_STATE, 0};
  capisim::ClientResult result;
  std::memcpy(&result, answer.data(), sizeof(result));
  return sim::RequestResult{NTSTATUS(result.status), result.information};
}

}  // namespace

ClientApplication::ClientApplication() : CapiApplication(KernelMode, sim::kCapiDeviceName) {}

sim::RequestResult ClientApplication::Send(uint32_t code, const void* input, uint32_t inputLength,
                                           void* output, uint32_t outputLength) {
  emu::IoResult io = emu::InternalDeviceIoControl(handle_, code, const_cast<void*>(input),
                                                  inputLength, output, outputLength);
  return sim::RequestResult{io.status, io.information};
}

sim::RequestResult ClientApplication::PutByIoctl(const std::vector<uint8_t>& message,
                                                 const std::vector<uint8_t>& payload) {
  capisim::ClientMessage head{uint32_t(message.size()), uint32_t(payload.size())};
  std::vector<uint8_t> input(sizeof(head));
  std::memcpy(input.data(), &head, sizeof(head));
  input.insert(input.end(), message.begin(), message.end());
  input.insert(input.end(), payload.begin(), payload.end());
  std::vector<uint8_t> answer(sizeof(capisim::ClientResult));
  emu::IoResult io = emu::DeviceIoControl(handle_, capisim::kClientPut, input.data(),
                                          ULONG(input.size()), answer.data(), ULONG(answer.size()));
  return ResultOf(io, answer);
}

sim::RequestResult ClientApplication::GetByIoctl(sim::ReceivedMessage* message) {
  std::vector<uint8_t> answer(sizeof(capisim::ClientResult) + sizeof(capisim::ClientMessage) +
                              capisim::kClientMaxData);
  emu::IoResult io = emu::DeviceIoControl(handle_, capisim::kClientGet, nullptr, 0, answer.data(),
                                          ULONG(answer.size()));
  sim::RequestResult result = ResultOf(io, answer);
  const size_t at = sizeof(capisim::ClientResult);
  if (!NT_SUCCESS(io.status) || io.information < at + sizeof(capisim::ClientMessage))
    return result;
  capisim::ClientMessage head;
  std::memcpy(&head, answer.data() + at, sizeof(head));
  const size_t body = at + sizeof(head);
  if (size_t(head.messageLength) + head.payloadLength > io.information - body)
    return sim::RequestResult{STATUS_INVALID_DEVICE_STATE, 0};
  message->message.assign(answer.begin() + body, answer.begin() + body + head.messageLength);
  message->payload.assign(answer.begin() + body + head.messageLength,
                          answer.begin() + body + head.messageLength + head.payloadLength);
  return result;
}

}  // namespace capiapp

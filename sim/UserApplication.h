// A CAPI application in user mode: opens \\.\CAPI20 and sends I/O
// controls, writes and reads as a program does. The parameter blocks of
// put and get, the messages it puts and their payloads lie in its user
// memory; so do the messages it gets, in the area the provider fills.
#pragma once

#include <string>
#include <vector>

#include "sim/CapiApplication.h"

namespace sim {

class UserApplication : public CapiApplication {
 public:
  UserApplication();

 protected:
  RequestResult Send(uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength) override;
  RequestResult PutByIoctl(const std::vector<uint8_t>& message,
                           const std::vector<uint8_t>& payload) override;
  RequestResult GetByIoctl(ReceivedMessage* message) override;
};

}  // namespace sim

// A CAPI application in kernel mode, as another driver would be: opens
// \Device\CAPI201 from kernel mode (the top of its stack) and sends the
// CAPI functions as internal I/O controls, the input behind
// Type3InputBuffer (for put and get the CAPI_PARAMETER_BLOCK) and the
// output at UserBuffer. Its buffers are ordinary kernel memory.
#pragma once

#include <string>
#include <vector>

#include "sim/CapiApplication.h"

namespace sim {

class KernelApplication : public CapiApplication {
 public:
  KernelApplication();

 protected:
  RequestResult Send(uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength) override;
  RequestResult PutByIoctl(const std::vector<uint8_t>& message,
                           const std::vector<uint8_t>& payload) override;
  RequestResult GetByIoctl(ReceivedMessage* message) override;
};

}  // namespace sim

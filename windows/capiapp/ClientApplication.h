// The kernel-mode application of pellinor-sim (sim/KernelApplication) for
// capiapp.exe: the same CAPI calls, sent by the test client of the
// provider driver (windows/capisim/ClientCodes.h), which makes each of them
// a kernel-mode request to the top of \Device\CAPI201's stack. Its open is
// emu::Open in kernel mode, which a Win32 program makes through the client
// (windows/capiapp/Win32Io.cpp); here the requests that carry pointers.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/CapiApplication.h"

namespace capiapp {

class ClientApplication : public sim::CapiApplication {
 public:
  ClientApplication();

 protected:
  sim::RequestResult Send(uint32_t code, const void* input, uint32_t inputLength, void* output,
                          uint32_t outputLength) override;
  // The message and payload go to the client, which puts them in kernel
  // memory and the parameter block; a get comes back as the bytes the
  // block pointed to.
  sim::RequestResult PutByIoctl(const std::vector<uint8_t>& message,
                                const std::vector<uint8_t>& payload) override;
  sim::RequestResult GetByIoctl(sim::ReceivedMessage* message) override;
};

}  // namespace capiapp

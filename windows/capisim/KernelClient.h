// The provider driver's test client (windows/capisim/ClientCodes.h): its
// device, and the requests it sends down \Device\CAPI201's stack for the
// user-mode program that drives it. Test setup of the Wine job only.
#pragma once

#include <ntddk.h>

namespace capisim {

class KernelClient {
 public:
  // Creates \Device\CapiSimClient and its link for `driver`, whose requests
  // go to the stack of `provider`. The driver's dispatch routine hands the
  // client device's requests to Dispatch.
  static NTSTATUS Create(PDRIVER_OBJECT driver, PDEVICE_OBJECT provider, PDEVICE_OBJECT* device);
  // Its end, at unload: the link and the device (the files are closed by
  // then: Windows unloads no driver whose devices are open).
  static void Delete(PDEVICE_OBJECT device);
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
};

}  // namespace capisim

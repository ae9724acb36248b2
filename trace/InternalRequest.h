// The one way the tracer itself talks to the traced device: a synchronous
// I/O control sent straight to the device below the filter.
#pragma once

#include <ntddk.h>

#include "framework/Event.h"
#include "framework/PoolObject.h"

class InternalRequest : public PoolObject {
 public:
  // `ownDevice`, a device object of the sender's driver (or NULL), keeps
  // the driver loaded until the completion routine has returned where the
  // system offers that.
  InternalRequest(PDEVICE_OBJECT targetDevice, PFILE_OBJECT targetFile,
                  PDEVICE_OBJECT ownDevice = NULL)
      : targetFile(targetFile),
        targetDevice(targetDevice),
        ownDevice(ownDevice),
        done(SynchronizationEvent, false) {}
  InternalRequest(const InternalRequest&) = delete;
  InternalRequest& operator=(const InternalRequest&) = delete;

  PFILE_OBJECT targetFile;
  PDEVICE_OBJECT targetDevice;
  PDEVICE_OBJECT ownDevice;
  // Signalled by the completion routine; a synchronisation event, so each
  // wait resets it and the object can serve one request after another.
  Event done;
};

// Sends I/O control `code` to the request's target and waits for its
// completion (PASSIVE_LEVEL). Input and output share `buffer`: with a
// non-zero `inputValue` the input is that 32-bit value, stored at the start
// of the buffer, otherwise there is no input. Returns the status the target
// completed the request with, or STATUS_INSUFFICIENT_RESOURCES when no
// request could be allocated. One InternalRequest serves one request at a
// time.
NTSTATUS sendInternalIoctl(InternalRequest* request, ULONG code, PVOID buffer, ULONG outputLength,
                           ULONG inputValue);

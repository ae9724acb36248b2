// The state of the simulated CAPI provider and its answer to each request:
// the registered applications, their queues and the line. The driver glue
// (sim/CapiDevice.cpp) owns one while the device exists and decides when a
// request is completed; this class only computes the answer.
//
// Thread-safe: requests of many callers run through it at once. Its lock is
// a spin lock; nothing is copied to or from a caller's user memory while it
// is held.
#pragma once

#include <cstdint>

#include "sim/Application.h"
#include "sim/LineModel.h"
#include "sim/ProviderSettings.h"

#include <ntddk.h>

namespace sim {

class CapiProvider {
 public:
  // `settings` stays with the caller, unchanged, while the provider exists.
  explicit CapiProvider(const ProviderSettings* settings);
  ~CapiProvider();
  CapiProvider(const CapiProvider&) = delete;
  CapiProvider& operator=(const CapiProvider&) = delete;

  // The status and information to complete the request with. *kind is the
  // request's kind for the completion policy, or -1 for requests that are
  // always completed at once (create, cleanup, close, unknown ones).
  NTSTATUS Handle(PIRP irp, ULONG_PTR* information, int* kind);

  // An incoming call (see InjectIncomingCall): the PLCI offered, or 0 with
  // *status saying why not. `application` 0: the first listener.
  ULONG Offer(ULONG controller, USHORT cipValue, const char* called, ULONG calledLength,
              const char* calling, ULONG callingLength, USHORT application, NTSTATUS* status);
  // Registered applications, queued messages and PLCIs in use, added to
  // the counts given.
  void AddCounters(ULONG* applications, ULONG* queuedMessages, ULONG* plcisInUse);
  const ProviderSettings& Settings() const { return *settings_; }

 private:
  struct Buffers {
    UCHAR* input;
    ULONG inputLength;
    UCHAR* output;
    ULONG outputLength;
    KPROCESSOR_MODE pointerMode;  // whose pointers a parameter block holds
    bool internal;
  };

  NTSTATUS Ioctl(PFILE_OBJECT file, ULONG code, const Buffers& buffers, KPROCESSOR_MODE mode,
                 ULONG_PTR* information);
  NTSTATUS Register(PFILE_OBJECT file, const Buffers& buffers, KPROCESSOR_MODE mode,
                    ULONG_PTR* information);
  NTSTATUS Release(PFILE_OBJECT file, const Buffers& buffers);
  NTSTATUS Information(ULONG code, const Buffers& buffers, ULONG_PTR* information);
  NTSTATUS PutFromBlock(PFILE_OBJECT file, const Buffers& buffers);
  NTSTATUS PutFromWrite(PFILE_OBJECT file, const UCHAR* buffer, ULONG length,
                        ULONG_PTR* information);
  NTSTATUS Put(PFILE_OBJECT file, const UCHAR* message, ULONG length, const UCHAR* payload,
               ULONG payloadLength);
  NTSTATUS GetToBlock(PFILE_OBJECT file, const Buffers& buffers, ULONG_PTR* information);
  NTSTATUS GetToRead(PFILE_OBJECT file, UCHAR* buffer, ULONG length, ULONG_PTR* information);
  void Cleanup(PFILE_OBJECT file);

  // Lock held.
  Application* FindLocked(PFILE_OBJECT file) const;
  // The application of the file with a reference for use outside the lock,
  // or null.
  Application* Reference(PFILE_OBJECT file);
  void Dereference(Application* app);
  // Takes the application out of the table (the table's reference goes to
  // the caller, who dereferences it).
  Application* Unpublish(PFILE_OBJECT file);

  const ProviderSettings* settings_;
  ULONG controllers_;
  KSPIN_LOCK lock_;
  LineModel line_;
  Application* apps_[kMaxApplications] = {};
};

}  // namespace sim

// A system thread that announces its own end: the thread routine ends by
// calling Exit, and the owner's destruction waits for that announcement.
#pragma once

#include <ntddk.h>

#include "framework/Event.h"
#include "framework/PoolObject.h"

class SystemThread : public PoolObject {
 public:
  // PASSIVE_LEVEL. The creation's status goes to *status.
  SystemThread(PKSTART_ROUTINE routine, PVOID context, NTSTATUS* status);
  // PASSIVE_LEVEL. Waits until the thread has called Exit.
  ~SystemThread();
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;

  // Called by the thread as its last act; does not return.
  [[noreturn]] void Exit();

 private:
  PKTHREAD thread;
  Event exited;
};

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
  // PASSIVE_LEVEL. Waits until the thread has called Exit, whenever the
  // thread was created (also when no reference to it could be taken).
  ~SystemThread();
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;

  // Called by the thread as its last act; does not return.
  [[noreturn]] void Exit();

 private:
  // The referenced thread object; null when the reference failed.
  PKTHREAD thread;
  bool created;
  Event exited;
};

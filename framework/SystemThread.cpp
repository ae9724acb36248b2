#include "framework/SystemThread.h"

SystemThread::SystemThread(PKSTART_ROUTINE routine, PVOID context, NTSTATUS* status)
    : thread(NULL), created(false), exited(NotificationEvent, false) {
  HANDLE handle = NULL;
  *status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, context);
  if (*status != STATUS_SUCCESS)
    return;
  // From here on the thread runs and uses what its owner gave it, whether or
  // not a reference to it can be taken: the destructor must wait for it.
  created = true;
  PVOID object = NULL;
  if (NT_SUCCESS(
          ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &object, NULL))) {
    thread = static_cast<PKTHREAD>(object);
  }
  ZwClose(handle);
}

SystemThread::~SystemThread() {
  if (!created)
    return;
  exited.Wait();
  created = false;
  if (thread == NULL)
    return;
  // The event is set just before the thread's last call into the kernel:
  // only the thread object, signalled when the thread has terminated, says
  // that no instruction of the driver is still running on it (unload may
  // follow at once).
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
  ObfDereferenceObject(thread);
  thread = NULL;
}

void SystemThread::Exit() {
  exited.Set(0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

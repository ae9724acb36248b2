#include "framework/SystemThread.h"

#include "framework/SystemRoutines.h"

SystemThread::SystemThread(PKSTART_ROUTINE routine, PVOID context, NTSTATUS* status)
    : thread(NULL), created(false), exited(NotificationEvent, false) {
  HANDLE handle = NULL;
  // The creator may run in a user process's thread (the control tool's
  // start request): a handle made there without OBJ_KERNEL_HANDLE would land
  // in that process's table, where the process could suspend the thread, or
  // close the handle and put another object at its value before it is
  // referenced below (and the ZwClose would then close one of its own).
  // Windows 98/Me have no kernel handles, and no processes of that kind.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  const bool nt = SystemRoutines::IsNt();
  *status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nt ? &attributes : NULL, NULL, NULL,
                                 routine, context);
  if (*status != STATUS_SUCCESS)
    return;
  // From here on the thread runs and uses what its owner gave it, whether or
  // not a reference to it can be taken: the destructor must wait for it.
  created = true;
  // Windows 98/Me cannot wait on a thread object, so the reference is taken
  // on NT only, and only as a thread: the handle is checked to name one.
  POBJECT_TYPE threadType = SystemRoutines::ThreadType();
  PVOID object = NULL;
  if (nt && threadType != NULL &&
      NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, threadType, KernelMode,
                                           &object, NULL))) {
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
  // follow at once). On Windows 98/Me there is no reference, and the event
  // is all there is.
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
  ObfDereferenceObject(thread);
  thread = NULL;
}

void SystemThread::Exit() {
  exited.Set(0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

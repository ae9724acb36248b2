#include "framework/SystemThread.h"

SystemThread::SystemThread(PKSTART_ROUTINE routine, PVOID context, NTSTATUS* status)
    : thread(NULL), exited(NotificationEvent, false) {
  HANDLE handle = NULL;
  *status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, context);
  if (*status != STATUS_SUCCESS)
    return;
  PVOID object = NULL;
  if (NT_SUCCESS(
          ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &object, NULL))) {
    thread = static_cast<PKTHREAD>(object);
  }
  ZwClose(handle);
}

SystemThread::~SystemThread() {
  if (thread == NULL)
    return;
  exited.Wait();
  ObfDereferenceObject(thread);
  thread = NULL;
}

void SystemThread::Exit() {
  exited.Set(0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

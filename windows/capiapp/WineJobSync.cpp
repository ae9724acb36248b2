#include "windows/capiapp/WineJobSync.h"

#include <ntddk.h>

#include <cstdio>

extern "C" {
// ntdll's, as a user-mode program calls them (the Zw and Nt entries are the
// same calls there); not in emu's header, whose drivers make none of them.
NTSYSAPI NTSTATUS NTAPI ZwOpenEvent(PHANDLE handle, ACCESS_MASK access,
                                    POBJECT_ATTRIBUTES attributes);
NTSYSAPI NTSTATUS NTAPI ZwSetEvent(HANDLE handle, PLONG previous);
NTSYSAPI NTSTATUS NTAPI ZwResetEvent(HANDLE handle, PLONG previous);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);
// kernel32's.
__declspec(dllimport) void* __stdcall CreateThread(void* attributes, size_t stack,
                                                   unsigned long(__stdcall* start)(void*),
                                                   void* parameter, unsigned long flags,
                                                   unsigned long* id);
}

namespace capiapp {
namespace {

constexpr ACCESS_MASK kEventModifyState = 0x0002;

std::string StatusText(const char* what, const std::string& name, NTSTATUS status) {
  char text[128];
  std::snprintf(text, sizeof(text), "%s %s: status 0x%08lX", what, name.c_str(),
                static_cast<unsigned long>(status));
  return text;
}

}  // namespace

std::string EventAction(const std::string& action, const std::string& name,
                        unsigned waitSeconds) {
  if (action != "set" && action != "reset" && action != "wait")
    return "an event is set, reset or waited for, not '" + action + "'";
  // The kernel's name, not a Win32 one: the driver host and the job's
  // programs need not share a session's namespace.
  std::u16string path = u"\\BaseNamedObjects\\";
  for (char c : name) path += char16_t(static_cast<unsigned char>(c));
  UNICODE_STRING text;
  text.Buffer = reinterpret_cast<PWSTR>(&path[0]);
  text.Length = USHORT(path.size() * sizeof(char16_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, 0, nullptr, nullptr);
  HANDLE event = nullptr;
  NTSTATUS status = ZwOpenEvent(&event, kEventModifyState | SYNCHRONIZE, &attributes);
  if (!NT_SUCCESS(status))
    return StatusText("cannot open event", name, status);
  std::string failure;
  if (action == "set") {
    status = ZwSetEvent(event, nullptr);
  } else if (action == "reset") {
    status = ZwResetEvent(event, nullptr);
  } else {
    LARGE_INTEGER limit;
    limit.QuadPart = -LONGLONG(waitSeconds) * 10000000;
    status = ZwWaitForSingleObject(event, FALSE, &limit);
    if (status == STATUS_TIMEOUT)
      failure = "gave up waiting for event " + name + " after " +
                std::to_string(waitSeconds) + " s";
  }
  if (failure.empty() && !NT_SUCCESS(status))
    failure = StatusText(action == "wait" ? "cannot wait for event" : "cannot change event", name,
                         status);
  ZwClose(event);
  return failure;
}

unsigned long __stdcall BackgroundRun::Run(void* self) {
  static_cast<BackgroundRun*>(self)->work();
  return 0;
}

bool BackgroundRun::Start(std::function<void()> routine) {
  Join();
  work = std::move(routine);
  thread = CreateThread(nullptr, 0, &BackgroundRun::Run, this, 0, nullptr);
  return thread != nullptr;
}

void BackgroundRun::Join() {
  if (thread == nullptr)
    return;
  ZwWaitForSingleObject(thread, FALSE, nullptr);
  ZwClose(thread);
  thread = nullptr;
}

}  // namespace capiapp

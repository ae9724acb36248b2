// Emulated processes. Every host thread runs in one process: system threads,
// the DPC and worker threads and a driver's entry and unload in the system
// process; a test's, a tool's or a simulated application's thread in a user
// process, by default the administrator's process ToolProcess. A process has
// an identity, which its requests carry (SeCaptureSubjectContext), and a
// handle table of its own: a handle a driver makes without OBJ_KERNEL_HANDLE
// while a user process is current lands in that process's table, where only
// that process's threads find it and where the process may close or reuse
// it; a kernel handle (OBJ_KERNEL_HANDLE, or made in the system process) is
// in the kernel's table, which kernel-mode code finds from every process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ntddk.h>

namespace emu {

enum class Identity {
  System,         // the local system (S-1-5-18), member of Administrators
  Administrator,  // a member of Administrators (S-1-5-32-544)
  User,           // an ordinary user: Users (S-1-5-32-545), not Administrators
};

struct Process;

Process* SystemProcess();
// The process of every host thread that entered no other: an
// administrator's, as the control tool and the tests run.
Process* ToolProcess();
// A new user process; it lives as long as the emulator.
Process* CreateUserProcess(Identity identity, const std::string& name);
Process* CurrentProcess();
Identity IdentityOf(Process* process);
const char* ProcessName(Process* process);
// The process's id (PsGetCurrentProcessId): 4 for System, others from 1000
// on in the order the processes were made. The id of a thread in a process
// (PsGetCurrentThreadId), given the thread's object, from the same space,
// made the first time it is asked.
uint32_t ProcessId(Process* process);
uint32_t ThreadId(const void* thread, Process* process);

// Runs the calling host thread in `process` while it exists.
class ProcessScope {
 public:
  explicit ProcessScope(Process* process);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  Process* previous;
};

// The handles open in a user process's table (not the kernel's).
std::vector<HANDLE> ProcessHandles(Process* process);
// The object a handle of the process's table refers to, or null.
PVOID ProcessHandleObject(Process* process, HANDLE handle);
// What the process itself can do with its handles (CloseHandle, and any
// call that makes a new one, which takes the lowest free value as Windows
// does): STATUS_INVALID_HANDLE for a handle not in its table.
NTSTATUS CloseProcessHandle(Process* process, HANDLE handle);
HANDLE CreateProcessHandle(Process* process, PVOID body);
// Called in the creating thread, after the handle is made, whenever a handle
// lands in the process's table (null to stop). It may close or create
// handles of the process, as another thread of the process could at that
// moment.
void SetHandleObserver(Process* process, std::function<void(HANDLE, PVOID)> observer);

}  // namespace emu

// Emulated processes: an identity and the thread's current process. Their
// handle tables are the object manager's (Object.cpp).
#include "emu/Process.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace emu {

struct Process {
  Identity identity;
  std::string name;
  uint32_t id;
};

namespace {

std::mutex& Lock() {
  static auto* lock = new std::mutex;
  return *lock;
}

// Process and thread ids share one space, as the kernel's client ids do:
// multiples of 4, the System process 4, the rest handed out in the order
// they are first needed, so that a scenario sees the same ids every run.
constexpr uint32_t kSystemProcessId = 4;
constexpr uint32_t kFirstClientId = 1000;
uint32_t nextClientId = kFirstClientId;  // under Lock()

uint32_t NewClientId() {
  const uint32_t id = nextClientId;
  nextClientId += 4;
  return id;
}

// Processes are never destroyed: a handle table or a captured subject
// context may still name one.
std::deque<Process>& All() {
  static auto* all = new std::deque<Process>{{Identity::System, "System", kSystemProcessId},
                                             {Identity::Administrator, "pellinorctl", NewClientId()}};
  return *all;
}

// A host thread may enter several processes (ProcessScope): in each it has
// an id of its own, as if a thread of that process had made the request.
std::map<std::pair<const void*, const Process*>, uint32_t>& ThreadIds() {
  static auto* ids = new std::map<std::pair<const void*, const Process*>, uint32_t>;
  return *ids;
}

Process*& Current() {
  thread_local Process* current = nullptr;
  return current;
}

}  // namespace

Process* SystemProcess() {
  std::lock_guard<std::mutex> guard(Lock());
  return &All()[0];
}

Process* ToolProcess() {
  std::lock_guard<std::mutex> guard(Lock());
  return &All()[1];
}

Process* CreateUserProcess(Identity identity, const std::string& name) {
  std::lock_guard<std::mutex> guard(Lock());
  All().push_back({identity, name, NewClientId()});
  return &All().back();
}

Process* CurrentProcess() {
  Process* current = Current();
  return current != nullptr ? current : ToolProcess();
}

Identity IdentityOf(Process* process) { return process->identity; }

const char* ProcessName(Process* process) { return process->name.c_str(); }

uint32_t ProcessId(Process* process) { return process->id; }

uint32_t ThreadId(const void* thread, Process* process) {
  std::lock_guard<std::mutex> guard(Lock());
  All();  // the first processes take their ids before any thread does
  auto inserted = ThreadIds().emplace(std::make_pair(thread, process), 0);
  if (inserted.second)
    inserted.first->second = NewClientId();
  return inserted.first->second;
}

ProcessScope::ProcessScope(Process* process) : previous(Current()) { Current() = process; }

ProcessScope::~ProcessScope() { Current() = previous; }

}  // namespace emu

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID) {
  return reinterpret_cast<HANDLE>(uintptr_t(emu::ProcessId(emu::CurrentProcess())));
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID) {
  return reinterpret_cast<HANDLE>(
      uintptr_t(emu::ThreadId(KeGetCurrentThread(), emu::CurrentProcess())));
}

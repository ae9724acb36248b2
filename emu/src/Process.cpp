// Emulated processes: an identity and the thread's current process. Their
// handle tables are the object manager's (Object.cpp).
#include "emu/Process.h"

#include <deque>
#include <mutex>

namespace emu {

struct Process {
  Identity identity;
  std::string name;
};

namespace {

std::mutex& Lock() {
  static auto* lock = new std::mutex;
  return *lock;
}

// Processes are never destroyed: a handle table or a captured subject
// context may still name one.
std::deque<Process>& All() {
  static auto* all = new std::deque<Process>{{Identity::System, "System"},
                                             {Identity::Administrator, "pellinorctl"}};
  return *all;
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
  All().push_back({identity, name});
  return &All().back();
}

Process* CurrentProcess() {
  Process* current = Current();
  return current != nullptr ? current : ToolProcess();
}

Identity IdentityOf(Process* process) { return process->identity; }

const char* ProcessName(Process* process) { return process->name.c_str(); }

ProcessScope::ProcessScope(Process* process) : previous(Current()) { Current() = process; }

ProcessScope::~ProcessScope() { Current() = previous; }

}  // namespace emu

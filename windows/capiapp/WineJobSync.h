// What capiapp.exe needs to keep step with the Wine job: named events that
// the job's other programs and the provider driver set and wait for, and a
// thread for a step that runs in the background. Written against ntdll and
// kernel32 directly: the program's other code sees only emu's <ntddk.h>,
// never <windows.h>.
#pragma once

#include <functional>
#include <string>

namespace capiapp {

// One action on the named event \BaseNamedObjects\NAME: "set", "reset" or
// "wait" (for at most `waitSeconds`, the last guard). Empty on success,
// else what went wrong.
std::string EventAction(const std::string& action, const std::string& name,
                        unsigned waitSeconds);

// A routine run on a thread of its own, joined by Join (or the destructor).
class BackgroundRun {
 public:
  BackgroundRun() = default;
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;
  ~BackgroundRun() { Join(); }

  // False when the thread could not be made (the routine did not run).
  bool Start(std::function<void()> routine);
  void Join();
  bool Running() const { return thread != nullptr; }

 private:
  static unsigned long __stdcall Run(void* self);
  std::function<void()> work;
  void* thread = nullptr;
};

}  // namespace capiapp

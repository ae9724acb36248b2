#include "tools/pellinor-log/StopRequest.h"

#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace pellinorlog {
namespace {

volatile std::sig_atomic_t requested = 0;

#if defined(_WIN32)
HANDLE wakeUp = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    return FALSE;
  requested = 1;
  if (wakeUp != nullptr)
    SetEvent(wakeUp);
  return TRUE;
}
#else
void OnSignal(int) {
  requested = 1;
}
#endif

}  // namespace

void StopRequest::Install() {
#if defined(_WIN32)
  wakeUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
#else
  // Without SA_RESTART: the signal cuts a wait short.
  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

bool StopRequest::Requested() {
  return requested != 0;
}

void StopRequest::Wait(unsigned ms) {
  if (requested)
    return;
#if defined(_WIN32)
  if (wakeUp != nullptr)
    WaitForSingleObject(wakeUp, ms);
  else
    Sleep(ms);
#else
  struct timespec pause = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
#endif
}

}  // namespace pellinorlog

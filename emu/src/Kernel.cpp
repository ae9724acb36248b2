// Quiescing and stopping the emulated kernel's own threads.
#include <chrono>
#include <thread>

#include "emu/Kernel.h"
#include "IoInternal.h"
#include "KernelInternal.h"

namespace emu {
namespace internal {
size_t RunningSystemThreads();
}

void Kernel::Quiesce() {
  // Idle twice in a row: a DPC may queue a work item just as the queues were
  // looked at, and the other way round.
  int idle = 0;
  while (idle < 2) {
    if (internal::DpcsIdle() && internal::WorkQueuesIdle()) {
      ++idle;
    } else {
      idle = 0;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void Kernel::Shutdown() {
  HoldWorkQueues(false);
  HoldWorkItemReturns(false);
  HoldDpcReturns(false);
  io::HoldCompletionReturns(false);
  Quiesce();
  // Nothing is left to complete a request that drivers still hold: it
  // would hang its requester for ever.
  io::CheckNoRequestStuck("Kernel::Shutdown");
  io::CheckFreedIrps("at shutdown");
  internal::ResetTimers();
  internal::StopDpcThread();
  internal::StopWorkerThreads();
}

void Kernel::HoldWorkQueues(bool hold) {
  internal::HoldWorkQueues(hold);
}

void Kernel::HoldWorkItemReturns(bool hold) { internal::HoldWorkItemReturns(hold); }

void Kernel::HoldDpcReturns(bool hold) { internal::HoldDpcReturns(hold); }

void Kernel::HoldCompletionReturns(bool hold) { io::HoldCompletionReturns(hold); }

size_t Kernel::RunningSystemThreads() {
  return internal::RunningSystemThreads();
}

}  // namespace emu

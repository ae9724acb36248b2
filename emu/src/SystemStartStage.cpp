// SystemStartStage in the host build: the emulated machine has always
// started far enough, unless a test holds the stage back to exercise the
// driver's waiting for it (emu::SetSystemStartStage).
#include "framework/SystemStartStage.h"

#include <atomic>

#include "emu/SystemStartStage.h"

namespace {
std::atomic<ULONG> stage{SYSTEM_START_STAGE_READY};
}

ULONG SystemStartStage() { return stage.load(); }

namespace emu {
void SetSystemStartStage(ULONG value) { stage.store(value); }
}  // namespace emu

// SystemStartStage in the host build, as pellinor.sys answers it: ready on
// Windows NT, which has no start stage to ask for, and on Windows 98/Me what
// the virtual machine manager reports, which tests hold back to exercise the
// driver's waiting for it (emu::SetSystemStartStage).
#include "framework/SystemStartStage.h"

#include <atomic>

#include "emu/SystemStartStage.h"
#include "emu/SystemVersion.h"

namespace {
std::atomic<ULONG> stage{SYSTEM_START_STAGE_READY};
}

ULONG SystemStartStage() {
  if (emu::CurrentSystemVersion() != emu::SystemVersion::Windows98)
    return SYSTEM_START_STAGE_READY;
  return emu::VmmSystemStartStage();
}

namespace emu {
void SetSystemStartStage(ULONG value) {
  stage.store(value);
}
ULONG VmmSystemStartStage() {
  return stage.load();
}
}  // namespace emu

// The runner without the simulated CAPI device (a tree where sim/ is not
// built): every CAPI step is refused when it runs.
#include "tools/pellinor-sim/CapiBench.h"

namespace pellinorsim {

struct CapiBench::State {};

CapiBench::CapiBench() = default;
CapiBench::~CapiBench() = default;

namespace {
void Absent(bool run) {
  if (run) throw StepFailure("this pellinor-sim is built without the simulated CAPI device");
}
}  // namespace

void CapiBench::Command(const Step&, bool run, std::ostream&) { Absent(run); }
void CapiBench::App(const Step&, bool run, std::ostream&) { Absent(run); }
void CapiBench::Remove(std::ostream&) { Absent(true); }
void CapiBench::WaitPending(uint32_t) { Absent(true); }
void CapiBench::WaitDetached() { Absent(true); }
void CapiBench::Unload() {}

}  // namespace pellinorsim

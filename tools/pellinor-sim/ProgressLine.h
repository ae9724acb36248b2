// A step's progress on one terminal line, redrawn in place: for steps that
// run long (a call of many thousand data blocks) and would otherwise run in
// silence. Shown only on a terminal, once the step has run past a delay,
// and wiped before the step prints its result, so that neither the
// transcript nor a redirected output ever holds it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace pellinorsim {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // `terminal` null: nothing is ever shown.
  explicit ProgressLine(std::ostream* terminal, Clock::duration delay = std::chrono::seconds(1),
                        Clock::duration interval = std::chrono::milliseconds(200));
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // A step begins: "line 12: app a call".
  void Begin(const std::string& what);
  // `done` of `total` units (blocks) are done: redrawn once the step has
  // run past the delay, at most once an interval.
  void Show(uint64_t done, uint64_t total, const char* units);
  // The step ends: the line is wiped if it was drawn.
  void End();

 private:
  std::ostream* terminal;
  Clock::duration delay;
  Clock::duration interval;
  std::string what;
  Clock::time_point begun;
  Clock::time_point drawn;
  size_t width = 0;  // of the text on the line; 0: nothing drawn
};

}  // namespace pellinorsim

#include "tools/pellinor-sim/ProgressLine.h"

namespace pellinorsim {

ProgressLine::ProgressLine(std::ostream* terminal, Clock::duration delay, Clock::duration interval)
    : terminal(terminal), delay(delay), interval(interval) {}

void ProgressLine::Begin(const std::string& step) {
  End();
  what = step;
  begun = Clock::now();
}

void ProgressLine::Show(uint64_t done, uint64_t total, const char* units) {
  if (terminal == nullptr)
    return;
  const Clock::time_point now = Clock::now();
  if (now - begun < delay)
    return;
  if (width != 0 && now - drawn < interval && done != total)
    return;
  std::string text =
      what + ": " + std::to_string(done) + " of " + std::to_string(total) + " " + units;
  if (total != 0)
    text += " (" + std::to_string(done * 100 / total) + "%)";
  // A shorter text than the last leaves none of the last behind.
  const size_t drawnWidth = text.size();
  if (text.size() < width)
    text.append(width - text.size(), ' ');
  *terminal << '\r' << text << std::flush;
  width = drawnWidth > width ? drawnWidth : width;
  drawn = now;
}

void ProgressLine::End() {
  if (terminal == nullptr || width == 0)
    return;
  *terminal << '\r' << std::string(width, ' ') << '\r' << std::flush;
  width = 0;
}

}  // namespace pellinorsim

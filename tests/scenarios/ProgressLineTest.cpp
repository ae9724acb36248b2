// pellinor-sim's progress line: drawn in place only past its delay and
// only on a terminal, wiped before the step's result.
#include "tools/pellinor-sim/ProgressLine.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using pellinorsim::ProgressLine;

TEST(ProgressLine, RedrawsInPlaceAndWipesItselfAtTheEnd) {
  std::ostringstream terminal;
  ProgressLine line(&terminal, ProgressLine::Clock::duration::zero(),
                    ProgressLine::Clock::duration::zero());
  line.Begin("line 7: app a call");
  line.Show(10, 200, "blocks");
  line.Show(200, 200, "blocks");
  line.End();
  const std::string first = "line 7: app a call: 10 of 200 blocks (5%)";
  const std::string last = "line 7: app a call: 200 of 200 blocks (100%)";
  EXPECT_EQ(terminal.str(),
            "\r" + first + "\r" + last + "\r" + std::string(last.size(), ' ') + "\r");
  // A shorter text covers the longer one before it.
  terminal.str("");
  line.Begin("x");
  line.Show(100, 100, "blocks");
  line.Show(1, 100, "blocks");
  line.End();
  EXPECT_EQ(terminal.str(), "\rx: 100 of 100 blocks (100%)\rx: 1 of 100 blocks (1%)    \r" +
                                std::string(27, ' ') + "\r");
}

TEST(ProgressLine, ShortStepsAndOtherOutputsShowNothing) {
  std::ostringstream terminal;
  ProgressLine slow(&terminal, std::chrono::hours(1));
  slow.Begin("line 1: app a call");
  slow.Show(1, 2, "blocks");
  slow.End();
  EXPECT_EQ(terminal.str(), "");
  ProgressLine none(nullptr, ProgressLine::Clock::duration::zero());
  none.Begin("line 1: app a call");
  none.Show(1, 2, "blocks");
  none.End();
}

}  // namespace

// `pellinor-log follow`: the log followed as the driver writes it
// (LogFollower), its blocks filtered as grep filters them (GrepSink), and
// printed as each call's progress and each error (CallProgress) or as the
// blocks themselves. One Look at a time, so that tests drive it step by
// step; the program looks until Done or Ctrl-C, pausing between looks that
// found nothing.
#pragma once

#include "tools/pellinor-log/CallProgress.h"
#include "tools/pellinor-log/GrepSink.h"
#include "tools/pellinor-log/LogFollower.h"
#include "tools/pellinor-log/LogReader.h"

#include <ostream>
#include <string>
#include <vector>

namespace pellinorlog {

struct FollowOptions {
  bool blocks = false;     // --blocks: the matching blocks, as grep prints them
  bool fromNow = false;    // --new: nothing of what the file holds already
  bool untilStop = false;  // --until-stop: done once "Stop Tracing" is read
};

class LiveView {
 public:
  LiveView(const GrepFilter& filter, const FollowOptions& options, const std::string& path,
           std::ostream& out);
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // One look at the log: what it added is printed. True when it read
  // anything; false with *error set when the log cannot be read. Notes for
  // standard error (parts missed, a file cut back) go to *notes.
  bool Look(std::string* error, std::string* notes);
  // With --until-stop: a "Stop Tracing" block has been read.
  bool Done() const { return options_.untilStop && sink_.StopSeen(); }
  // The end: what is left of the file is read, and blocks still waiting
  // for their application (--appl) are decided.
  void Finish();

 private:
  const GrepFilter filter_;  // the sink keeps a reference: a copy of its own
  const FollowOptions options_;
  std::ostream& out_;
  std::vector<std::string> files_;
  GrepSink sink_;
  CallProgress progress_;
  LogReader reader_;
  LogFollower follower_;
};

}  // namespace pellinorlog

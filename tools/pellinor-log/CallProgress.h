// What each block of a log did, in a line or two: the live view of
// `pellinor-log follow`. It watches an analysis (CallAnalyzer) and, for the
// block the analysis has just taken, tells the steps that block added to a
// call's flow (the steps the summary lists: REQ, CONF, IND, CONNECT_RESP;
// DATA_B3 is counted), the end of a call with its duration, DATA_B3 counts
// and outcome, the errors it showed (as `errors` prints them), and the
// session's own texts: the banner, Start Tracing with its settings, Stop
// Tracing, the traced device's removal, a new part of a rotated log.
//
//   14:03:08.373  appl 1  PLCI ?       CONNECT_REQ to 5551234 from 5550001
//   14:03:08.373  appl 1  PLCI 0x0101  CONNECT_CONF Info 0x0000
//   14:03:08.373  appl 1  PLCI 0x0101  call ended after 0.000 s: cleared by ...
//
// Requests still waiting for their confirmation are no error here: the
// confirmation may still come.
#pragma once

#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/LogRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pellinorlog {

class CallProgress {
 public:
  // files: the names the places of errors use, one a file the analysis read.
  CallProgress(const CallAnalyzer& analysis, const std::vector<std::string>& files)
      : analysis_(analysis), files_(files) {}
  CallProgress(const CallProgress&) = delete;
  CallProgress& operator=(const CallProgress&) = delete;

  // The lines for `record`, which the analysis took last; called for every
  // record, in order. Empty when the block did nothing of the above.
  std::string Describe(const LogRecord& record);

 private:
  struct Seen {
    size_t steps = 0;
    bool ended = false;
  };

  std::string Head(int64_t ms, bool hasTime) const;
  std::string CallHead(int64_t ms, const Connection& c) const;

  const CallAnalyzer& analysis_;
  const std::vector<std::string>& files_;
  std::vector<Seen> seen_;  // by connection
  size_t errorsSeen_ = 0;
};

}  // namespace pellinorlog

// The blocks of a log that match grep's filters, in log order: what
// `pellinor-log grep` prints, and what `follow` prints as the log grows.
#pragma once

#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/JsonWriter.h"
#include "tools/pellinor-log/LogReader.h"
#include "tools/pellinor-log/LogRecord.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pellinorlog {

struct GrepFilter {
  bool appl = false;
  uint32_t applValue = 0;
  bool plci = false;
  uint32_t plciValue = 0;
  bool ncci = false;
  uint32_t ncciValue = 0;
  std::string command;
  // The requests of one process (by the caller ids the driver traced when
  // asked to) and their completions.
  bool pid = false;
  uint32_t pidValue = 0;
  bool from = false;
  bool fromOfDay = false;
  long long fromMs = 0;
  bool to = false;
  bool toOfDay = false;
  long long toMs = 0;
};

// The analysis runs first, so that a block's application is known from its
// file object too (CAPI_REGISTER, CAPI_RELEASE). A registration's request
// comes before its ApplID is known (from the completion, or a kernel-mode
// caller's first message): with --appl, blocks on a file object that is
// registering wait, and so does everything that matches after them, so that
// the blocks still come out in log order.
class GrepSink : public LogSink {
 public:
  // Blocks held at most; past that the oldest undecided is let go.
  static constexpr size_t kMostHeld = 10000;

  // What a matching block prints, worked out when the analysis has just
  // taken it (from the analysis's state then), for every block: by default
  // the block as it stands in the log.
  using Describe = std::function<std::string(const LogRecord&, std::string_view raw)>;

  GrepSink(const GrepFilter& filter, const std::vector<std::string>& files, std::ostream& out,
           JsonWriter* json);
  GrepSink(const GrepSink&) = delete;
  GrepSink& operator=(const GrepSink&) = delete;

  void SetDescribe(Describe describe) { describe_ = std::move(describe); }
  // Blocks of the first file that end at or before `offset` match nothing
  // (follow --new: what the log held before).
  void QuietUntil(uint64_t offset) { quietEnd_ = offset; }

  void OnRecord(const LogRecord& record, std::string_view raw) override;

  // After the last file: what is still undecided has no ApplID in the log.
  void Finish() { Resolve(true); }

  uint64_t Matches() const { return matches_; }
  // Whether a "Stop Tracing" block has been read (outside the quiet part),
  // matching or not.
  bool StopSeen() const { return stopSeen_; }
  CallAnalyzer& Analysis() { return analysis_; }
  // Whether any request of the log carried caller ids (without them --pid
  // matches nothing).
  bool CallerIdsSeen() const { return callerIdsSeen_; }

 private:
  struct Held {
    bool decided = false;
    bool match = false;
    uint32_t session = 0;
    std::string fileObject;
    uint32_t file = 0;
    uint32_t line = 0;
    bool hasTime = false;
    int64_t time = 0;
    std::string text;
  };

  void Resolve(bool atEnd);
  void Emit(uint32_t file, uint32_t line, bool hasTime, int64_t time, std::string_view text);
  bool MatchesAllButAppl(const LogRecord& record);
  bool SentByProcess(const LogRecord& record);

  const GrepFilter& filter_;
  const std::vector<std::string>& files_;
  std::ostream& out_;
  JsonWriter* json_;
  Describe describe_;
  CallAnalyzer analysis_;
  std::deque<Held> held_;
  uint64_t matches_ = 0;
  uint64_t quietEnd_ = 0;
  bool stopSeen_ = false;
  // --pid: the requests of the process whose completion is still to come,
  // by session and request address (an address is used again once its
  // request has completed).
  std::set<std::pair<uint32_t, std::string>> sentBy_;
  bool callerIdsSeen_ = false;
  bool dayKnown_ = false;
  long long day_ = 0;
};

}  // namespace pellinorlog

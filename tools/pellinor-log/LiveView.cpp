#include "tools/pellinor-log/LiveView.h"

namespace pellinorlog {

LiveView::LiveView(const GrepFilter& filter, const FollowOptions& options, const std::string& path,
                   std::ostream& out)
    : filter_(filter),
      options_(options),
      out_(out),
      sink_(filter_, files_, out, nullptr),
      progress_(sink_.Analysis(), files_),
      reader_(sink_),
      follower_(path, reader_, files_) {
  if (!options.blocks)
    sink_.SetDescribe(
        [this](const LogRecord& record, std::string_view) { return progress_.Describe(record); });
  if (options.fromNow)
    follower_.OnFirstOpen([this](uint64_t size) { sink_.QuietUntil(size); });
}

bool LiveView::Look(std::string* error, std::string* notes) {
  bool read = follower_.Poll(error);
  *notes = follower_.TakeNotes();
  // Shown as it comes, not when a buffer fills.
  out_.flush();
  return read;
}

void LiveView::Finish() {
  follower_.Finish();
  sink_.Finish();
  out_.flush();
}

}  // namespace pellinorlog

// Fuzz target for pellinor-log's reader and analysis: arbitrary bytes read
// as a trace log (split into two files at the first NUL, if there is one),
// followed as CAPI traffic and written out as every report. The blocks the
// reader hands on must be the input, byte for byte, whatever it holds; read
// again in pieces as a growing file (follow), they must be the same blocks,
// and the live view's lines are made of each.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/CallProgress.h"
#include "tools/pellinor-log/LogReader.h"
#include "tools/pellinor-log/ReportWriter.h"

namespace {

// Keeps every block's bytes, and hands the record on to the analysis.
class Joining : public pellinorlog::LogSink {
 public:
  explicit Joining(pellinorlog::CallAnalyzer& analysis) : analysis_(analysis) {}
  void OnRecord(const pellinorlog::LogRecord& record, std::string_view raw) override {
    if (record.begin > record.end || record.firstLine > record.lastLine + 1)
      std::abort();
    joined.append(raw.data(), raw.size());
    analysis_.OnRecord(record, raw);
  }
  std::string joined;

 protected:
  pellinorlog::CallAnalyzer& analysis_;
};

// The same, with the live view's lines for each block.
class Progressing : public Joining {
 public:
  Progressing(pellinorlog::CallAnalyzer& analysis, const std::vector<std::string>& names)
      : Joining(analysis), progress_(analysis, names) {}
  void OnRecord(const pellinorlog::LogRecord& record, std::string_view raw) override {
    Joining::OnRecord(record, raw);
    lines += progress_.Describe(record);
  }
  std::string lines;

 private:
  pellinorlog::CallProgress progress_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::vector<std::string> files;
  if (nul == std::string_view::npos) {
    files.emplace_back(input);
  } else {
    files.emplace_back(input.substr(0, nul));
    files.emplace_back(input.substr(nul + 1));
  }
  pellinorlog::CallAnalyzer analysis;
  Joining sink(analysis);
  pellinorlog::LogReader reader(sink);
  for (const std::string& f : files) {
    // Each file in a block of exactly its size, so a read past it is caught.
    std::vector<char> exact(f.begin(), f.end());
    sink.joined.clear();
    reader.Read(std::string_view(exact.data(), exact.size()));
    if (sink.joined != f)
      std::abort();
  }
  std::vector<std::string> names{"a.log", "b.log"};

  // As follow reads them: pieces of a size the first byte gives, the rest
  // of what is held passed again with the next piece, each file ended.
  pellinorlog::CallAnalyzer live;
  Progressing grown(live, names);
  pellinorlog::LogReader growing(grown);
  size_t step = size != 0 ? 1 + data[0] % 64 : 1;
  for (const std::string& f : files) {
    growing.BeginFile();
    grown.joined.clear();
    std::string held;
    for (size_t at = 0; at < f.size(); at += step) {
      held.append(f, at, step);
      std::vector<char> exact(held.begin(), held.end());
      held.erase(0, growing.ReadGrowing(std::string_view(exact.data(), exact.size()), false));
    }
    std::vector<char> exact(held.begin(), held.end());
    growing.EndFile(std::string_view(exact.data(), exact.size()));
    if (grown.joined != f)
      std::abort();
  }
  if (growing.Stats().records != reader.Stats().records ||
      growing.Stats().lines != reader.Stats().lines ||
      growing.Stats().unknownLines != reader.Stats().unknownLines)
    std::abort();

  analysis.Finish();
  std::ostringstream out;
  pellinorlog::ReportWriter report(analysis, reader.Stats(), names, out);
  report.SummaryText();
  report.SummaryJson();
  report.CallsText();
  report.CallsJson();
  report.ErrorsText();
  report.ErrorsJson();
  return 0;
}

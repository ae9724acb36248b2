// Reading a log while it is written: the reader's growing-file steps give
// the records of a whole-file read, however the bytes arrive.
#include "tools/pellinor-log/LogReader.h"
#include "tests/pellinorlog/SampleLogs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace pellinorlog {
namespace {

// One line per record: where it is, what it is and its bytes.
class Blocks : public LogSink {
 public:
  void OnRecord(const LogRecord& r, std::string_view raw) override {
    text += std::to_string(r.file) + " " + std::to_string(r.firstLine) + "-" +
            std::to_string(r.lastLine) + " @" + std::to_string(r.contentLine) + " [" +
            std::to_string(r.begin) + "," + std::to_string(r.end) + ") kind " +
            std::to_string(int(r.kind)) + " text " + std::to_string(int(r.text)) + " msgs " +
            std::to_string(r.messages.size()) + (r.truncated ? " cut" : "") +
            (r.repeated ? " repeated" : "") + "\n" + std::string(raw) + "\n";
  }
  std::string text;
};

std::string StatsText(const ReadStats& s) {
  std::string text = std::to_string(s.files) + " files " + std::to_string(s.bytes) + " bytes " +
                     std::to_string(s.lines) + " lines " + std::to_string(s.records) +
                     " records " + std::to_string(s.unknownLines) + " unknown " +
                     std::to_string(s.mismatchedMessages) + " mismatched " +
                     std::to_string(s.cutFiles) + " cut " + std::to_string(s.emptyLines) +
                     " empty " + std::to_string(s.badStamps) + " bad " +
                     std::to_string(s.repeatedRecords) + " repeated:";
  for (const LinePlace& p : s.firstUnknown)
    text += " " + std::to_string(p.file) + ":" + std::to_string(p.line);
  return text;
}

struct Outcome {
  std::string blocks;
  std::string stats;
};

Outcome WholeRead(const std::vector<std::string>& files) {
  Blocks sink;
  LogReader reader(sink);
  for (const std::string& f : files) reader.Read(f);
  return {sink.text, StatsText(reader.Stats())};
}

// Each file arrives in pieces whose ends `cut` chooses; `settled` says
// whether the writer has paused at a piece's end.
template <typename Cut, typename Settled>
Outcome GrowingRead(const std::vector<std::string>& files, Cut cut, Settled settled) {
  Blocks sink;
  LogReader reader(sink);
  for (const std::string& f : files) {
    reader.BeginFile();
    std::string pending;
    size_t at = 0;
    while (at < f.size()) {
      size_t next = cut(at, f.size());
      pending += f.substr(at, next - at);
      at = next;
      pending.erase(0, reader.ReadGrowing(pending, settled(at)));
    }
    reader.EndFile(pending);
  }
  return {sink.text, StatsText(reader.Stats())};
}

// The logs: a generated session, the bundled scenarios' logs, and a file
// cut in a line and one of unknown lines and empty lines only.
std::vector<std::string> SampleTexts() {
  std::vector<std::string> texts = {OneSession(), OneSession(false)};
  for (const char* name : {"demo", "kernel-client", "maker-target", "settings-restart"}) {
    std::string text = ReadFile(SourcePath("tests/data/scenarios/" + std::string(name) + ".log"));
    if (!text.empty())
      texts.push_back(text);
  }
  texts.push_back(OneSession().substr(0, 3001));
  texts.push_back("\r\n\r\nnot a line of the driver\r\n\r\n\r\n14:03:07.123 Sun, Jan 05 2003\r\n"
                  "something else\r\n\r\n");
  texts.push_back("\r\n\r\n\r\n");
  return texts;
}

TEST(GrowingLog, PiecesOfAnySizeGiveTheRecordsOfTheWholeFile) {
  std::mt19937 random(7);
  for (const std::string& text : SampleTexts()) {
    SCOPED_TRACE(text.substr(0, 60));
    Outcome whole = WholeRead({text});
    for (size_t step : {size_t(1), size_t(2), size_t(13), size_t(700), size_t(100000)}) {
      SCOPED_TRACE(step);
      Outcome grown = GrowingRead(
          {text}, [&](size_t at, size_t size) { return std::min(size, at + step); },
          [](size_t) { return false; });
      EXPECT_EQ(grown.blocks, whole.blocks);
      EXPECT_EQ(grown.stats, whole.stats);
    }
    Outcome grown = GrowingRead(
        {text},
        [&](size_t at, size_t size) { return std::min(size, at + 1 + random() % 300); },
        [](size_t) { return false; });
    EXPECT_EQ(grown.blocks, whole.blocks);
    EXPECT_EQ(grown.stats, whole.stats);
  }
}

// The driver writes each record's text at once: where the writer pauses
// between two records, the block before is handed on without waiting for
// the next, and the records are still those of the whole file. (Empty
// lines that end a file belong to its last block in a whole-file read; the
// driver ends no file with them, and here they would be a block of their
// own: such texts are left out.)
TEST(GrowingLog, ABlockIsHandedOnWhenTheWriterPausesAfterIt) {
  for (const std::string& text : SampleTexts()) {
    std::string end = text.substr(text.size() >= 4 ? text.size() - 4 : 0);
    if (end.find("\n\r\n") != std::string::npos || end.find("\n\n") != std::string::npos)
      continue;
    SCOPED_TRACE(text.substr(0, 60));
    Outcome whole = WholeRead({text});
    // Where the records end, as the whole-file read finds them.
    std::vector<size_t> ends;
    struct Ends : LogSink {
      std::vector<size_t>* ends;
      void OnRecord(const LogRecord& r, std::string_view) override {
        ends->push_back(size_t(r.end));
      }
    } sink;
    sink.ends = &ends;
    LogReader probe(sink);
    probe.Read(text);
    size_t next = 0;
    Blocks seen;
    LogReader reader(seen);
    reader.BeginFile();
    std::string pending;
    size_t at = 0;
    for (size_t end : ends) {
      pending += text.substr(at, end - at);
      at = end;
      size_t before = seen.text.size();
      pending.erase(0, reader.ReadGrowing(pending, true));
      // A whole block at the end of the text: out at once.
      if (end > 0 && text[end - 1] == '\n' && text.find_first_not_of("\r\n", next) < end) {
        EXPECT_GT(seen.text.size(), before) << "the block ending at " << end << " waits";
      }
      next = end;
    }
    reader.EndFile(pending);
    EXPECT_EQ(seen.text, whole.blocks);
    EXPECT_EQ(StatsText(reader.Stats()), whole.stats);
  }
}

// Generations read one after the other while they grow: the repeated start
// of each is left out as in a whole-file read of the same files.
TEST(GrowingLog, GenerationsReadWhileTheyGrow) {
  const std::string whole = OneSession();
  size_t cut = whole.find("\r\n\r\n\r\n", whole.find("DATA_B3_REQ")) + 2;
  std::string head = whole.substr(0, whole.find("\r\n\r\n\r\n", whole.find("Start Tracing")) + 2);
  std::string second =
      "14:03:07.500 Sun, Jan 05 2003\r\n*** log continued: part 2 of the log begun 14:03:07.000 "
      "Sun, Jan 05 2003; older parts are kept in C:\\Pellinor.log.old ***\r\n\r\n14:03:07.500 Sun, "
      "Jan 05 2003\r\n*** the start of the session, repeated ***\r\n" +
      head + "\r\n14:03:07.500 Sun, Jan 05 2003\r\n*** end of the repeated start ***\r\n" +
      whole.substr(cut);
  std::vector<std::string> files = {whole.substr(0, cut), second};
  Outcome all = WholeRead(files);
  EXPECT_NE(all.stats.find(" 0 unknown"), std::string::npos) << all.stats;
  Outcome exact = GrowingRead(
      files, [](size_t at, size_t size) { return std::min(size, at + 97); },
      [](size_t) { return false; });
  EXPECT_NE(exact.stats.find(" 0 unknown"), std::string::npos) << exact.stats;
  EXPECT_EQ(exact.blocks, all.blocks);
  EXPECT_EQ(exact.stats, all.stats);
}

}  // namespace
}  // namespace pellinorlog

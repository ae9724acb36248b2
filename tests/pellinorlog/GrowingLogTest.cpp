// Reading a log while it is written: the reader's growing-file steps give
// the records of a whole-file read, however the bytes arrive.
#include "tools/pellinor-log/LiveView.h"
#include "tools/pellinor-log/LogCommand.h"
#include "tools/pellinor-log/LogFollower.h"
#include "tools/pellinor-log/LogReader.h"
#include "tests/pellinorlog/SampleLogs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
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
                     std::to_string(s.lines) + " lines " + std::to_string(s.records) + " records " +
                     std::to_string(s.unknownLines) + " unknown " +
                     std::to_string(s.mismatchedMessages) + " mismatched " +
                     std::to_string(s.cutFiles) + " cut " + std::to_string(s.emptyLines) +
                     " empty " + std::to_string(s.badStamps) + " bad " +
                     std::to_string(s.repeatedRecords) + " repeated:";
  for (const LinePlace& p : s.firstUnknown)
    text += " " + std::to_string(p.file) + ":" + std::to_string(p.line);
  return text;
}

// Where the blocks of a whole-file read end: where the driver's writes end.
std::vector<size_t> RecordEnds(const std::string& text) {
  struct Ends : LogSink {
    std::vector<size_t> ends;
    void OnRecord(const LogRecord& r, std::string_view) override { ends.push_back(size_t(r.end)); }
  } sink;
  LogReader reader(sink);
  reader.Read(text);
  return sink.ends;
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
  texts.push_back(
      "\r\n\r\nnot a line of the driver\r\n\r\n\r\n14:03:07.123 Sun, Jan 05 2003\r\n"
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
        {text}, [&](size_t at, size_t size) { return std::min(size, at + 1 + random() % 300); },
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
    std::vector<size_t> ends = RecordEnds(text);
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

// Three parts of one rotated log, as the driver writes them: part 1, then
// parts 2 and 3, each beginning with its part line and the repeated start.
std::vector<std::string> ThreeParts() {
  const std::string whole = OneSession();
  const std::string head =
      whole.substr(0, whole.find("\r\n\r\n\r\n", whole.find("Start Tracing")) + 2);
  const size_t cut1 = whole.find("\r\n\r\n\r\n", whole.find("DATA_B3_REQ")) + 2;
  const size_t cut2 = whole.find("\r\n\r\n\r\n", whole.find("CONNECT_IND")) + 2;
  auto part = [&](int n, const std::string& body) {
    size_t date = body.find(" Sun, Jan 05 2003\r\n");
    size_t line = body.rfind('\n', date) + 1;
    std::string stamp = body.substr(line, body.find('\n', date) + 1 - line);
    return stamp + "*** log continued: part " + std::to_string(n) +
           " of the log begun 14:03:07.000 Sun, Jan 05 2003; older parts are kept in "
           "C:\\Pellinor.log.old to C:\\Pellinor.log.old.2, newest first ***\r\n\r\n" +
           stamp + "*** the start of the session, repeated ***\r\n" + head + "\r\n" + stamp +
           "*** end of the repeated start ***\r\n" + body;
  };
  return {whole.substr(0, cut1), part(2, whole.substr(cut1, cut2 - cut1)),
          part(3, whole.substr(cut2))};
}

// A folder where the test plays the driver: appends to FILE, rotates it.
class LogFolder {
 public:
  explicit LogFolder(const std::string& name)
      : dir_(std::filesystem::path(::testing::TempDir()) / name) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~LogFolder() { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& suffix = "") const {
    return (dir_ / ("Pellinor.log" + suffix)).string();
  }
  void Append(const std::string& text) {
    std::ofstream(Path(), std::ios::binary | std::ios::app) << text;
  }
  // FILE to FILE.old, the older ones on, keeping `keep`; FILE begins afresh.
  void Rotate(int keep) {
    namespace fs = std::filesystem;
    for (int n = keep; n >= 2; --n) {
      std::string from = n == 2 ? Path(".old") : Path(".old." + std::to_string(n - 1));
      if (fs::exists(from))
        fs::rename(from, Path(".old." + std::to_string(n)));
    }
    fs::rename(Path(), Path(".old"));
  }

 private:
  std::filesystem::path dir_;
};

struct Following {
  Blocks sink;
  LogReader reader{sink};
  std::vector<std::string> files;
  LogFollower follower;
  explicit Following(const std::string& path) : follower(path, reader, files) {}
  // Looks until a look finds nothing more, and once more after the pause
  // that the caller makes then.
  void Settle() {
    std::string error;
    while (follower.Poll(&error)) {
    }
    follower.Poll(&error);
    EXPECT_EQ(error, "");
  }
};

// The driver appends and rotates while the log is followed: the blocks are
// those of the generations read as one, none lost, none twice, also when
// several rotations came between two looks, and when the file being read
// was replaced meanwhile (LogKeep 1).
TEST(FollowLog, AcrossRotationsNothingLostNothingTwice) {
  const std::vector<std::string> parts = ThreeParts();
  const Outcome all = WholeRead(parts);
  for (int keep : {3, 1}) {
    for (bool together : {false, true}) {
      SCOPED_TRACE("keep " + std::to_string(keep) + (together ? ", rotated twice at once" : ""));
      LogFolder folder("follow-rotation");
      Following f(folder.Path());
      std::string error;
      f.Settle();  // no file yet: waits
      EXPECT_TRUE(f.files.empty());
      for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& text = parts[i];
        // The first half record by record (as the driver writes them),
        // looked at after each; a piece cut in a line looked at too.
        std::vector<size_t> ends = RecordEnds(text);
        size_t at = 0;
        for (size_t k = 0; k < ends.size() / 2; ++k) {
          folder.Append(text.substr(at, ends[k] - at));
          at = ends[k];
          f.Settle();
        }
        folder.Append(text.substr(at, 10));
        f.follower.Poll(&error);
        folder.Append(text.substr(at + 10));
        if (!together)
          f.Settle();
        if (i + 1 < parts.size())
          folder.Rotate(keep);
        if (!together || i == 0)
          f.Settle();
      }
      f.Settle();
      f.follower.Finish();
      EXPECT_EQ(f.sink.text, all.blocks);
      EXPECT_EQ(StatsText(f.reader.Stats()), all.stats);
      std::string notes = f.follower.TakeNotes();
      EXPECT_EQ(notes.find("pellinor-log: waiting for " + folder.Path() +
                           "\npellinor-log: following " + folder.Path() + "\n"),
                0u)
          << notes;
      EXPECT_EQ(notes.find("missing"), std::string::npos) << notes;
      size_t rotations = 0;
      for (size_t at = notes.find(" was rotated; reading on in "); at != std::string::npos;
           at = notes.find(" was rotated; reading on in ", at + 1))
        ++rotations;
      EXPECT_EQ(rotations, 2u) << notes;
    }
  }
}

// The part being read went before it could be looked up, and the one after
// it too (four rotations with LogKeep 2): the follower goes on with the
// oldest generation left that began after it, not with an older file lying
// about, and says that parts may be missing.
TEST(FollowLog, PartsRotatedAwayUnreadAreToldOf) {
  const std::vector<std::string> parts = ThreeParts();
  LogFolder folder("follow-lost");
  // A generation of an earlier log, a day older than anything here.
  std::string stale = OneSession();
  for (size_t at = stale.find("Sun, Jan 05"); at != std::string::npos;
       at = stale.find("Sun, Jan 05", at))
    stale.replace(at, 11, "Sat, Jan 04");
  std::ofstream(folder.Path(".old.5"), std::ios::binary) << stale;
  std::string fourth = parts[2];
  fourth.replace(fourth.find("part 3 of"), 9, "part 4 of");
  folder.Append(parts[0].substr(0, 2000));
  Following f(folder.Path());
  f.Settle();
  folder.Append(parts[0].substr(2000));
  folder.Rotate(2);
  folder.Append(parts[1]);
  folder.Rotate(2);
  folder.Append(parts[2]);
  folder.Rotate(2);
  folder.Append(fourth);
  folder.Rotate(2);  // parts 1 and 2 gone; part 3 is FILE.old.2, part 4 FILE.old
  folder.Append("");
  f.Settle();
  f.follower.Finish();
  ASSERT_EQ(f.files.size(), 4u);
  EXPECT_EQ(f.files[1], folder.Path(".old.2"));
  EXPECT_EQ(f.files[2], folder.Path(".old"));
  EXPECT_EQ(f.files[3], folder.Path());
  EXPECT_NE(f.follower.TakeNotes().find(
                "pellinor-log: " + folder.Path() +
                ": the log was rotated past the part being read; parts may be missing before " +
                folder.Path(".old.2") + "\n"),
            std::string::npos);
  EXPECT_EQ(f.sink.text, WholeRead({parts[0], parts[2], fourth, ""}).blocks);
}

// A file cut back under the reader (by hand: the driver only appends) is
// read again from its start, and a note says so.
TEST(FollowLog, AFileCutBackIsReadAgain) {
  const std::string text = OneSession();
  LogFolder folder("follow-cut");
  folder.Append(text);
  Following f(folder.Path());
  f.Settle();
  std::ofstream(folder.Path(), std::ios::binary | std::ios::trunc) << text.substr(0, 500);
  f.Settle();
  f.follower.Finish();
  EXPECT_EQ(f.files.size(), 2u);
  EXPECT_EQ(f.sink.text, WholeRead({text, text.substr(0, 500)}).blocks);
  EXPECT_NE(f.follower.TakeNotes().find("cut back"), std::string::npos);
}

// The driver's part: appends a log record by record, looking after each.
class LiveRun {
 public:
  LiveRun(LogFolder& folder, const GrepFilter& filter, const FollowOptions& options)
      : folder_(folder), view_(filter, options, folder.Path(), out_) {}
  void Look() {
    std::string error;
    std::string notes;
    while (view_.Look(&error, &notes)) {
      EXPECT_EQ(error, "");
    }
    view_.Look(&error, &notes);  // after a pause
    EXPECT_EQ(error, "");
    EXPECT_EQ(notes.find("missing"), std::string::npos) << notes;
    EXPECT_EQ(notes.find("cut back"), std::string::npos) << notes;
  }
  void Write(const std::string& text) {
    size_t at = 0;
    for (size_t end : RecordEnds(text)) {
      folder_.Append(text.substr(at, end - at));
      at = end;
      Look();
    }
  }
  std::string Finish() {
    view_.Finish();
    return out_.str();
  }
  bool Done() const { return view_.Done(); }

 private:
  LogFolder& folder_;
  std::ostringstream out_;
  LiveView view_;
};

std::string Grep(const std::vector<std::string>& args, const std::vector<std::string>& files) {
  std::vector<std::string> all = args;
  all.insert(all.begin(), "grep");
  all.insert(all.end(), files.begin(), files.end());
  std::istringstream in;
  std::ostringstream out, err;
  LogCommand command;
  command.Run(all, in, out, err);
  return out.str();
}

// follow --blocks prints, as the log grows and rotates, what grep prints
// with the same filters for the finished generations; --appl holds a
// registration's blocks until its ApplID is known, as grep does.
TEST(LiveView, TheBlocksAreWhatGrepPrintsOfTheFinishedLog) {
  const std::vector<std::string> parts = ThreeParts();
  const std::vector<std::vector<std::string>> filters = {
      {},
      {"--appl", "1"},
      {"--command", "DATA_B3"},
      {"--plci", "0x0201"},
      {"--from", "14:03:08.700", "--to", "14:03:09.630"},
      {"--appl", "2"}};
  for (const std::vector<std::string>& args : filters) {
    std::string name;
    for (const std::string& a : args) name += a + " ";
    SCOPED_TRACE(name);
    GrepFilter filter;
    for (size_t i = 0; i < args.size(); i += 2) {
      const std::string& v = args[i + 1];
      if (args[i] == "--appl") {
        filter.appl = true;
        filter.applValue = uint32_t(std::stoul(v));
      } else if (args[i] == "--command") {
        filter.command = v;
      } else if (args[i] == "--plci") {
        filter.plci = true;
        filter.plciValue = uint32_t(std::stoul(v, nullptr, 16));
      } else if (args[i] == "--from") {
        filter.from = ParseTimeOption(v, &filter.fromMs, &filter.fromOfDay);
      } else if (args[i] == "--to") {
        filter.to = ParseTimeOption(v, &filter.toMs, &filter.toOfDay);
      }
    }
    LogFolder folder("live-blocks");
    FollowOptions options;
    options.blocks = true;
    LiveRun run(folder, filter, options);
    run.Look();
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i != 0)
        folder.Rotate(3);
      run.Write(parts[i]);
    }
    std::string followed = run.Finish();
    EXPECT_EQ(followed, Grep(args, {folder.Path(".old.2"), folder.Path(".old"), folder.Path()}));
  }
}

// The progress of each call and each error, as the blocks come; the errors
// as `errors` prints them of the finished log (a request still waiting for
// its confirmation is none yet).
TEST(LiveView, EachCallsProgressAndEachErrorAsTheyCome) {
  const std::string log = OneSession();
  LogFolder folder("live-progress");
  LiveRun run(folder, GrepFilter(), FollowOptions());
  run.Write(log);
  std::string followed = run.Finish();
  // The places name the file followed: as `-` for the golden file.
  for (size_t at = followed.find(folder.Path()); at != std::string::npos;
       at = followed.find(folder.Path(), at))
    followed.replace(at, folder.Path().size(), "-");
  ExpectGolden("session.follow", followed);
  std::string errors = ReadFile(SourcePath("tests/pellinorlog/data/session.errors"));
  std::string errorLines;
  std::istringstream lines(followed);
  // An error's two lines: the one with the date, and its explanation.
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 5, "2003-") != 0)
      continue;
    std::string why;
    std::getline(lines, why);
    errorLines += line + "\n" + why + "\n";
  }
  EXPECT_EQ(errorLines + "2 errors, 0 records lost\n", errors);
}

// --new: what the file held when following began is read, not printed;
// --until-stop: done at the "Stop Tracing" that comes after that.
TEST(LiveView, FromNowUntilTheStop) {
  const std::string log = OneSession();
  LogFolder folder("live-new");
  folder.Append(log);
  FollowOptions options;
  options.blocks = true;
  options.fromNow = true;
  options.untilStop = true;
  LiveRun run(folder, GrepFilter(), options);
  run.Look();
  EXPECT_FALSE(run.Done());
  std::string second = log.substr(log.find("\r\n\r\n\r\n", log.find("CONNECT_IND")) + 2);
  run.Write(second);
  EXPECT_TRUE(run.Done());
  // The blocks of the second session read as a whole file after the first:
  // the same bytes.
  EXPECT_EQ(run.Finish(), second);
}

}  // namespace
}  // namespace pellinorlog

#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/LogCommand.h"
#include "tools/pellinor-log/LogReader.h"
#include "tests/pellinorlog/SampleLogs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pellinorlog {
namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result RunTool(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  LogCommand command;
  int status = command.Run(args, in, out, err);
  return Result{status, out.str(), err.str()};
}

// Enough of a JSON parser to tell that a document is well formed.
class JsonCheck {
 public:
  explicit JsonCheck(const std::string& text) : s_(text) {}
  bool Document() {
    Blanks();
    if (!Value())
      return false;
    Blanks();
    return i_ == s_.size();
  }

 private:
  void Blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n')) ++i_;
  }
  bool Literal(const char* word) {
    std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0)
      return false;
    i_ += w.size();
    return true;
  }
  bool String() {
    if (s_[i_] != '"')
      return false;
    for (++i_; i_ < s_.size(); ++i_) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20)
        return false;
      if (c == '\\')
        ++i_;
    }
    return false;
  }
  bool Value() {
    if (i_ >= s_.size())
      return false;
    char c = s_[i_];
    if (c == '"')
      return String();
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i_;
      if (i_ < s_.size() && s_[i_] == close) {
        ++i_;
        return true;
      }
      for (;;) {
        if (c == '{') {
          if (!String() || i_ >= s_.size() || s_[i_++] != ':')
            return false;
        }
        if (!Value() || i_ >= s_.size())
          return false;
        if (s_[i_] == close) {
          ++i_;
          return true;
        }
        if (s_[i_++] != ',')
          return false;
      }
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      ++i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return true;
    }
    return Literal("true") || Literal("false") || Literal("null");
  }
  const std::string& s_;
  size_t i_ = 0;
};

TEST(LogCommand, UsageAndExitStatuses) {
  EXPECT_EQ(RunTool({}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"frobnicate", "-"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"summary"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"summary", "--appl", "1", "-"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"grep", "--plci", "xyz", "-"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"grep", "--from", "25:00", "-"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"grep", "--to"}).status, LogCommand::kFailed);
  Result missing = RunTool({"summary", "/nonexistent/pellinor.log"});
  EXPECT_EQ(missing.status, LogCommand::kFailed);
  EXPECT_EQ(missing.err,
            "pellinor-log: cannot read /nonexistent/pellinor.log: No such file or directory\n");
  // follow: one file, not standard input, no JSON; grep's filters only.
  EXPECT_EQ(RunTool({"follow", "-"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"follow", "a.log", "b.log"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"follow", "--json", "a.log"}).status, LogCommand::kFailed);
  EXPECT_EQ(RunTool({"grep", "--until-stop", "-"}).status, LogCommand::kFailed);
  Result folder = RunTool({"follow", "/"});
  EXPECT_EQ(folder.status, LogCommand::kFailed);
  EXPECT_EQ(folder.err, "pellinor-log: /: is a directory\n");
  EXPECT_EQ(RunTool({"--help"}).status, LogCommand::kOk);
  EXPECT_EQ(RunTool({"summary", "-"}, "").status, LogCommand::kOk);
}

TEST(LogCommand, TimeOptions) {
  long long ms = 0;
  bool ofDay = false;
  ASSERT_TRUE(ParseTimeOption("2003-01-05 14:03:07.123", &ms, &ofDay));
  EXPECT_EQ(ms, 1041775387123LL);
  EXPECT_FALSE(ofDay);
  ASSERT_TRUE(ParseTimeOption("2003-01-05T14:03", &ms, &ofDay));
  EXPECT_EQ(ms, 1041775380000LL);
  ASSERT_TRUE(ParseTimeOption("14:03:07", &ms, &ofDay));
  EXPECT_TRUE(ofDay);
  EXPECT_EQ(ms, (14 * 3600 + 3 * 60 + 7) * 1000LL);
  EXPECT_FALSE(ParseTimeOption("14:3", &ms, &ofDay));
  EXPECT_FALSE(ParseTimeOption("2003-13-05 14:03", &ms, &ofDay));
  EXPECT_FALSE(ParseTimeOption("14:03:07.1", &ms, &ofDay));
}

TEST(LogCommand, ReportsOfAWholeSessionAreStable) {
  std::string log = OneSession();
  // The log itself, for reading by eye and for the README's examples.
  ExpectGolden("session.log", log);
  for (const char* command : {"summary", "calls", "errors"}) {
    SCOPED_TRACE(command);
    // `errors` tells a script by its status that the log holds errors.
    int status = std::string(command) == "errors" ? LogCommand::kFoundErrors : LogCommand::kOk;
    Result text = RunTool({command, "-"}, log);
    EXPECT_EQ(text.status, status);
    EXPECT_EQ(text.err, "");
    ExpectGolden(std::string("session.") + command, text.out);
    Result json = RunTool({command, "--json", "-"}, log);
    EXPECT_EQ(json.status, status);
    EXPECT_TRUE(JsonCheck(json.out).Document()) << json.out;
    ExpectGolden(std::string("session.") + command + ".json", json.out);
  }
}

// The blocks a filter should pick, found by reading the log independently.
class BlockSink : public LogSink {
 public:
  explicit BlockSink(bool (*pick)(const LogRecord&)) : pick_(pick) {}
  void OnRecord(const LogRecord& r, std::string_view raw) override {
    if (pick_(r))
      picked += raw;
  }
  std::string picked;

 private:
  bool (*pick_)(const LogRecord&);
};

std::string Pick(const std::string& log, bool (*pick)(const LogRecord&)) {
  BlockSink sink(pick);
  LogReader reader(sink);
  reader.Read(log);
  return sink.picked;
}

TEST(LogCommand, GrepPrintsTheMatchingBlocksExactlyAsTheyStand) {
  std::string log = OneSession();
  Result data = RunTool({"grep", "--command", "DATA_B3", "-"}, log);
  EXPECT_EQ(data.status, 0);
  EXPECT_EQ(data.err, "");
  EXPECT_EQ(data.out, Pick(log, [](const LogRecord& r) {
              for (const MessageView& m : r.messages)
                if (m.name.substr(0, 8) == "DATA_B3_")
                  return true;
              return false;
            }));
  EXPECT_NE(data.out.find("\r\n"), std::string::npos);

  // A whole message name, and a CAPI function.
  Result ind = RunTool({"grep", "--command", "DISCONNECT_IND", "-"}, log);
  EXPECT_EQ(ind.out, Pick(log, [](const LogRecord& r) {
              return !r.messages.empty() && r.messages[0].name == "DISCONNECT_IND";
            }));
  Result reg = RunTool({"grep", "--command", "CAPI_REGISTER", "-"}, log);
  EXPECT_EQ(reg.out, Pick(log, [](const LogRecord& r) { return r.function == "CAPI_REGISTER"; }));

  // The incoming call's PLCI, and its NCCI.
  Result plci = RunTool({"grep", "--plci", "0201", "-"}, log);
  std::string expected = Pick(log, [](const LogRecord& r) {
    for (const MessageView& m : r.messages) {
      const ParamValue* a = m.Find(r.params, 0x03);
      if (a != nullptr && (a->value & 0xFFFF) == 0x0201)
        return true;
    }
    return false;
  });
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(plci.out, expected);
  Result ncci = RunTool({"grep", "--ncci", "0x00020201", "--command", "DATA_B3_IND", "-"}, log);
  EXPECT_EQ(ncci.out, Pick(log, [](const LogRecord& r) {
              return !r.messages.empty() && r.messages[0].name == "DATA_B3_IND" &&
                     r.messages[0].Find(r.params, 0x03)->value == 0x00020201;
            }));

  // An application: its messages and, by its file object, its registration
  // (the request too, which comes before the ApplID is known) and release,
  // but not the failed registration of another file object.
  Result appl = RunTool({"grep", "--appl", "1", "-"}, log);
  EXPECT_EQ(appl.out, Pick(log, [](const LogRecord& r) {
              for (const MessageView& m : r.messages)
                if (m.appl == 1)
                  return true;
              return r.fileObject == "81F20040";
            }));
  EXPECT_NE(appl.out.find("  MessageBufferSize:    1024"), std::string::npos);
  EXPECT_NE(appl.out.find("COMPLETION CAPI_RELEASE"), std::string::npos);
  Result applJson = RunTool({"grep", "--json", "--appl", "1", "--command", "CAPI_REGISTER", "-"}, log);
  EXPECT_TRUE(JsonCheck(applJson.out).Document()) << applJson.out;
  EXPECT_NE(applJson.out.find("\"matches\":2"), std::string::npos) << applJson.out;
  Result other = RunTool({"grep", "--appl", "2", "-"}, log);
  EXPECT_EQ(other.status, LogCommand::kNoMatch);
  EXPECT_EQ(other.out, "");

  // Time: the session starts at 14:03:07.123; the refused call's
  // DISCONNECT_IND comes at 14:03:11.155.
  Result late = RunTool({"grep", "--from", "14:03:11.155", "--to", "2003-01-05 14:03:11.155",
                         "--command", "DISCONNECT_IND", "-"},
                        log);
  EXPECT_EQ(late.status, 0);
  EXPECT_NE(late.out.find("Reason                          = 0x34a2"), std::string::npos);
  EXPECT_EQ(late.out.find("0x3490"), std::string::npos);

  Result json = RunTool({"grep", "--json", "--command", "DISCONNECT_IND", "-"}, log);
  EXPECT_TRUE(JsonCheck(json.out).Document()) << json.out;
  EXPECT_NE(json.out.find("\"matches\":3"), std::string::npos);
}

TEST(LogCommand, WhatCouldNotBeReadGoesToStandardError) {
  std::string log = OneSession(false);
  log.insert(log.find("\nStart Tracing"), "\nscribbled by hand");
  log += "trailing words";
  // The reports, and grep's blocks, on standard output; the diagnostics
  // on standard error.
  for (const char* command : {"summary", "grep"}) {
    Result r = RunTool({command, "-"}, log);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("not understood"), std::string::npos);
    EXPECT_EQ(r.err.substr(0, 26), "2 lines not understood (-:") << r.err;
    EXPECT_NE(r.err.find("\n1 file ends in the middle of a line\n"), std::string::npos) << r.err;
  }
}

// A copy of the log as a Windows editor saves it reads as the log; what is
// no log (compressed, binary, other text) is refused with what it is.
TEST(LogCommand, InputsThatAreNotThePlainLog) {
  std::string log = OneSession();
  Result plain = RunTool({"summary", "-"}, log);
  auto wide = [&](bool littleEndian, bool mark) {
    std::string w = mark ? (littleEndian ? "\xFF\xFE" : "\xFE\xFF") : "";
    for (char c : log) w += littleEndian ? std::string{c, '\0'} : std::string{'\0', c};
    return w;
  };
  for (const std::string& copy : {wide(true, true), wide(false, true), wide(true, false),
                                  std::string("\xEF\xBB\xBF") + log}) {
    Result r = RunTool({"summary", "-"}, copy);
    EXPECT_EQ(r.status, LogCommand::kOk) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, plain.out);
  }
  // Zero bytes the system left at the end are left out, and said so.
  Result zeros = RunTool({"summary", "-"}, log + std::string(4096, '\0'));
  EXPECT_EQ(zeros.status, LogCommand::kOk);
  EXPECT_EQ(zeros.out, plain.out);
  EXPECT_EQ(zeros.err,
            "pellinor-log: -: ends in 4096 zero bytes, left out (the system stopped before the "
            "driver's text reached them)\n");

#if PELLINOR_HAVE_ZLIB
  // A gzip-compressed log reads as the log; one cut off is refused.
  std::string path = ::testing::TempDir() + "pellinorlog_gzip.log";
  std::ofstream(path, std::ios::binary) << log;
  ASSERT_EQ(std::system(("gzip -c -n " + path + " > " + path + ".gz").c_str()), 0);
  std::string gz = ReadFile(path + ".gz");
  std::remove(path.c_str());
  std::remove((path + ".gz").c_str());
  Result unzipped = RunTool({"summary", "-"}, gz);
  EXPECT_EQ(unzipped.status, LogCommand::kOk) << unzipped.err;
  EXPECT_EQ(unzipped.out, plain.out);
  Result cut = RunTool({"summary", "-"}, gz.substr(0, gz.size() / 2));
  EXPECT_EQ(cut.status, LogCommand::kFailed);
  EXPECT_EQ(cut.err, "pellinor-log: -: gzip-compressed log, cut off: gunzip -c gives what there is\n");
#endif
  struct Refused {
    std::string bytes;
    std::string message;
  };
  for (const Refused& bad : std::vector<Refused>{
#if !PELLINOR_HAVE_ZLIB
           {std::string("\x1F\x8B\x08\x00", 4) + log, "gzip-compressed log: decompress it first (gunzip)"},
#endif
           {"PK\x03\x04" + log, "zip archive, not a log: unpack it first (unzip)"},
           {log.substr(0, 500) + std::string("\0\x01\x02", 3) + log.substr(500),
            "binary data, not a text log (a zero byte at offset 500)"},
           {"Dear diary,\nthe line was busy again.\n",
            "not a trace log: none of its lines is one the driver writes"},
       }) {
    for (const char* command : {"summary", "errors", "grep"}) {
      Result r = RunTool({command, "-"}, bad.bytes);
      EXPECT_EQ(r.status, LogCommand::kFailed) << bad.message;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "pellinor-log: -: " + bad.message + "\n");
    }
  }
  Result dir = RunTool({"summary", ::testing::TempDir()});
  EXPECT_EQ(dir.status, LogCommand::kFailed);
  EXPECT_EQ(dir.err, "pellinor-log: cannot read " + ::testing::TempDir() + ": it is a directory\n");
}

// The clock set back in the middle of a session: the report says where,
// and gives no duration that spans the step.
TEST(LogCommand, AClockSetBackIsToldNotComputedThrough) {
  std::string log;
  LogGenerator g(log, true);
  g.Banner("CAPI201");
  g.Start();
  g.Register(1);
  g.OutgoingCall(1, 1, "5551234", "4711", 1, 10);
  std::vector<uint8_t> connect;
  PutDword(connect, 1);
  PutWord(connect, 2);
  PutStruct(connect, std::string("\x80", 1) + "5550000");
  PutStruct(connect, std::string("\x00\x80", 2) + "4711");
  for (int i = 0; i < 7; ++i) PutStruct(connect, "");
  g.Put(1, CapiBytes(1, 0x02, 0x80, 99, connect));
  g.SetTime(g.Time() - 3600 * 1000);  // clock set 09:00 after 10:00
  std::vector<uint8_t> conf;
  PutDword(conf, 0x0201);
  PutWord(conf, 0);
  g.Get(1, CapiBytes(1, 0x02, 0x81, 99, conf));
  g.Stop();

  Result summary = RunTool({"summary", "-"}, log);
  EXPECT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(summary.out.find("-3"), std::string::npos) << summary.out;
  EXPECT_NE(summary.out.find("  Time: 2003-01-05 14:03:07.123 to 2003-01-05 13:03:08.754 (clock "
                             "set back)\n  Clock set back at -:316: from 2003-01-05 14:03:08.754 to "
                             "2003-01-05 13:03:08.754; durations across it are not given\n"),
            std::string::npos)
      << summary.out;
  EXPECT_NE(summary.out.find("; stopped 13:03:08.754 after clock set back\n"), std::string::npos);
  EXPECT_NE(summary.out.find("PLCI 0x0201, outgoing to 5550000 from 4711, 14:03:08.754 to "
                             "13:03:08.754 (clock set back)\n"),
            std::string::npos);
  // The request before the step and its confirmation after it are no
  // confirmation time.
  EXPECT_EQ(summary.out.find("MsgNr 99  at"), std::string::npos);
  Result calls = RunTool({"calls", "-"}, log);
  // The first call lies before the step and keeps its duration; the second
  // spans it.
  EXPECT_NE(calls.out.find(" s  cleared by the application"), std::string::npos) << calls.out;
  EXPECT_NE(calls.out.find("clock set back  still open"), std::string::npos) << calls.out;
  Result json = RunTool({"summary", "--json", "-"}, log);
  EXPECT_TRUE(JsonCheck(json.out).Document()) << json.out;
  EXPECT_NE(json.out.find("\"clockSetBack\":true"), std::string::npos);
  EXPECT_NE(json.out.find("\"clockSteps\":[{\"from\":\"2003-01-05T14:03:08.754Z\",\"to\":"
                          "\"2003-01-05T13:03:08.754Z\",\"file\":\"-\",\"line\":316}]"),
            std::string::npos);
  EXPECT_EQ(json.out.find("\"durationMs\":-"), std::string::npos);
}

// The generations of a size-limited log, as the writer makes them: each
// file after the first opens with its part line and the session's start
// between two notices. Given in any order they read as the one log; the
// newest read alone still knows its device and settings.
TEST(LogCommand, GenerationsOfARotatedLogReadInAnyOrderAsOne) {
  const std::string whole = OneSession();
  const std::string head = whole.substr(0, whole.find("\r\n\r\n\r\n", whole.find("Start Tracing")) + 2);
  const size_t cut1 = whole.find("\r\n\r\n\r\n", whole.find("DATA_B3_REQ")) + 2;
  const size_t cut2 = whole.find("\r\n\r\n\r\n", whole.find("CONNECT_IND")) + 2;
  auto part = [&](int n, const std::string& body) {
    // The part line is stamped when the part began: its first record's time.
    size_t date = body.find(" Sun, Jan 05 2003\r\n");
    size_t line = body.rfind('\n', date) + 1;
    std::string stamp = body.substr(line, body.find('\n', date) + 1 - line);
    return stamp + "*** log continued: part " + std::to_string(n) +
           " of the log begun 14:03:07.000 Sun, Jan 05 2003; older parts are kept in "
           "C:\\Pellinor.log.old to C:\\Pellinor.log.old.2, newest first ***\r\n\r\n" +
           stamp + "*** the start of the session, repeated ***\r\n" + head + "\r\n" + stamp +
           "*** end of the repeated start ***\r\n" + body;
  };
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "pellinor-log-gen";
  std::filesystem::create_directories(dir);
  const std::string names[] = {(dir / "Pellinor.log.old.2").string(),
                               (dir / "Pellinor.log.old").string(),
                               (dir / "Pellinor.log").string()};
  std::ofstream(names[0], std::ios::binary) << whole.substr(0, cut1);
  std::ofstream(names[1], std::ios::binary) << part(2, whole.substr(cut1, cut2 - cut1));
  std::ofstream(names[2], std::ios::binary) << part(3, whole.substr(cut2));

  Result one = RunTool({"calls", "-"}, whole);
  Result three = RunTool({"calls", names[2], names[0], names[1]});
  EXPECT_EQ(three.status, 0) << three.err;
  EXPECT_EQ(three.out, one.out);
  Result summary = RunTool({"summary", names[1], names[2], names[0]});
  EXPECT_EQ(summary.out.find("Log: " + names[0] + ", " + names[1] + ", " + names[2] + ":"), 0u)
      << summary.out;
  EXPECT_EQ(summary.out.find("Session 2"), std::string::npos) << summary.out;
  EXPECT_EQ(summary.out.find("clock set back"), std::string::npos) << summary.out;
  EXPECT_EQ(summary.out.find("not understood"), std::string::npos) << summary.out;

  // Alone: the repeat is its session's start, stamped as it first was.
  Result alone = RunTool({"summary", names[2]});
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_NE(alone.out.find("): device \"CAPI201\""), std::string::npos) << alone.out;
  EXPECT_NE(alone.out.find("  Start 14:03:07.123: CAPI functions YES"), std::string::npos)
      << alone.out;
  EXPECT_EQ(alone.out.find("Session 2"), std::string::npos) << alone.out;
  EXPECT_EQ(alone.out.find("clock set back"), std::string::npos) << alone.out;
  std::filesystem::remove_all(dir);
}

// Every whole-session log that the other tests of the project leave: the
// reader understands each line, and the blocks are the file.
TEST(LogCommand, EveryBundledSessionLogIsUnderstood) {
  namespace fs = std::filesystem;
  size_t logs = 0;
  for (const char* folder : {"tests/data/filter", "tests/data/scenarios", "tests/data/trace"}) {
    fs::path dir = SourcePath(folder);
    if (!fs::exists(dir))
      continue;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file() || entry.path().extension() != ".log")
        continue;
      if (entry.path().filename() == "text_records.log")
        continue;  // texts of a unit test, not of the driver
      SCOPED_TRACE(entry.path().string());
      ++logs;
      std::string text = ReadFile(entry.path().string());
      CallAnalyzer analysis;
      LogReader reader(analysis);
      reader.Read(text);
      analysis.Finish();
      EXPECT_EQ(reader.Stats().unknownLines, 0u);
      EXPECT_EQ(reader.Stats().mismatchedMessages, 0u);
      Result r = RunTool({"summary", entry.path().string()});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_GE(logs, 12u);
}

TEST(LogCommand, WholeSessionLogsOfTheFilterTests) {
  auto analyse = [](const std::string& name, CallAnalyzer& analysis) {
    std::string text = ReadFile(SourcePath("tests/data/filter/" + name));
    LogReader reader(analysis);
    reader.Read(text);
    analysis.Finish();
    return !text.empty();
  };
  {
    CallAnalyzer a;
    if (!analyse("user_call_default.log", a))
      GTEST_SKIP() << "the filter's logs are not there";
    ASSERT_EQ(a.Sessions().size(), 1u);
    EXPECT_EQ(a.Sessions()[0].target, "CAPI201");
    EXPECT_EQ(a.Sessions()[0].controllers, 1);
    EXPECT_TRUE(a.Sessions()[0].starts.at(0).stopped);
    ASSERT_FALSE(a.Applications().empty());
    EXPECT_TRUE(a.Applications()[0].registered);
    EXPECT_TRUE(a.Applications()[0].released);
    ASSERT_FALSE(a.Connections().empty());
    EXPECT_EQ(a.Connections()[0].direction, Connection::kOutgoing);
    EXPECT_EQ(a.Connections()[0].plci, 0x0101u);
  }
  {
    CallAnalyzer a;
    ASSERT_TRUE(analyse("maker_three_controllers.log", a));
    EXPECT_EQ(a.Sessions()[0].controllers, 3);
    EXPECT_EQ(a.Sessions()[0].bChannels, 34);
  }
  {
    CallAnalyzer a;
    ASSERT_TRUE(analyse("query_serial_fails.log", a));
    EXPECT_EQ(a.Sessions()[0].queryErrors, 1u);
  }
  {
    CallAnalyzer a;
    ASSERT_TRUE(analyse("start_while_tracing.log", a));
    ASSERT_EQ(a.Sessions()[0].starts.size(), 2u);
    EXPECT_FALSE(a.Sessions()[0].starts[0].stopped);
    EXPECT_FALSE(a.Sessions()[0].starts[1].settings.functions);
    EXPECT_EQ(a.Sessions()[0].starts[1].settings.b3Bytes, 8u);
  }
}

std::string Program() {
  std::string runner = PELLINOR_LOG_RUNNER;
  return (runner.empty() ? "" : runner + " ") + PELLINOR_LOG_PROGRAM;
}

TEST(LogCommand, TheBuiltProgram) {
  std::string out = ::testing::TempDir() + "pellinor-log-out.txt";
  std::string golden = SourcePath("tests/data/trace/register_release.log");
  int status = std::system((Program() + " errors " + golden + " > " + out).c_str());
  EXPECT_EQ(WEXITSTATUS(status), LogCommand::kFoundErrors);
  std::string text = ReadFile(out);
  EXPECT_NE(text.find("COMPLETION CAPI_REGISTER 0xC0000023 STATUS_BUFFER_TOO_SMALL"),
            std::string::npos);
  EXPECT_NE(text.find("\n1 error, 0 records lost\n"), std::string::npos);
  status = std::system((Program() + " grep --appl 9 " + golden + " > " + out).c_str());
  EXPECT_EQ(WEXITSTATUS(status), LogCommand::kNoMatch);
  status = std::system((Program() + " summary 2> " + out).c_str());
  EXPECT_EQ(WEXITSTATUS(status), LogCommand::kFailed);
  EXPECT_EQ(ReadFile(out).substr(0, 40), "pellinor-log: no log file given\nusage: p");
}

}  // namespace
}  // namespace pellinorlog

namespace pellinorlog {
namespace {

struct ScenarioLog {
  explicit ScenarioLog(const std::string& name)
      : text(ReadFile(SourcePath("tests/data/scenarios/" + name + ".log"))), reader(analysis) {
    reader.Read(text);
    analysis.Finish();
  }
  std::string text;
  CallAnalyzer analysis;
  LogReader reader;
};

// What each bundled scenario (scenarios/*.pel) did, as the summary tells it.
TEST(BundledScenarios, TheSummaryTellsWhatTheScenarioDid) {
  ScenarioLog demo("demo");
  if (demo.text.empty())
    GTEST_SKIP() << "the scenarios' logs are not there";
  {
    const CallAnalyzer& a = demo.analysis;
    EXPECT_EQ(demo.reader.Stats().unknownLines, 0u);
    ASSERT_EQ(a.Sessions().size(), 1u);
    EXPECT_EQ(a.Sessions()[0].target, "CAPI201");
    ASSERT_EQ(a.Sessions()[0].starts.size(), 1u);
    EXPECT_TRUE(a.Sessions()[0].starts[0].stopped);
    ASSERT_EQ(a.Applications().size(), 1u);
    EXPECT_TRUE(a.Applications()[0].registered);
    EXPECT_TRUE(a.Applications()[0].released);
    ASSERT_EQ(a.Connections().size(), 1u);
    const Connection& c = a.Connections()[0];
    EXPECT_EQ(c.direction, Connection::kOutgoing);
    EXPECT_EQ(c.called, "5551234");
    EXPECT_EQ(c.calling, "5550001");
    EXPECT_TRUE(c.active);
    EXPECT_EQ(c.b3Out, 3u);
    EXPECT_EQ(c.b3OutBytes, 96u);
    EXPECT_EQ(c.b3In, 3u);
    EXPECT_EQ(c.b3InBytes, 96u);
    EXPECT_FALSE(c.failed);
    EXPECT_TRUE(c.clearedByApplication);
    EXPECT_TRUE(a.Errors().empty());
  }
  {
    // A kernel-mode client: its ApplID comes from its first message, and
    // grep finds its registration by it.
    ScenarioLog k("kernel-client");
    Result reg = RunTool({"grep", "--appl", "1", "--command", "CAPI_REGISTER",
                          SourcePath("tests/data/scenarios/kernel-client.log")});
    EXPECT_NE(reg.out.find("  MessageBufferSize:    3072"), std::string::npos) << reg.out;
    EXPECT_NE(reg.out.find("COMPLETION CAPI_REGISTER"), std::string::npos);
    ASSERT_EQ(k.analysis.Applications().size(), 1u);
    EXPECT_TRUE(k.analysis.Applications()[0].registered);
    EXPECT_TRUE(k.analysis.Applications()[0].hasRegisterParams);
    EXPECT_TRUE(k.analysis.Applications()[0].released);
    ASSERT_EQ(k.analysis.Connections().size(), 1u);
    EXPECT_EQ(k.analysis.Connections()[0].b3Out, 2u);
    EXPECT_EQ(k.analysis.Connections()[0].b3InBytes, 32u);
  }
  {
    ScenarioLog m("maker-target");
    EXPECT_EQ(m.analysis.Sessions()[0].controllers, 3);
    EXPECT_EQ(m.analysis.Sessions()[0].bChannels, 34);
    ASSERT_EQ(m.analysis.Connections().size(), 1u);
    EXPECT_EQ(m.analysis.Connections()[0].plci & 0x7F, 3u);  // on controller 3
  }
  {
    // Restarted with other settings: the user-mode application of the
    // second start is hidden, the kernel-mode one is traced.
    ScenarioLog s("settings-restart");
    const Session& session = s.analysis.Sessions()[0];
    ASSERT_EQ(session.starts.size(), 2u);
    EXPECT_EQ(session.starts[1].settings.b3Bytes, 8u);
    EXPECT_FALSE(session.starts[1].settings.userMode);
    EXPECT_EQ(s.analysis.Applications().size(), 2u);
    EXPECT_EQ(s.analysis.Connections().size(), 2u);
  }
  {
    ScenarioLog f("forced-stop");
    ASSERT_EQ(f.analysis.Sessions()[0].starts.size(), 2u);
    EXPECT_TRUE(f.analysis.Sessions()[0].starts[1].stopped);
    ASSERT_EQ(f.analysis.Applications().size(), 1u);
    EXPECT_FALSE(f.analysis.Applications()[0].released);  // released after the forced stop
  }
  {
    // Tracing began only when the retry found the target, ten seconds on.
    ScenarioLog r("retry-target");
    EXPECT_EQ(r.analysis.Sessions()[0].firstMs - 1041775387123LL, 10000);
    EXPECT_EQ(r.analysis.Connections().size(), 1u);
  }
  {
    // The traced device went away two seconds into the trace; the summary
    // says when.
    ScenarioLog p("pnp-removal");
    EXPECT_EQ(p.reader.Stats().unknownLines, 0u);
    const Session& session = p.analysis.Sessions()[0];
    EXPECT_TRUE(session.removed);
    EXPECT_EQ(session.removedMs - 1041775387123LL, 2000);
    Result summary = RunTool({"summary", SourcePath("tests/data/scenarios/pnp-removal.log")});
    EXPECT_NE(summary.out.find("  Traced device removed (Plug and Play) 14:03:09.123: nothing of "
                               "it traced after that\n"),
              std::string::npos)
        << summary.out;
  }
  {
    // Caller ids: grep --pid takes one process's requests and their
    // completions; the second start, without the ids, matches nothing.
    ScenarioLog c("callers");
    const Session& session = c.analysis.Sessions()[0];
    ASSERT_EQ(session.starts.size(), 2u);
    EXPECT_TRUE(session.starts[0].settings.callerIds);
    EXPECT_FALSE(session.starts[1].settings.callerIds);
    const std::string log = SourcePath("tests/data/scenarios/callers.log");
    Result a = RunTool({"grep", "--pid", "1004", log});
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.err, "");
    auto count = [](const std::string& text, const std::string& what) {
      size_t n = 0;
      for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
      return n;
    };
    // Application a: its registration and its release, each with its
    // completion, and nothing of b, the kernel-mode client or c.
    EXPECT_EQ(count(a.out, "\nCAPI_"), 2u) << a.out;
    EXPECT_EQ(count(a.out, ", Process 1004, Thread "), 2u);
    EXPECT_EQ(count(a.out, "\nCOMPLETION CAPI_REGISTER"), 1u);
    EXPECT_EQ(count(a.out, "\nCOMPLETION CAPI_RELEASE"), 1u);
    Result kernel = RunTool({"grep", "--pid", "4", "--command", "CAPI_GET_VERSION", log});
    EXPECT_EQ(count(kernel.out, "(KernelMode, "), 2u) << kernel.out;
    Result none = RunTool({"grep", "--pid", "1004", SourcePath("tests/data/scenarios/demo.log")});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no request in the log carries caller ids"), std::string::npos);
  }
}

}  // namespace
}  // namespace pellinorlog

#include "tools/pellinor-log/LogGenerator.h"
#include "tools/pellinor-log/LogReader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pellinorlog {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string Golden(const std::string& name) {
  return ReadFile(std::string(PELLINOR_SOURCE_DIR) + "/tests/data/trace/" + name);
}

std::string WithoutCr(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r')
      out.push_back(c);
  return out;
}

// What a test looks at of one record, copied while the views are valid.
struct Seen {
  RecordKind kind;
  TextKind text;
  std::string function, major, fileObject, irp, statusName, target, raw;
  uint32_t contentLine;
  bool hasStatus;
  uint32_t status;
  uint16_t capiError;
  bool stamped;
  int64_t ms;
  bool invalidMessage, invalidInput, invalidOutput, hasApplId;
  uint32_t applId;
  struct Msg {
    std::string name;
    uint32_t appl, number, params, payload;
    bool complete, cut;
    std::vector<std::pair<uint8_t, uint32_t>> numbers;  // code, value of word/dword parameters
  };
  std::vector<Msg> messages;
};

class Collect : public LogSink {
 public:
  void OnRecord(const LogRecord& r, std::string_view raw) override {
    Seen s{r.kind,
           r.text,
           std::string(r.function),
           std::string(r.major),
           std::string(r.fileObject),
           std::string(r.irp),
           std::string(r.statusName),
           std::string(r.target),
           std::string(raw),
           r.contentLine,
           r.hasStatus,
           r.status,
           r.capiError,
           r.stamp.valid,
           r.stamp.ms,
           r.invalidMessage,
           r.invalidInput,
           r.invalidOutput,
           r.hasApplId,
           r.applId,
           {}};
    for (const MessageView& m : r.messages) {
      Seen::Msg msg{std::string(m.name), m.appl,     m.number, m.paramCount,
                    m.payloadBytes,      m.complete, m.cut,    {}};
      for (uint32_t i = m.firstParam; i < m.firstParam + m.paramCount; ++i)
        if (r.params[i].number)
          msg.numbers.emplace_back(r.params[i].code, r.params[i].value);
      s.messages.push_back(msg);
    }
    records.push_back(s);
  }
  std::vector<Seen> records;
};

struct Result {
  std::vector<Seen> records;
  ReadStats stats;
};

Result ReadText(const std::vector<std::string>& files) {
  Collect sink;
  LogReader reader(sink);
  for (const std::string& f : files) reader.Read(f);
  return Result{sink.records, reader.Stats()};
}

const char* const kGoldenLogs[] = {
    "allocation_failures.log",
    "controller_queries.log",
    "direct_io.log",
    "kernel_failure_messages_only.log",
    "kernel_internal_ioctls.log",
    "makers_device.log",
    "messages_only.log",
    "parameter_block_ioctls.log",
    "payload_limit.log",
    "pending_read.log",
    "register_release.log",
    "write_read.log",
};

TEST(LogReader, StampsReadAsUtcMilliseconds) {
  int64_t ms = 0;
  ASSERT_TRUE(ParseStamp("14:03:07.123 Sun, Jan 05 2003", &ms));
  EXPECT_EQ(ms, 1041775387123LL);
  ASSERT_TRUE(ParseStamp("08:05:09.007 Sun, Feb 29 2004", &ms));
  EXPECT_EQ(ms, 1078041909007LL);
  EXPECT_FALSE(ParseStamp("14:03:07.123 Sun, Jxn 05 2003", &ms));
  EXPECT_FALSE(ParseStamp("24:03:07.123 Sun, Jan 05 2003", &ms));
  EXPECT_FALSE(ParseStamp("14:03:07.123 Sun, Jan 05 2003 ", &ms));
  EXPECT_FALSE(ParseStamp("14:03:07,123 Sun, Jan 05 2003", &ms));
  // The weekday must be the date's: a year past 9999, which the driver cuts
  // to four digits, is not read as a date centuries off. Five digits read.
  EXPECT_FALSE(ParseStamp("14:03:07.123 Mon, Jan 05 2003", &ms));
  EXPECT_FALSE(ParseStamp("14:03:07.123 Fri, Jan 05 1000", &ms));  // before system time
  ASSERT_TRUE(ParseStamp("14:03:07.123 Wed, Jan 05 10000", &ms));
  EXPECT_EQ(ms, DaysSince1970(10000, 1, 5) * 86400000 + (14 * 3600 + 3 * 60 + 7) * 1000 + 123);

  // In a log, such a block is read without its time, and the stamp counted.
  std::string log;
  LogGenerator g(log, false);
  g.Banner("CAPI201");
  g.Start();
  g.Register(1);
  g.OutgoingCall(1, 1, "5551234", "4711", 1, 10);
  size_t at = log.find("Sun, Jan 05 2003", log.find("CAPI_PUT_MESSAGE") - 40);
  log.replace(at, 16, "Sun, Jan 05 1000");
  struct Times : LogSink {
    void OnRecord(const LogRecord& r, std::string_view) override {
      if (r.stamp.valid && r.stamp.ms < 1041775387123LL)
        early += 1;
    }
    int early = 0;
  } times;
  LogReader reader(times);
  reader.Read(log);
  EXPECT_EQ(times.early, 0);
  EXPECT_EQ(reader.Stats().badStamps, 1u);
  EXPECT_EQ(reader.Stats().unknownLines, 0u);
}

TEST(LogReader, EveryGoldenLogIsUnderstoodWholeAndItsBlocksAreTheFile) {
  for (const char* name : kGoldenLogs) {
    SCOPED_TRACE(name);
    std::string text = Golden(name);
    ASSERT_FALSE(text.empty());
    Result r = ReadText({text});
    EXPECT_EQ(r.stats.unknownLines, 0u);
    EXPECT_EQ(r.stats.mismatchedMessages, 0u);
    EXPECT_EQ(r.stats.cutFiles, 0u);
    std::string joined;
    for (const Seen& s : r.records) joined += s.raw;
    EXPECT_EQ(joined, text);
    for (const Seen& s : r.records) {
      EXPECT_TRUE(s.stamped);
      EXPECT_EQ(s.ms, 1041775387123LL);
      for (const Seen::Msg& m : s.messages) EXPECT_TRUE(m.complete) << m.name;
    }
  }
}

TEST(LogReader, WriteAndReadBlocks) {
  Result r = ReadText({Golden("write_read.log")});
  ASSERT_EQ(r.records.size(), 12u);
  const Seen& put = r.records[0];
  EXPECT_EQ(put.kind, RecordKind::kRequest);
  EXPECT_EQ(put.function, "CAPI_PUT_MESSAGE");
  EXPECT_EQ(put.major, "MJ_WRITE");
  EXPECT_EQ(put.fileObject, "ADDR1");
  EXPECT_EQ(put.irp, "IRP1");
  EXPECT_EQ(put.contentLine, 3u);
  ASSERT_EQ(put.messages.size(), 1u);
  EXPECT_EQ(put.messages[0].name, "CONNECT_REQ");
  EXPECT_EQ(put.messages[0].appl, 1u);
  EXPECT_EQ(put.messages[0].number, 7u);
  EXPECT_EQ(put.messages[0].params, 17u);  // the group's own line and its six members included

  const Seen& done = r.records[1];
  EXPECT_EQ(done.kind, RecordKind::kCompletion);
  EXPECT_TRUE(done.hasStatus);
  EXPECT_EQ(done.status, 0u);
  EXPECT_EQ(done.statusName, "STATUS_SUCCESS");

  const Seen& data = r.records[2];
  ASSERT_EQ(data.messages.size(), 1u);
  EXPECT_EQ(data.messages[0].name, "DATA_B3_REQ");
  EXPECT_EQ(data.messages[0].payload, 32u);
  std::vector<std::pair<uint8_t, uint32_t>> numbers = {
      {0x03, 0x00010101}, {0x18, 0}, {0x1A, 0x0800}, {0x19, 3}, {0x21, 0}};
  EXPECT_EQ(data.messages[0].numbers, numbers);

  EXPECT_TRUE(r.records[4].invalidMessage);
  EXPECT_TRUE(r.records[4].messages.empty());

  const Seen& got = r.records[7];
  EXPECT_EQ(got.kind, RecordKind::kCompletion);
  ASSERT_EQ(got.messages.size(), 1u);
  EXPECT_EQ(got.messages[0].name, "DISCONNECT_IND");
  EXPECT_EQ(got.messages[0].numbers.back(), (std::pair<uint8_t, uint32_t>{0x2D, 0x3490}));

  const Seen& cancelled = r.records.back();
  EXPECT_EQ(cancelled.status, 0xC0000120u);
  EXPECT_EQ(cancelled.capiError, 0x1108);
  EXPECT_EQ(cancelled.statusName, "STATUS_CANCELLED");
}

TEST(LogReader, IoctlBuffersAndMessagesWithoutSummary) {
  Result reg = ReadText({Golden("register_release.log")});
  ASSERT_EQ(reg.records.size(), 8u);
  EXPECT_TRUE(reg.records[1].hasApplId);
  EXPECT_EQ(reg.records[1].applId, 1u);
  EXPECT_EQ(reg.records[3].capiError, 0x1004);

  Result only = ReadText({Golden("messages_only.log")});
  ASSERT_EQ(only.records.size(), 3u);
  EXPECT_EQ(only.records[0].kind, RecordKind::kMessages);
  EXPECT_EQ(only.records[1].messages[0].name, "DISCONNECT_IND");

  Result pb = ReadText({Golden("parameter_block_ioctls.log")});
  EXPECT_TRUE(pb.records[2].invalidInput);
  EXPECT_TRUE(pb.records.back().invalidOutput);
}

TEST(LogReader, CrLfAndLfReadAlike) {
  for (const char* name : kGoldenLogs) {
    SCOPED_TRACE(name);
    std::string crlf = Golden(name);
    Result a = ReadText({crlf});
    Result b = ReadText({WithoutCr(crlf)});
    ASSERT_EQ(a.records.size(), b.records.size());
    for (size_t i = 0; i < a.records.size(); ++i) {
      EXPECT_EQ(a.records[i].function, b.records[i].function);
      EXPECT_EQ(a.records[i].contentLine, b.records[i].contentLine);
      ASSERT_EQ(a.records[i].messages.size(), b.records[i].messages.size());
      for (size_t m = 0; m < a.records[i].messages.size(); ++m)
        EXPECT_EQ(a.records[i].messages[m].numbers, b.records[i].messages[m].numbers);
    }
    EXPECT_EQ(b.stats.unknownLines, 0u);
  }
}

TEST(LogReader, CutAtEveryByteNeverLosesTextOrStops) {
  std::string text = Golden("write_read.log");
  Result whole = ReadText({text});
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::string part = text.substr(0, cut);
    Result r = ReadText({part});
    std::string joined;
    for (const Seen& s : r.records) joined += s.raw;
    ASSERT_EQ(joined, part) << "cut at " << cut;
    ASSERT_LE(r.records.size(), whole.records.size());
    // A cut shows as a message that misses parameters, as a last line
    // without its end, or as a line not understood; never as anything else.
    ASSERT_LE(r.stats.unknownLines, 1u) << "cut at " << cut;
    ASSERT_LE(r.stats.mismatchedMessages, 1u) << "cut at " << cut;
  }
  // Cut in the middle of CONNECT_REQ's parameters, at a line end.
  size_t at = text.find("  CallingPartySubaddress");
  Result r = ReadText({text.substr(0, at)});
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_FALSE(r.records[0].messages[0].complete);
  EXPECT_EQ(r.stats.mismatchedMessages, 1u);
  EXPECT_EQ(r.stats.unknownLines, 0u);
  EXPECT_EQ(r.stats.cutFiles, 0u);
  // And in the middle of a line.
  Result mid = ReadText({text.substr(0, at + 10)});
  EXPECT_EQ(mid.stats.cutFiles, 1u);
}

TEST(LogReader, UnknownLinesAreCountedWithTheirPlaceAndTheRestIsRead) {
  std::string text = WithoutCr(Golden("write_read.log"));
  // A stranger inside a block, one between blocks, one inside a message.
  std::string edited = text;
  edited.insert(edited.find("    WriteBufferLength: 40"), "some note\n");
  edited.insert(edited.find("\n\n14:03:07.123 Sun, Jan 05 2003\nCOMPLETION CAPI_PUT_MESSAGE "
                            "(MJ_WRITE (UserMode, FileObj ADDR1, Irp IRP2))"),
                "\nstray line");
  Result r = ReadText({edited});
  EXPECT_EQ(r.stats.unknownLines, 2u);
  ASSERT_EQ(r.stats.firstUnknown.size(), 2u);
  EXPECT_EQ(r.stats.firstUnknown[0].line, 5u);
  EXPECT_EQ(r.stats.firstUnknown[0].file, 1u);
  EXPECT_EQ(r.records[0].messages[0].name, "CONNECT_REQ");
  EXPECT_TRUE(r.records[0].messages[0].complete);
  // The stray line between blocks becomes a block of its own; the others
  // are all still there.
  EXPECT_EQ(r.records.size(), 13u);
  std::string joined;
  for (const Seen& s : r.records) joined += s.raw;
  EXPECT_EQ(joined, edited);
}

TEST(LogReader, HandEditedParameterCountIsFoundAndTheOtherParametersKept) {
  std::string text = WithoutCr(Golden("write_read.log"));
  // One parameter line removed from CONNECT_REQ.
  std::string fewer = text;
  size_t line = fewer.find("  CIPValue ");
  fewer.erase(line, fewer.find('\n', line) + 1 - line);
  Result r = ReadText({fewer});
  EXPECT_EQ(r.stats.mismatchedMessages, 1u);
  EXPECT_EQ(r.stats.unknownLines, 0u);
  const Seen::Msg& m = r.records[0].messages[0];
  EXPECT_FALSE(m.complete);
  EXPECT_EQ(m.params, 16u);

  // One parameter line too many in DISCONNECT_IND.
  std::string more = text;
  size_t reason = more.find("  Reason                          = 0x3490\n");
  more.insert(reason, "  Reason                          = 0x3491\n");
  Result r2 = ReadText({more});
  EXPECT_EQ(r2.stats.mismatchedMessages, 1u);
  EXPECT_EQ(r2.stats.unknownLines, 1u);

  // A parameter named wrongly.
  std::string renamed = text;
  size_t flags = renamed.find("  Flags     ");
  renamed.replace(flags, 7, "  Flogs");
  Result r3 = ReadText({renamed});
  EXPECT_EQ(r3.stats.mismatchedMessages, 1u);
  EXPECT_EQ(r3.stats.unknownLines, 1u);
}

TEST(LogReader, SessionBlocksOfTheDriver) {
  const std::string rule(80, '-');
  std::string text =
      "\n" + rule +
      "\nPellinor CAPI 2.0 Kernel Trace Driver v2.0  Build Date 10:00:00 Dec  7 2026\n"
      "\nOwner's notice.\n" +
      rule +
      "\nTracing CAPI device \"CAPI201\"\n"
      "\n14:03:07.123 Sun, Jan 05 2003\n=== Target Device Query ===\n"
      "Manufacturer:          Pellinor Test CAPI\nNumber of Controllers: 1\n"
      "\n--- Controller Nr. 1 ---\nSerial Number:              1234567\n"
      "CAPI Version:               2.0\nError calling target device:\n"
      "     (0xC0000002: STATUS_NOT_IMPLEMENTED)\n"
      "\nTotal Number of BChannels: 0\n-------------------------------------------------\n"
      "\n14:03:07.123 Sun, Jan 05 2003\n" +
      rule +
      "\nStart Tracing\nSettings:\n  CAPI functions: YES\n  CAPI messages:  NO\n"
      "  MaxDataB3Bytes: 8\n  CAPI ManuMessages:   YES\n  UserMode Appls: NO\n\n" +
      rule + "\n\n14:03:08.000 Sun, Jan 05 2003\n*** 3 trace records lost ***\n" +
      "\n14:03:09.000 Sun, Jan 05 2003\n" + rule + "\nStop Tracing\n" + rule + "\n";
  Collect sink;
  LogReader reader(sink);
  reader.Read(text);
  EXPECT_EQ(reader.Stats().unknownLines, 0u);
  ASSERT_EQ(sink.records.size(), 7u);
  EXPECT_EQ(sink.records[0].text, TextKind::kBanner);
  EXPECT_EQ(sink.records[0].target, "CAPI201");
  EXPECT_FALSE(sink.records[0].stamped);
  EXPECT_EQ(sink.records[1].text, TextKind::kTargetQuery);
  EXPECT_EQ(sink.records[2].text, TextKind::kController);
  EXPECT_EQ(sink.records[2].statusName, "STATUS_NOT_IMPLEMENTED");
  EXPECT_EQ(sink.records[3].text, TextKind::kTotal);
  EXPECT_EQ(sink.records[4].text, TextKind::kStartTracing);
  EXPECT_EQ(sink.records[5].text, TextKind::kRecordsLost);
  EXPECT_EQ(sink.records[6].text, TextKind::kStopTracing);
}

}  // namespace
}  // namespace pellinorlog

#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/CapiExplain.h"
#include "tools/pellinor-log/LogGenerator.h"
#include "tools/pellinor-log/LogReader.h"
#include "tests/pellinorlog/SampleLogs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellinorlog {
namespace {

std::string Golden(const std::string& name) {
  return ReadFile(SourcePath("tests/data/trace/" + name));
}

struct Analysed {
  explicit Analysed(const std::vector<std::string>& files) : reader(analysis) {
    for (const std::string& f : files) reader.Read(f);
    analysis.Finish();
  }
  CallAnalyzer analysis;
  LogReader reader;
};

TEST(CapiExplain, InfoReasonAndNetworkCauseInWords) {
  EXPECT_EQ(ExplainInfo(0x0000), "request accepted");
  EXPECT_EQ(ExplainInfo(0x2003), "out of PLCI");
  EXPECT_EQ(ExplainInfo(0x1004), "message buffer size too small, must be at least 1024 bytes");
  // A value the table does not name still gets its class.
  EXPECT_EQ(ExplainInfo(0x20FF),
            "resource or coding error: the request was not accepted (value 0x20FF not named)");
  EXPECT_EQ(ExplainInfo(0x5555), "unknown Info value");
  EXPECT_EQ(ExplainReason(0), "normal clearing, no cause available");
  EXPECT_EQ(ExplainReason(0x3490), "network cause 16: normal call clearing");
  EXPECT_EQ(ExplainReason(0x3491), "network cause 17: user busy");
  EXPECT_EQ(ExplainReason(0x34A2), "network cause 34: no circuit/channel available");
  EXPECT_EQ(ExplainReason(0x3404), "network cause 4: cause not named");
  EXPECT_EQ(ExplainReason(0x3301),
            "protocol error layer 1 (broken line or B channel removed by signalling)");
  EXPECT_EQ(ExplainReason(0x2001), "message not supported in the current state");
  EXPECT_EQ(ExplainReasonB3(0x3312), "connection not successful: training error");
  EXPECT_EQ(ExplainReject(3), "reject: user busy");
  EXPECT_EQ(ExplainReject(9), "reject: unknown value");
  EXPECT_TRUE(IsNormalReason(0x3490));
  EXPECT_TRUE(IsNormalReason(0x349F));
  EXPECT_FALSE(IsNormalReason(0x3491));
}

TEST(CallAnalyzer, WholeSessionIsFollowedCallByCall) {
  Analysed a({OneSession()});
  EXPECT_EQ(a.reader.Stats().unknownLines, 0u);
  EXPECT_EQ(a.reader.Stats().mismatchedMessages, 0u);

  ASSERT_EQ(a.analysis.Sessions().size(), 1u);
  const Session& s = a.analysis.Sessions()[0];
  EXPECT_TRUE(s.banner);
  EXPECT_EQ(s.target, "CAPI201");
  EXPECT_EQ(s.buildDate, "10:00:00 Dec  7 2026");
  EXPECT_EQ(s.manufacturer, "Pellinor Test CAPI");
  EXPECT_EQ(s.controllers, 1);
  EXPECT_EQ(s.bChannels, 2);
  ASSERT_EQ(s.starts.size(), 1u);
  EXPECT_TRUE(s.starts[0].settings.valid);
  EXPECT_EQ(s.starts[0].settings.b3Bytes, 32u);
  EXPECT_TRUE(s.starts[0].stopped);
  EXPECT_EQ(s.starts[0].stopMs - s.starts[0].ms, 4033);

  ASSERT_EQ(a.analysis.Applications().size(), 1u);
  const Application& app = a.analysis.Applications()[0];
  EXPECT_EQ(app.appl, 1u);
  EXPECT_TRUE(app.registered);
  EXPECT_TRUE(app.hasRegisterParams);
  EXPECT_EQ(app.registerParams[0], 1024u);
  EXPECT_TRUE(app.released);
  EXPECT_EQ(app.messagesOut, 20u);
  EXPECT_EQ(app.messagesIn, 20u);

  const auto& calls = a.analysis.Connections();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].direction, Connection::kOutgoing);
  EXPECT_EQ(calls[0].plci, 0x0101u);
  EXPECT_EQ(calls[0].called, "5551234");
  EXPECT_EQ(calls[0].calling, "4711");
  EXPECT_TRUE(calls[0].active);
  EXPECT_FALSE(calls[0].failed);
  EXPECT_EQ(calls[0].nccis, std::vector<uint32_t>{0x00010101});
  EXPECT_EQ(calls[0].b3Out, 2u);
  EXPECT_EQ(calls[0].b3OutBytes, 200u);
  EXPECT_EQ(calls[0].b3In, 2u);
  EXPECT_EQ(calls[0].b3InBytes, 200u);
  EXPECT_EQ(calls[0].outcome,
            "cleared by the application, Reason 0x3490: network cause 16: normal call clearing");
  std::vector<std::string> flow;
  for (const FlowStep& f : calls[0].flow) flow.push_back(f.name);
  EXPECT_EQ(flow, (std::vector<std::string>{
                      "CONNECT_REQ", "CONNECT_CONF", "CONNECT_ACTIVE_IND", "CONNECT_B3_REQ",
                      "CONNECT_B3_CONF", "CONNECT_B3_ACTIVE_IND", "DISCONNECT_REQ",
                      "DISCONNECT_CONF", "DISCONNECT_B3_IND", "DISCONNECT_IND"}));
  EXPECT_EQ(calls[0].endMs - calls[0].startMs, 1648);

  EXPECT_EQ(calls[1].direction, Connection::kIncoming);
  EXPECT_EQ(calls[1].plci, 0x0201u);
  EXPECT_EQ(calls[1].calling, "5559876");
  EXPECT_EQ(calls[1].b3Out, 0u);
  EXPECT_EQ(calls[1].b3In, 1u);
  EXPECT_EQ(calls[1].b3InBytes, 50u);
  EXPECT_EQ(calls[1].outcome,
            "cleared by the network, Reason 0x3490: network cause 16: normal call clearing");

  EXPECT_TRUE(calls[2].failed);
  EXPECT_FALSE(calls[2].active);
  EXPECT_EQ(calls[2].outcome,
            "failed, cleared by the network, Reason 0x34A2: network cause 34: no circuit/channel "
            "available");

  const auto& errors = a.analysis.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].what, "COMPLETION CAPI_REGISTER 0xC0000023 STATUS_BUFFER_TOO_SMALL");
  EXPECT_EQ(errors[0].explanation,
            "CAPI error 0x1004: message buffer size too small, must be at least 1024 bytes");
  EXPECT_EQ(errors[1].what, "DISCONNECT_IND Reason 0x34A2, PLCI 0x0101");
  EXPECT_EQ(errors[1].appl, 1);

  ASSERT_FALSE(a.analysis.Slowest().empty());
  EXPECT_EQ(a.analysis.Slowest()[0].durationMs, 12);
  EXPECT_STREQ(a.analysis.Slowest()[0].request, "CONNECT_REQ");
}

TEST(CallAnalyzer, TwoSessionsInOneFileKeepTheirApplicationsApart) {
  std::string text = OneSession();
  std::string second;
  LogGenerator g(second, true);
  g.SetTime(1041775387123 + 3600000);
  g.Banner("CAPI202");
  g.Query("Pellinor Test CAPI", 2, 4);
  g.Start(0);
  g.Register(1);
  g.IncomingCall(1, 1, "4711", "5550001", 3, 10);
  // Tracing ends with the log: no Release, no Stop.
  Analysed a({text + second});
  ASSERT_EQ(a.analysis.Sessions().size(), 2u);
  EXPECT_EQ(a.analysis.Sessions()[1].target, "CAPI202");
  EXPECT_EQ(a.analysis.Sessions()[1].controllers, 2);
  EXPECT_EQ(a.analysis.Sessions()[1].starts[0].settings.b3Bytes, 0u);
  EXPECT_FALSE(a.analysis.Sessions()[1].starts[0].stopped);
  ASSERT_EQ(a.analysis.Applications().size(), 2u);
  EXPECT_EQ(a.analysis.Applications()[1].session, 2u);
  EXPECT_FALSE(a.analysis.Applications()[1].released);
  ASSERT_EQ(a.analysis.Connections().size(), 4u);
  EXPECT_EQ(a.analysis.Connections()[3].session, 2u);
  EXPECT_EQ(a.analysis.Connections()[3].b3In, 3u);
}

TEST(CallAnalyzer, ALogSplitIntoTwoFilesReadsAsOne) {
  std::string text = OneSession(false);
  // Split at a block boundary in the middle of the first call.
  size_t at = text.find("\n\n\n", text.find("DATA_B3_REQ")) + 1;
  Analysed whole({text});
  Analysed split({text.substr(0, at), text.substr(at)});
  ASSERT_EQ(split.analysis.Connections().size(), whole.analysis.Connections().size());
  for (size_t i = 0; i < whole.analysis.Connections().size(); ++i) {
    EXPECT_EQ(split.analysis.Connections()[i].outcome, whole.analysis.Connections()[i].outcome);
    EXPECT_EQ(split.analysis.Connections()[i].b3OutBytes,
              whole.analysis.Connections()[i].b3OutBytes);
  }
  EXPECT_EQ(split.reader.Stats().unknownLines, 0u);
}

TEST(CallAnalyzer, LostRecordsAreCountedAndReported) {
  std::string text;
  LogGenerator g(text, true);
  g.Start();
  g.Lost(5);
  g.Register(1);
  g.Lost(2);
  Analysed a({text});
  EXPECT_EQ(a.analysis.LostRecords(), 7u);
  EXPECT_EQ(a.analysis.Sessions()[0].lost, 7u);
  EXPECT_EQ(a.analysis.Sessions()[0].lostNotices, 2u);
  ASSERT_EQ(a.analysis.Errors().size(), 2u);
  EXPECT_EQ(a.analysis.Errors()[0].what, "*** 5 trace records lost ***");
}

TEST(CallAnalyzer, TheWritersOwnNotices) {
  Analysed lost({Golden("allocation_failures.log")});
  EXPECT_EQ(lost.analysis.LostRecords(), 2u);
  EXPECT_EQ(lost.analysis.Sessions()[0].lostNotices, 2u);

  // A fresh file after the size limit begins with its notice, without an
  // empty line; a failed rename is told once.
  std::string next =
      "14:03:07.123 Sun, Jan 05 2003\r\n*** log continued from C:\\Pellinor.log.old ***\r\n"
      "\r\n14:03:08.000 Sun, Jan 05 2003\r\n"
      "*** log limit reached, could not rename: 0xC0000043 ***\r\n";
  Analysed a({next});
  EXPECT_EQ(a.reader.Stats().unknownLines, 0u);
  ASSERT_EQ(a.analysis.Sessions().size(), 1u);
  EXPECT_EQ(a.analysis.Sessions()[0].continuedFrom, "C:\\Pellinor.log.old");
  ASSERT_EQ(a.analysis.Errors().size(), 1u);
  EXPECT_EQ(a.analysis.Errors()[0].what, "log limit reached, could not rename: 0xC0000043");
}

TEST(CallAnalyzer, ALogCutAfterARequestShowsItUnconfirmedAndTheCallOpen) {
  std::string text = OneSession();
  size_t at = text.find("CONNECT_B3_REQ");
  at = text.find("\r\n\r\n", at);
  Analysed a({text.substr(0, at + 2)});
  const auto& calls = a.analysis.Connections();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].ended);
  EXPECT_EQ(calls[0].outcome, "still open at the end of the log");
  ASSERT_FALSE(a.analysis.Errors().empty());
  EXPECT_EQ(a.analysis.Errors().back().what, "CONNECT_B3_REQ MsgNr 4 never confirmed");
}

TEST(CallAnalyzer, RegistrationsAndReleasesOfTheGoldenLog) {
  Analysed a({Golden("register_release.log")});
  const auto& apps = a.analysis.Applications();
  ASSERT_EQ(apps.size(), 2u);
  EXPECT_EQ(apps[0].appl, 1u);
  EXPECT_TRUE(apps[0].registered);
  EXPECT_EQ(apps[0].registerParams[3], 2048u);
  EXPECT_FALSE(apps[0].released);
  // The same file object registered again as ApplID 2 (its input too short
  // to show the parameters), and released that one.
  EXPECT_EQ(apps[1].appl, 2u);
  EXPECT_FALSE(apps[1].hasRegisterParams);
  EXPECT_TRUE(apps[1].released);
  ASSERT_EQ(a.analysis.Errors().size(), 1u);
  EXPECT_EQ(a.analysis.Errors()[0].appl, 1);
  EXPECT_EQ(a.analysis.Errors()[0].line, 27u);
}

TEST(CallAnalyzer, FailedCompletionsAndInvalidBuffersOfTheGoldenLogs) {
  Analysed k({Golden("kernel_failure_messages_only.log")});
  ASSERT_EQ(k.analysis.Errors().size(), 2u);
  EXPECT_EQ(k.analysis.Errors()[0].what,
            "COMPLETION CAPI_GET_MESSAGE 0xC0000008 STATUS_INVALID_HANDLE");
  EXPECT_EQ(k.analysis.Errors()[0].explanation, "CAPI error 0x1101: illegal application number");
  EXPECT_EQ(k.analysis.Errors()[1].what, "CONNECT_REQ MsgNr 7 never confirmed");

  Analysed p({Golden("parameter_block_ioctls.log")});
  ASSERT_EQ(p.analysis.Errors().size(), 2u);
  EXPECT_EQ(p.analysis.Errors()[0].what, "CAPI_PUT_MESSAGE: invalid InputBuffer");
  EXPECT_EQ(p.analysis.Errors()[1].what, "CAPI_GET_MESSAGE: invalid OutputBuffer");

  // A completion that only says the queue is empty is no failure.
  Analysed r({Golden("pending_read.log")});
  EXPECT_TRUE(r.analysis.Errors().empty());
}

TEST(CallAnalyzer, PartyNumbersComeBackFromTheirStructText) {
  EXPECT_EQ(StructBytes("<81>123"),
            "\x81"
            "123");
  EXPECT_EQ(StructBytes("<00 80>45"), std::string("\x00\x80"
                                                  "45",
                                                  4));
  EXPECT_EQ(PartyNumber("<81>123"), "123");
  EXPECT_EQ(PartyNumber("<00 80>45"), "45");
  EXPECT_EQ(PartyNumber("<a1>0<2a>1"), "0*1");
  EXPECT_EQ(PartyNumber("default"), "");
  EXPECT_EQ(PartyNumber("<81"), "");
}

}  // namespace
}  // namespace pellinorlog

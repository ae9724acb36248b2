// The log pipeline: queue, writer thread, log file and line ends.
#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pipeline/TraceHarness.h"

#include "emu/Clock.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "framework/EntryPoints.h"
#include "framework/ExitTable.h"
#include "framework/Pool.h"
#include "log/LogFile.h"
#include "trace/TraceRecord.h"

namespace {

class LogPipeline : public ::testing::Test {
 protected:
  void TearDown() override {
    emu::FailFileCreate(0);
    emu::FailFileWrite(0);
    emu::Pool::ClearFaults();
  }

  static void Queue(LogWriter& writer, const std::string& text) {
    TraceRecord* record = makeTextRecord(text.c_str());
    ASSERT_NE(record, nullptr);
    writer.Queue(record);
  }

  tracetest::TempDriveC drive_;
};

TEST_F(LogPipeline, LineBreaksBecomeCrLfAndAnOpenLineContinues) {
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\lines.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  // Each text record is preceded by "\n"; its own text follows verbatim.
  Queue(*writer, "A\nB\n");
  Queue(*writer, "C\n\nD");  // D leaves its line open ...
  Queue(*writer, "E");       // ... and this record's "\n" closes it
  delete writer;
  EXPECT_EQ(drive_.Read("lines.log"), "\r\nA\r\nB\r\n\r\nC\r\n\r\nD\r\nE");
}

// The text is searched for line ends four bytes at a time: a "\n" at any
// offset, among bytes next to it in value or with the top bit set, becomes
// CR LF, and every other byte is written as it is.
TEST_F(LogPipeline, ALineEndIsFoundWhereverItFalls) {
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\offsets.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::string bytes = "a\x01\x0B\x09\x80\xFF\x8A\x7F" "bcdefghijklmnopqrstuvwxyz";
  std::string expected;
  for (size_t length = 1; length <= 20; ++length) {
    for (size_t at = 0; at < length; ++at) {
      std::string text = bytes.substr(0, length);
      text[at] = '\n';
      Queue(*writer, text);
      std::string written = "\r\n";
      for (char c : text) written += c == '\n' ? std::string("\r\n") : std::string(1, c);
      expected += written;
    }
  }
  delete writer;
  EXPECT_EQ(drive_.Read("offsets.log"), expected);
}

TEST_F(LogPipeline, AnExistingLogIsAppendedToNeverTruncated) {
  drive_.Write("old.log", "earlier session\r\n");
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\old.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  Queue(*writer, "later\n");
  delete writer;
  EXPECT_EQ(drive_.Read("old.log"), "earlier session\r\n\r\nlater\r\n");
}

TEST_F(LogPipeline, RecordsFromManyThreadsAllArriveWholeAndInOrderPerThread) {
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\threads.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  constexpr int kThreads = 6;
  constexpr int kRecords = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([writer, t] {
      for (int i = 0; i < kRecords; ++i) {
        std::string text = "thread " + std::to_string(t) + " record " + std::to_string(i) + " " +
                           std::string(40 + i % 17, char('a' + t)) + "\n";
        writer->Queue(makeTextRecord(text.c_str()));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // The destructor drains the queue before the file is closed.
  delete writer;

  std::istringstream log(drive_.Read("threads.log"));
  std::map<int, int> next;
  std::string line;
  int lines = 0;
  while (std::getline(log, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    if (line.empty())
      continue;  // the blank line in front of each record
    int t = -1, i = -1;
    char fill[64] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d record %d %63s", &t, &i, fill), 3) << line;
    EXPECT_EQ(i, next[t]++) << "thread " << t;
    EXPECT_EQ(std::string(fill), std::string(40 + i % 17, char('a' + t)));
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kRecords);
}

TEST_F(LogPipeline, ALogThatCannotBeOpenedGivesTheOpenStatusAndFormatsNothing) {
  emu::FailFileCreate(1, STATUS_ACCESS_DENIED);
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\denied.log");
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  // A record queued anyway is freed with the writer, never formatted.
  writer->Queue(makeTextRecord("never\n"));
  delete writer;
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("NRXc")).blocks, 0u);
  EXPECT_FALSE(LogFile::Instance().IsOpen());
}

TEST_F(LogPipeline, AnUnbuildableLogPathFails) {
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"Q:\\nowhere.log");
  EXPECT_FALSE(NT_SUCCESS(status));
  delete writer;
}

// A record's text is written in one piece; a write that fails (a full
// disk) loses that record, which is counted and told as soon as a write
// succeeds again.
TEST_F(LogPipeline, ARecordWhoseWriteFailsIsCountedAndToldWhenWritingSucceeds) {
  emu::Clock::Fix(tracetest::GoldenTime());
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\lossy.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  emu::FailFileWrite(2, STATUS_DISK_FULL);
  Queue(*writer, "kept\n");
  Queue(*writer, "lost\n");
  Queue(*writer, "again\n");
  delete writer;
  EXPECT_EQ(drive_.Read("lossy.log"),
            "\r\nkept\r\n"
            "\r\n14:03:07.123 Sun, Jan 05 2003\r\n*** 1 trace records lost ***\r\n"
            "\r\nagain\r\n");
  emu::Clock::Release();
}

// A write that fails takes the line of earlier losses with it: those are
// told again, with the lost record added, by the next write.
TEST_F(LogPipeline, LossesWhoseLineIsLostAreToldAgain) {
  emu::Clock::Fix(tracetest::GoldenTime());
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\full.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  emu::FailFileWrite(1, STATUS_DISK_FULL);
  writer->CountLost();      // a record never built ...
  Queue(*writer, "one\n");  // ... told in front of this one, whose write fails
  Queue(*writer, "two\n");
  delete writer;
  EXPECT_EQ(drive_.Read("full.log"),
            "\r\n14:03:07.123 Sun, Jan 05 2003\r\n*** 2 trace records lost ***\r\n"
            "\r\ntwo\r\n");
  emu::Clock::Release();
}

// The line of losses carries the capture time of the record it precedes,
// not the time the writer got to it: a writer running behind must not move
// it (the shipped image and the host build wrote different logs of the same
// scenario when it did).
TEST_F(LogPipeline, LossesAreStampedWithTheNextRecordsCaptureTimeNotTheWritersTime) {
  emu::Clock::Fix(tracetest::GoldenTime());
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\late.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  writer->CountLost();
  TraceRecord* record = makeTextRecord("next\n", TraceSettings(0));
  ASSERT_NE(record, nullptr);
  // The writer only sees the record a second later.
  emu::Clock::Advance(10000000);
  writer->Queue(record);
  delete writer;
  EXPECT_EQ(drive_.Read("late.log"),
            "\r\n14:03:07.123 Sun, Jan 05 2003\r\n*** 1 trace records lost ***\r\n"
            "\r\n14:03:07.123 Sun, Jan 05 2003\r\nnext\r\n");
  emu::Clock::Release();
}

TEST_F(LogPipeline, WithoutAThreadObjectTheWriterReportsNoResources) {
  // The writer's allocations: its log name (paged), its text buffer, then the
  // thread object. Fail the thread object.
  emu::PoolFault fault;
  fault.mode = emu::PoolFault::kPattern;
  fault.pattern = ".x";
  fault.poolType = 0;
  fault.tag = emu::MakePoolTag("NRXc");
  emu::Pool::InjectFault(fault);
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\nothread.log");
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  delete writer;
  // And without a text buffer.
  fault.pattern = "x";
  emu::Pool::ClearFaults();
  emu::Pool::InjectFault(fault);
  writer = new LogWriter(&status, L"C:\\nobuffer.log");
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  delete writer;
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("NRXc")).blocks, 0u);
}

TEST_F(LogPipeline, LogFileAppendWritesAtTheEndItFindsEachTime) {
  LogFile& file = LogFile::Instance();
  ASSERT_EQ(file.Open(L"C:\\direct.log", false), STATUS_SUCCESS);
  ULONG written = 0;
  EXPECT_EQ(file.Append("abc", 3, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 3u);
  drive_.Write("direct2.log", "");
  EXPECT_EQ(file.Append("de", 2, &written), STATUS_SUCCESS);
  file.CloseIfOpen();
  EXPECT_FALSE(file.IsOpen());
  file.CloseIfOpen();  // closing twice does nothing
  EXPECT_EQ(drive_.Read("direct.log"), "abcde");
}

// Records that could not be allocated are counted by whoever failed to
// build them and told in one time-stamped line before the next record,
// never as many lines as losses. (Losses after the last record are told
// before the file closes: allocation_failures.log.)
TEST_F(LogPipeline, LostRecordsAreToldInOneLineBeforeTheNextRecord) {
  emu::Clock::Fix(tracetest::GoldenTime());
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\lost.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  // Text records whose allocation fails, from several threads at once.
  emu::PoolFault fault;
  fault.mode = emu::PoolFault::kEveryNth;
  fault.n = 1;
  fault.tag = emu::MakePoolTag("NRXc");
  emu::Pool::InjectFault(fault);
  std::vector<std::thread> threads;
  std::atomic<int> refused{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([writer, &refused] {
      for (int i = 0; i < 25; ++i) {
        if (writer->Submit(makeTextRecord("never\n")) != STATUS_SUCCESS)
          ++refused;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  emu::Pool::ClearFaults();
  EXPECT_EQ(refused.load(), 100);
  Queue(*writer, "second\n");
  delete writer;
  EXPECT_EQ(drive_.Read("lost.log"),
            "\r\n14:03:07.123 Sun, Jan 05 2003\r\n*** 100 trace records lost ***\r\n"
            "\r\nsecond\r\n");
  emu::Clock::Release();
}

// The one handle is never shared or overwritten: a second writer starting
// while the first holds the file fails, and the first writes on unharmed.
TEST_F(LogPipeline, TheLogFileRefusesASecondOpenWhileOpen) {
  LogFile& file = LogFile::Instance();
  ASSERT_EQ(file.Open(L"C:\\first.log", false), STATUS_SUCCESS);
  EXPECT_EQ(file.Open(L"C:\\second.log", false), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(file.Open(L"C:\\first.log", false), STATUS_SHARING_VIOLATION);
  ULONG written = 0;
  EXPECT_EQ(file.Append("one", 3, &written), STATUS_SUCCESS);
  EXPECT_EQ(file.Close(), STATUS_SUCCESS);
  EXPECT_EQ(drive_.Read("first.log"), "one");
  EXPECT_EQ(drive_.Read("second.log"), "");
  // Closed, it opens again.
  ASSERT_EQ(file.Open(L"C:\\second.log", false), STATUS_SUCCESS);
  file.CloseIfOpen();
}

TEST_F(LogPipeline, ASecondWriterFailsWhileTheFirstHoldsTheFile) {
  NTSTATUS status;
  auto* first = new LogWriter(&status, L"C:\\first.log");
  ASSERT_EQ(status, STATUS_SUCCESS);
  Queue(*first, "before\n");
  auto* second = new LogWriter(&status, L"C:\\second.log");
  EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
  delete second;  // closes nothing: the file is the first writer's
  EXPECT_TRUE(LogFile::Instance().IsOpen());
  Queue(*first, "after\n");
  delete first;
  EXPECT_FALSE(LogFile::Instance().IsOpen());
  EXPECT_EQ(drive_.Read("first.log"), "\r\nbefore\r\n\r\nafter\r\n");
  EXPECT_EQ(drive_.Read("second.log"), "");
}

}  // namespace

namespace {

// The log file is a static object of the driver: built by the driver entry's
// init table, closed by the exit table at unload if it is still open.
TEST(LogFileLifetime, ALogStillOpenAtUnloadIsClosedThen) {
  tracetest::TempDriveC drive;
  // Loaded on demand: the driver reads Start at load and fails without it.
  emu::Registry::SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor",
                          u"Start", 3);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
  LogFile& file = LogFile::Instance();
  EXPECT_FALSE(file.IsOpen());
  ASSERT_EQ(file.Open(L"C:\\unload.log", false), STATUS_SUCCESS);
  ULONG written = 0;
  file.Append("x", 1, &written);
  EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ExitTable::Count(), 0);
  // Closed, so another writer may open it for writing again.
  ASSERT_EQ(file.Open(L"C:\\unload.log", false), STATUS_SUCCESS);
  file.CloseIfOpen();
  EXPECT_EQ(drive.Read("unload.log"), "x");
}

}  // namespace

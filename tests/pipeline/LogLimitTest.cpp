// The log's size limit: rotation to NAME.old between records, the notices it
// writes, and what happens when the rename fails.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pipeline/TraceHarness.h"

#include "emu/Clock.h"
#include "emu/FileRename.h"
#include "emu/Files.h"
#include "emu/Pool.h"
#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "trace/RequestCapture.h"

namespace {

constexpr size_t kMegabyte = 1048576;
const char kStamp[] = "14:03:07.123 Sun, Jan 05 2003";

class LogLimit : public ::testing::Test {
 protected:
  LogLimit() {
    emu::Clock::Fix(tracetest::GoldenTime());
    emu::ResetFileRenameCount();
  }
  ~LogLimit() override {
    emu::FailFileRename(0);
    emu::FailFileWrite(0);
    emu::Clock::Release();
  }

  // Record i: about 1000 bytes in the file, its number and a fill that
  // shows whether it arrived whole.
  static std::string RecordText(int i) {
    char head[32];
    std::snprintf(head, sizeof head, "record %05d ", i);
    return head + std::string(980, char('a' + i % 26)) + " end\n";
  }

  static void Write(LogWriter& writer, int first, int count) {
    for (int i = first; i < first + count; ++i) {
      TraceRecord* record = makeTextRecord(RecordText(i).c_str());
      ASSERT_NE(record, nullptr);
      writer.Queue(record);
    }
  }

  // A text that makes up the session's start for the writer.
  static void WriteSessionText(LogWriter& writer, const char* text, TextRole role) {
    TraceRecord* record = makeTextRecord(text);
    ASSERT_NE(record, nullptr);
    record->textRole = role;
    writer.Queue(record);
  }

  // The record numbers of a log, in order; every record must be whole.
  // Notices are collected in `notices` (stamp line and notice line), the
  // lines of session texts ("session ...") in `session`.
  static std::vector<int> Records(const std::string& log, std::vector<std::string>* notices,
                                  std::vector<std::string>* session = nullptr) {
    std::vector<int> numbers;
    size_t at = 0;
    while (at < log.size()) {
      size_t end = log.find("\r\n", at);
      EXPECT_NE(end, std::string::npos) << "an unfinished line at " << at;
      if (end == std::string::npos)
        break;
      std::string line = log.substr(at, end - at);
      at = end + 2;
      if (line.empty())
        continue;
      if (line == kStamp) {
        size_t next = log.find("\r\n", at);
        notices->push_back(log.substr(at, next - at));
        at = next + 2;
        continue;
      }
      if (line.compare(0, 8, "session ") == 0) {
        EXPECT_NE(session, nullptr) << line;
        if (session != nullptr)
          session->push_back(line);
        continue;
      }
      int number = -1;
      EXPECT_EQ(std::sscanf(line.c_str(), "record %d", &number), 1) << line.substr(0, 40);
      std::string expected = RecordText(number);
      expected.pop_back();
      EXPECT_EQ(line, expected) << "record " << number << " is not whole";
      numbers.push_back(number);
    }
    return numbers;
  }

  tracetest::TempDriveC drive_;
};

// Several megabytes under a 1 MB limit: the current file and one older
// generation, each under the limit, the records of both in one unbroken
// run, each file (after the first) opening with the line that numbers it.
TEST_F(LogLimit, RotatesBetweenRecordsKeepingOneOlderGeneration) {
  drive_.Write("limit.log.old", "an older generation\r\n");
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\limit.log", 1);
  ASSERT_EQ(status, STATUS_SUCCESS);
  constexpr int kRecords = 3300;  // about 3.3 MB
  Write(*writer, 0, kRecords);
  delete writer;

  std::string current = drive_.Read("limit.log");
  std::string old = drive_.Read("limit.log.old");
  EXPECT_LE(current.size(), kMegabyte);
  EXPECT_LE(old.size(), kMegabyte);
  EXPECT_GT(old.size(), kMegabyte - 2000);  // rotated only when the next record did not fit
  EXPECT_EQ(old.find("an older generation"), std::string::npos);
  EXPECT_EQ(emu::FileRenameCount(), 3);

  // Numbered parts: a name would be wrong after the next rename.
  auto continued = [](int part) {
    return std::string(kStamp) + "\r\n*** log continued: part " + std::to_string(part) +
           " of the log begun " + kStamp + "; older parts are kept in C:\\limit.log.old ***\r\n";
  };
  EXPECT_EQ(current.compare(0, continued(4).size(), continued(4)), 0) << current.substr(0, 160);
  EXPECT_EQ(old.compare(0, continued(3).size(), continued(3)), 0) << old.substr(0, 160);

  std::vector<std::string> notices;
  std::vector<int> older = Records(old, &notices);
  std::vector<int> newer = Records(current, &notices);
  EXPECT_EQ(notices.size(), 2u);
  ASSERT_FALSE(older.empty());
  ASSERT_FALSE(newer.empty());
  std::vector<int> all = older;
  all.insert(all.end(), newer.begin(), newer.end());
  for (size_t i = 1; i < all.size(); ++i) ASSERT_EQ(all[i], all[i - 1] + 1) << "at " << i;
  EXPECT_EQ(all.back(), kRecords - 1);
}

// A log that is already past the limit when a writer opens it rotates
// before the first record; one under it just grows.
TEST_F(LogLimit, AnExistingLogIsMeasuredFromItsSizeAtOpen) {
  drive_.Write("big.log", std::string(kMegabyte - 500, 'x'));
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\big.log", 1);
  ASSERT_EQ(status, STATUS_SUCCESS);
  Write(*writer, 0, 1);
  delete writer;
  EXPECT_EQ(drive_.Read("big.log.old"), std::string(kMegabyte - 500, 'x'));
  std::string current = drive_.Read("big.log");
  std::vector<std::string> notices;
  EXPECT_EQ(Records(current, &notices), std::vector<int>{0});
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], std::string("*** log continued: part 2 of the log begun ") + kStamp +
                            "; older parts are kept in C:\\big.log.old ***");
}

// Three older generations kept: they move one place at each rotation, each
// file numbers its part and repeats the session's start (the banner and
// what follows it, and the start block in force), and the records of the
// four files read in order are one unbroken run.
TEST_F(LogLimit, KeepsOlderGenerationsEachWithTheSessionsStart) {
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\gen.log", 1, 3);
  ASSERT_EQ(status, STATUS_SUCCESS);
  WriteSessionText(*writer, "session banner\n", TEXT_ROLE_SESSION_BEGIN);
  WriteSessionText(*writer, "session query\n", TEXT_ROLE_NONE);
  WriteSessionText(*writer, "session start 1\n", TEXT_ROLE_TRACING_STARTED);
  Write(*writer, 0, 1500);
  // A stop and a new start: the next generations repeat the new start only.
  WriteSessionText(*writer, "session stop\n", TEXT_ROLE_TRACING_STOPPED);
  WriteSessionText(*writer, "session start 2\n", TEXT_ROLE_TRACING_STARTED);
  Write(*writer, 1500, 3500);
  delete writer;
  EXPECT_EQ(drive_.Read("gen.log.old.4"), "");

  const char* const names[] = {"gen.log.old.3", "gen.log.old.2", "gen.log.old", "gen.log"};
  std::vector<int> all;
  int part = 0;
  for (const char* name : names) {
    std::string log = drive_.Read(name);
    ASSERT_FALSE(log.empty()) << name;
    EXPECT_LE(log.size(), kMegabyte) << name;
    std::vector<std::string> notices;
    std::vector<std::string> session;
    std::vector<int> numbers = Records(log, &notices, &session);
    ASSERT_EQ(notices.size(), 3u) << name;
    int number = 0;
    ASSERT_EQ(std::sscanf(notices[0].c_str(), "*** log continued: part %d", &number), 1);
    if (part != 0)
      EXPECT_EQ(number, part + 1) << name;
    part = number;
    EXPECT_NE(notices[0].find("; older parts are kept in C:\\gen.log.old to C:\\gen.log.old.3, "
                              "newest first ***"),
              std::string::npos)
        << notices[0];
    EXPECT_EQ(notices[1], "*** the start of the session, repeated ***");
    EXPECT_EQ(notices[2], "*** end of the repeated start ***");
    // The repeat comes first; the stop and the new start of the session
    // stand among the records where they happened.
    const std::string start = numbers.front() < 1500 ? "session start 1" : "session start 2";
    ASSERT_GE(session.size(), 3u) << name;
    EXPECT_EQ(std::vector<std::string>(session.begin(), session.begin() + 3),
              (std::vector<std::string>{"session banner", "session query", start}))
        << name;
    all.insert(all.end(), numbers.begin(), numbers.end());
  }
  EXPECT_EQ(part, 5);  // about 5 MB in parts of at most 1 MB
  ASSERT_FALSE(all.empty());
  for (size_t i = 1; i < all.size(); ++i) ASSERT_EQ(all[i], all[i - 1] + 1) << "at " << i;
  EXPECT_EQ(all.back(), 4999);
}

// A generation that cannot move on is replaced, and the new file says so;
// the rotation itself goes on.
TEST_F(LogLimit, AGenerationThatCannotMoveIsReplacedAndToldOf) {
  drive_.Write("shift.log.old", "older\r\n");
  drive_.Write("shift.log", std::string(kMegabyte - 100, 'x'));
  emu::FailFileRename(1, STATUS_SHARING_VIOLATION, false);
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\shift.log", 1, 2);
  ASSERT_EQ(status, STATUS_SUCCESS);
  Write(*writer, 0, 1);
  delete writer;
  EXPECT_EQ(drive_.Read("shift.log.old.2"), "");
  EXPECT_EQ(drive_.Read("shift.log.old"), std::string(kMegabyte - 100, 'x'));
  std::vector<std::string> notices;
  EXPECT_EQ(Records(drive_.Read("shift.log"), &notices), std::vector<int>{0});
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1], "*** older generation not kept, could not rename: 0xC0000043 ***");
}

// A rename that fails: the writer keeps appending to the one file, says so
// once with the status, and never tries again; no record is lost.
TEST_F(LogLimit, AFailingRenameKeepsAppendingAndSaysSoOnce) {
  emu::FailFileRename(1, STATUS_ACCESS_DENIED, true);
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\stuck.log", 1);
  ASSERT_EQ(status, STATUS_SUCCESS);
  constexpr int kRecords = 2200;
  Write(*writer, 0, kRecords);
  delete writer;

  EXPECT_EQ(emu::FileRenameCount(), 1);
  EXPECT_EQ(drive_.Read("stuck.log.old"), "");
  std::string log = drive_.Read("stuck.log");
  EXPECT_GT(log.size(), 2 * kMegabyte);
  std::vector<std::string> notices;
  std::vector<int> numbers = Records(log, &notices);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "*** log limit reached, could not rename: 0xC0000022 ***");
  ASSERT_EQ(numbers.size(), size_t(kRecords));
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(numbers[i], i);
  // The notice stands where the limit was met, between two whole records.
  size_t notice = log.find("*** log limit reached");
  EXPECT_LE(notice, kMegabyte);
  EXPECT_GT(notice, kMegabyte - 2000);
}

// The rename itself: the closed file gets ".old" appended, replacing an older
// one, and nothing else is touched.
TEST_F(LogLimit, RenameReplacesTheOlderGeneration) {
  drive_.Write("r.log", "current");
  drive_.Write("r.log.old", "older");
  EXPECT_EQ(LogFile::Rename(L"C:\\r.log", L"", L".old"), STATUS_SUCCESS);
  EXPECT_EQ(drive_.Read("r.log.old"), "current");
  EXPECT_EQ(drive_.Read("r.log"), "");
  EXPECT_EQ(LogFile::Rename(L"C:\\missing.log", L"", L".old"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("NRXc")).blocks, 0u);
}

// A program that reads the log while the driver writes it, as pellinor-log
// follow does on Windows: it must share writing (the driver holds the file
// for writing) and deletion (the driver renames it at its limit). Sharing
// all three, it changes nothing: the log rotates under it. Not sharing
// deletion, it keeps the log from being renamed; holding NAME.old, from
// being replaced: the writer appends on past the limit and says why.
TEST_F(LogLimit, AReaderMustShareWritingAndDeletion) {
  auto open = [](const wchar_t* path, ULONG share, HANDLE* handle) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    IO_STATUS_BLOCK io;
    return ZwCreateFile(handle, FILE_GENERIC_READ, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        share, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  };
  const ULONG kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  struct Case {
    const char* name;
    const wchar_t* log;  // the log's name, and its object path
    const wchar_t* object;
    ULONG share;
    const wchar_t* held;  // what the reader holds open
    const char* notice;   // what the writer says, if anything
  };
  const Case cases[] = {
      {"all.log", L"C:\\all.log", L"\\DosDevices\\C:\\all.log", kAll, L"\\DosDevices\\C:\\all.log",
       nullptr},
      {"nodelete.log", L"C:\\nodelete.log", L"\\DosDevices\\C:\\nodelete.log",
       FILE_SHARE_READ | FILE_SHARE_WRITE, L"\\DosDevices\\C:\\nodelete.log",
       "*** log limit reached, could not rename: 0xC0000043 ***"},
      {"old.log", L"C:\\old.log", L"\\DosDevices\\C:\\old.log", kAll,
       L"\\DosDevices\\C:\\old.log.old", "*** log limit reached, could not rename: 0xC0000022 ***"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drive_.Write(std::string(c.name) + ".old", "an older generation\r\n");
    NTSTATUS status;
    auto* writer = new LogWriter(&status, c.log, 1);
    ASSERT_EQ(status, STATUS_SUCCESS);
    Write(*writer, 0, 1);
    HANDLE reader = NULL;
    ASSERT_EQ(open(c.held, c.share, &reader), STATUS_SUCCESS);
    // Not sharing writing, no reader gets the file the driver writes.
    HANDLE refused = NULL;
    EXPECT_EQ(open(c.object, FILE_SHARE_READ | FILE_SHARE_DELETE, &refused),
              STATUS_SHARING_VIOLATION);
    Write(*writer, 1, 1500);
    delete writer;
    EXPECT_EQ(ZwClose(reader), STATUS_SUCCESS);
    std::vector<std::string> notices;
    std::vector<int> numbers = Records(drive_.Read(c.name), &notices);
    if (c.notice == nullptr) {
      EXPECT_NE(drive_.Read(std::string(c.name) + ".old").find("record 00000"), std::string::npos);
      EXPECT_EQ(notices.size(), 1u);  // the new part's line
    } else {
      EXPECT_EQ(drive_.Read(std::string(c.name) + ".old"), "an older generation\r\n");
      ASSERT_EQ(notices.size(), 1u);
      EXPECT_EQ(notices[0], c.notice);
      EXPECT_EQ(numbers.size(), 1501u);
    }
  }
}

// Without a limit, or with a limit of 0, the log grows as it always has.
TEST_F(LogLimit, NoLimitNeverRotates) {
  drive_.Write("plain.log", std::string(2 * kMegabyte, 'x'));
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\plain.log", 0);
  ASSERT_EQ(status, STATUS_SUCCESS);
  Write(*writer, 0, 10);
  delete writer;
  EXPECT_EQ(emu::FileRenameCount(), 0);
  // Each record: its leading line end, its text, its CR LF.
  EXPECT_EQ(drive_.Read("plain.log").size(), 2 * kMegabyte + 10 * (RecordText(0).size() + 3));
}

}  // namespace

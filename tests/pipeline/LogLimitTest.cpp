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

  // The record numbers of a log, in order; every record must be whole.
  // Notices are collected in `notices` (stamp line and notice line).
  static std::vector<int> Records(const std::string& log, std::vector<std::string>* notices) {
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
// run, each file (after the first) opening with the line naming the old one.
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

  const std::string continued =
      std::string(kStamp) + "\r\n*** log continued from C:\\limit.log.old ***\r\n";
  EXPECT_EQ(current.compare(0, continued.size(), continued), 0) << current.substr(0, 100);
  EXPECT_EQ(old.compare(0, continued.size(), continued), 0) << old.substr(0, 100);

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
  EXPECT_EQ(notices[0], "*** log continued from C:\\big.log.old ***");
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
  EXPECT_EQ(LogFile::Rename(L"C:\\r.log", L".old"), STATUS_SUCCESS);
  EXPECT_EQ(drive_.Read("r.log.old"), "current");
  EXPECT_EQ(drive_.Read("r.log"), "");
  EXPECT_EQ(LogFile::Rename(L"C:\\missing.log", L".old"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("NRXc")).blocks, 0u);
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

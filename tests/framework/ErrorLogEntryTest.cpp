// ErrorLogEntry: one entry of the system event log for the driver, its
// strings cut to fit the i386 limit, never a failure of its caller.
#include <gtest/gtest.h>

#include <string>

#include "emu/EventLog.h"
#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "emu/SystemVersion.h"
#include "framework/EntryPoints.h"
#include "framework/ErrorLogEntry.h"
#include "framework/EventCodes.h"
#include "framework/Pool.h"

namespace {

std::u16string U(const WCHAR* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}
const WCHAR* W(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}

TEST(ErrorLogEntryText, NumbersAndStringsThatDoNotFit) {
  WCHAR number[ErrorLogEntry::NUMBER_CHARACTERS];
  ErrorLogEntry::FormatHex(0xC000003A, number);
  EXPECT_EQ(U(number), u"0xC000003A");
  ErrorLogEntry::FormatDecimal(0, number);
  EXPECT_EQ(U(number), u"0");
  ErrorLogEntry::FormatDecimal(4294967295u, number);
  EXPECT_EQ(U(number), u"4294967295");

  WCHAR to[16];
  EXPECT_EQ(ErrorLogEntry::CopyFitting(W(u"C:\\a.log"), to, 16), 9u);
  EXPECT_EQ(U(to), u"C:\\a.log");
  // One too many: the end is kept, behind "...".
  EXPECT_EQ(ErrorLogEntry::CopyFitting(W(u"C:\\Traces\\capi.log"), to, 16), 16u);
  EXPECT_EQ(U(to), u"...ces\\capi.log");
  EXPECT_EQ(U(to).size(), 15u);
  // A cut never keeps the second half of a surrogate pair alone.
  EXPECT_EQ(ErrorLogEntry::CopyFitting(W(u"abcdefghij\U0001F600xyz"), to, 9), 9u);
  EXPECT_EQ(U(to), u"...\U0001F600xyz");
  EXPECT_EQ(ErrorLogEntry::CopyFitting(W(u"abcdefghij\U0001F600xyz"), to, 8), 7u);
  EXPECT_EQ(U(to), u"...xyz");
  EXPECT_EQ(ErrorLogEntry::CopyFitting(W(u"abc"), to, 2), 2u);
  EXPECT_EQ(U(to), u".");
}

class ErrorLogEntryWrite : public ::testing::Test {
 protected:
  PDRIVER_OBJECT driver = nullptr;
  void Load() {
    emu::Registry::SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor",
                            u"Start", 3);
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
  }
  void SetUp() override { emu::EventLog::Clear(); }
  void TearDown() override {
    if (driver != nullptr)
      EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
    emu::Pool::ClearFaults();
  }
};

// A path of any length becomes an entry of at most ERROR_LOG_MAXIMUM_SIZE
// (the emulated kernel stops the machine for more), its end kept.
TEST_F(ErrorLogEntryWrite, ALongPathFitsTheEntryWithItsEnd) {
  Load();
  const std::u16string path = u"C:\\" + std::u16string(300, u'd') + u"\\trace.log";
  ASSERT_TRUE(ErrorLogEntry::WriteWithStatus(PELLINOR_EVENT_LOG_FAILED, W(path),
                                             STATUS_OBJECT_PATH_NOT_FOUND));
  ASSERT_TRUE(ErrorLogEntry::WriteWithCount(PELLINOR_EVENT_RECORDS_LOST, W(u"C:\\x.log"), 17));
  ASSERT_TRUE(ErrorLogEntry::WriteStatusOnly(PELLINOR_EVENT_START_FAILED, STATUS_ACCESS_DENIED));
  const std::vector<emu::EventLogEntry> entries = emu::EventLog::Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "Pellinor");
  EXPECT_EQ(entries[0].errorCode, PELLINOR_EVENT_LOG_FAILED);
  EXPECT_EQ(entries[0].finalStatus, uint32_t(STATUS_OBJECT_PATH_NOT_FOUND));
  ASSERT_EQ(entries[0].strings.size(), 2u);
  // 56 characters in all: the status's 11, the path's 45 with their NULs.
  EXPECT_EQ(entries[0].strings[0], u"..." + path.substr(path.size() - 41));
  EXPECT_EQ(entries[0].strings[1], u"0xC000003A");
  EXPECT_EQ(entries[1].strings, (std::vector<std::u16string>{u"C:\\x.log", u"17"}));
  EXPECT_EQ(entries[2].strings, (std::vector<std::u16string>{u"0xC0000022"}));
}

// Without memory for the entry, or on a system without the routines
// (Windows 98/Me: no event log), nothing is written and the caller goes on.
TEST_F(ErrorLogEntryWrite, NoEntryIsNoFailure) {
  Load();
  emu::PoolFault fault;
  fault.tag = emu::MakePoolTag("IoEr");
  emu::Pool::InjectFault(fault);
  EXPECT_FALSE(ErrorLogEntry::WriteStatusOnly(PELLINOR_EVENT_START_FAILED, STATUS_ACCESS_DENIED));
  emu::Pool::ClearFaults();
  EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  driver = nullptr;
  // Not loaded: no driver object to write for.
  EXPECT_FALSE(ErrorLogEntry::WriteStatusOnly(PELLINOR_EVENT_START_FAILED, STATUS_ACCESS_DENIED));
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  Load();
  EXPECT_FALSE(ErrorLogEntry::WriteStatusOnly(PELLINOR_EVENT_START_FAILED, STATUS_ACCESS_DENIED));
  EXPECT_TRUE(emu::EventLog::Entries().empty());
}

}  // namespace

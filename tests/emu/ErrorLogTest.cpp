// The I/O manager's error log entries and the event log that keeps them:
// what a driver writes is kept whole; what would break the event log
// service or leak on NT stops the machine.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include <ntddk.h>

#include "emu/EventLog.h"
#include "emu/Pool.h"
#include "emu/src/PoolInternal.h"
#include "tests/emu/IoTestDriver.h"

namespace {

constexpr size_t kHeader = offsetof(IO_ERROR_LOG_PACKET, DumpData);

// Fills a fresh entry with `code` and the strings, one after the other from
// `offset`; returns the packet.
PIO_ERROR_LOG_PACKET Fill(void* entry, NTSTATUS code, size_t offset,
                          std::initializer_list<std::u16string> strings) {
  auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(entry);
  std::memset(packet, 0, sizeof *packet);
  packet->ErrorCode = code;
  packet->FinalStatus = STATUS_ACCESS_DENIED;
  packet->StringOffset = USHORT(offset);
  auto* at = reinterpret_cast<char*>(packet) + offset;
  for (const std::u16string& text : strings) {
    std::memcpy(at, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    at += (text.size() + 1) * sizeof(char16_t);
    ++packet->NumberOfStrings;
  }
  return packet;
}

class ErrorLog : public ::testing::Test {
 protected:
  void SetUp() override { emu::EventLog::Clear(); }
};

TEST_F(ErrorLog, AWrittenEntryIsKeptWholeAndItsMemoryGoesBack) {
  iotest::TestDriver driver("EvTest");
  PDEVICE_OBJECT device = driver.CreateDevice(u"EvTest0", 0, iotest::CompleteWith(STATUS_SUCCESS));
  const uint32_t tag = emu::MakePoolTag("IoEr");
  const size_t before = emu::Pool::Report(tag).blocks;

  void* entry = IoAllocateErrorLogEntry(driver.object(), UCHAR(kHeader + 4 + 2 * 13));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(emu::EventLog::Unwritten(), 1u);
  PIO_ERROR_LOG_PACKET packet =
      Fill(entry, NTSTATUS(0xE0CA0002), kHeader + 4, {u"C:\\x.log", u"0x1"});
  packet->DumpDataSize = 4;
  packet->DumpData[0] = 0x01020304;
  IoWriteErrorLogEntry(entry);
  // The largest entry, for a device object: it speaks for the device's
  // driver.
  entry = IoAllocateErrorLogEntry(device, ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(entry, nullptr);
  IoWriteErrorLogEntry(Fill(entry, NTSTATUS(0xA0CA0004), kHeader, {}));

  EXPECT_EQ(emu::EventLog::Unwritten(), 0u);
  EXPECT_EQ(emu::Pool::Report(tag).blocks, before);
  const std::vector<emu::EventLogEntry> entries = emu::EventLog::Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].source, "EvTest");
  EXPECT_EQ(entries[0].errorCode, 0xE0CA0002u);
  EXPECT_EQ(entries[0].finalStatus, uint32_t(STATUS_ACCESS_DENIED));
  ASSERT_EQ(entries[0].strings.size(), 2u);
  EXPECT_EQ(emu::Utf8Of(entries[0].strings[0]), "C:\\x.log");
  EXPECT_EQ(emu::Utf8Of(entries[0].strings[1]), "0x1");
  EXPECT_EQ(entries[0].dumpData, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(entries[1].source, "EvTest");
  EXPECT_TRUE(entries[1].strings.empty());
  EXPECT_EQ(emu::Utf8Of(u"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
}

// An exhausted pool fails the entry as it fails any allocation: the sweeps
// reach it with a pool fault of the tag "IoEr".
TEST_F(ErrorLog, PoolFaultInjectionFailsTheAllocation) {
  iotest::TestDriver driver("EvTest");
  emu::PoolFault fault;
  fault.tag = emu::MakePoolTag("IoEr");
  emu::Pool::InjectFault(fault);
  EXPECT_EQ(IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET)), nullptr);
  emu::Pool::ClearFaults();
  void* entry = IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET));
  ASSERT_NE(entry, nullptr);
  IoWriteErrorLogEntry(Fill(entry, 1, kHeader, {}));
}

TEST_F(ErrorLog, MisusesStopTheMachine) {
  const char* violation = "BUG CHECK 0x000000C4: DRIVER_VERIFIER_DETECTED_VIOLATION: ";
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        IoAllocateErrorLogEntry(driver.object(), ERROR_LOG_MAXIMUM_SIZE + 1);
      },
      std::string(violation) +
          "IoAllocateErrorLogEntry of 153 bytes: an entry holds the "
          "48-byte packet and at most ERROR_LOG_MAXIMUM_SIZE \\(152\\)");
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET) - 1);
      },
      "IoAllocateErrorLogEntry of 47 bytes");
  EXPECT_DEATH(
      {
        ULONG notAnObject[4] = {};
        notAnObject[0] = 7;
        IoAllocateErrorLogEntry(notAnObject, sizeof(IO_ERROR_LOG_PACKET));
      },
      "neither a device nor a driver object");
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET));
      },
      "IRQL_NOT_LESS_OR_EQUAL.*IoAllocateErrorLogEntry");
  // A string without its NUL inside the entry: the event log service would
  // read past it.
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        void* entry = IoAllocateErrorLogEntry(driver.object(), UCHAR(kHeader + 8));
        PIO_ERROR_LOG_PACKET packet = Fill(entry, 1, kHeader, {});
        packet->NumberOfStrings = 1;
        std::memcpy(packet->DumpData, u"abcd", 8);
        IoWriteErrorLogEntry(entry);
      },
      "insertion string 1 of 1 runs past the end of the 48-byte entry \\(no NUL\\)");
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        void* entry = IoAllocateErrorLogEntry(driver.object(), 64);
        PIO_ERROR_LOG_PACKET packet = Fill(entry, 1, kHeader, {u"x"});
        packet->DumpDataSize = 8;
        IoWriteErrorLogEntry(entry);
      },
      "StringOffset 40 is not an even offset inside the 64-byte entry behind its dump data");
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        void* entry = IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET));
        IoWriteErrorLogEntry(Fill(entry, 1, kHeader, {}));
        IoWriteErrorLogEntry(entry);
      },
      "BAD_POOL_CALLER: IoWriteErrorLogEntry of .*, which is no entry of "
      "IoAllocateErrorLogEntry \\(or one written already\\)");
  // The entry is the kernel's until it is written: never the driver's to
  // free, and the driver's leak if it is never written.
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        ExFreePool(IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET)));
      },
      "BAD_POOL_CALLER: ExFreePool of .*, a block the kernel allocated for itself");
  EXPECT_DEATH(
      {
        iotest::TestDriver driver("EvTest");
        emu::internal::DriverContext context(driver.object());
        IoAllocateErrorLogEntry(driver.object(), sizeof(IO_ERROR_LOG_PACKET));
      },
      "driver .*EvTest unloaded holding the error log entry .* \\(48 bytes\\) that it allocated "
      "and never wrote");
}

}  // namespace

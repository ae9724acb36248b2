// The writer's thread and its start: a thread that runs although no
// reference to it could be taken, a log file whose size cannot be read,
// and a writer whose copy of the log name cannot be made.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "emu/Files.h"
#include "emu/Pool.h"

#include <ntddk.h>

#include "framework/Event.h"
#include "framework/SystemRoutines.h"
#include "framework/SystemThread.h"
#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "trace/RequestCapture.h"

namespace {

// How many of the next ObReferenceObjectByHandle calls fail, and with what.
std::atomic<int> failReferences{0};
constexpr NTSTATUS kReferenceFailure = STATUS_INSUFFICIENT_RESOURCES;

}  // namespace

extern "C" NTSTATUS NTAPI __real_ObReferenceObjectByHandle(HANDLE, ACCESS_MASK, POBJECT_TYPE,
                                                           KPROCESSOR_MODE, PVOID*,
                                                           POBJECT_HANDLE_INFORMATION);

extern "C" NTSTATUS NTAPI __wrap_ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access,
                                                           POBJECT_TYPE type,
                                                           KPROCESSOR_MODE mode, PVOID* object,
                                                           POBJECT_HANDLE_INFORMATION info) {
  for (int left = failReferences.load(); left > 0; left = failReferences.load()) {
    if (failReferences.compare_exchange_weak(left, left - 1))
      return kReferenceFailure;
  }
  return __real_ObReferenceObjectByHandle(handle, access, type, mode, object, info);
}

namespace {

// The writer's thread is referenced as on NT, where the thread type is
// found at load: without it (Windows 98/Me) no reference is taken at all.
class NtRoutines : public ::testing::Environment {
 public:
  void SetUp() override { SystemRoutines::Resolve(); }
};
::testing::Environment* const ntRoutines = ::testing::AddGlobalTestEnvironment(new NtRoutines);

// Drive C in a fresh host folder for the test's lifetime.
class TempDriveC {
 public:
  TempDriveC() : previous_(emu::DriveC()) {
    char pattern[] = "/tmp/pellinor-log-tests-XXXXXX";
    path_ = mkdtemp(pattern);
    emu::SetDriveC(path_);
  }
  ~TempDriveC() {
    emu::SetDriveC(previous_);
    // No shell: forking a process whose other threads may hold locks can hang
    // the child (under qemu-i386 it does, now and then).
    std::error_code ignored;  // leftover temporary files are harmless
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

 private:
  std::string path_;
  std::string previous_;
};

struct Gate {
  Event release{NotificationEvent, false};
  SystemThread* self = nullptr;
  Event stored{NotificationEvent, false};
  std::atomic<bool> finished{false};
};

VOID NTAPI WaitForRelease(PVOID context) {
  auto* gate = static_cast<Gate*>(context);
  gate->stored.Wait();
  gate->release.Wait();
  gate->finished = true;
  gate->self->Exit();
}

// The owner's destruction must not return while the thread still runs,
// reference or not: the thread uses what the owner frees next.
TEST(WriterThread, DestructionWaitsForAThreadWhoseReferenceFailed) {
  for (int fail : {0, 1}) {
    SCOPED_TRACE(fail ? "reference failed" : "referenced");
    Gate gate;
    failReferences = fail;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    gate.self = new SystemThread(&WaitForRelease, &gate, &status);
    failReferences = 0;
    ASSERT_EQ(status, STATUS_SUCCESS);
    gate.stored.Set(0);
    auto destroyed = std::async(std::launch::async, [&gate] { delete gate.self; });
    // Still waiting: the thread has not ended. (A destructor that does not
    // wait is seen here; one that waits passes at once on a slow machine
    // too.)
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    gate.release.Set(0);
    destroyed.get();
    EXPECT_TRUE(gate.finished);
  }
}

TEST(WriterThread, AWriterWhoseThreadCannotBeReferencedStillDrainsAndCloses) {
  TempDriveC drive;
  failReferences = 1;
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\unreferenced.log");
  failReferences = 0;
  ASSERT_EQ(status, STATUS_SUCCESS);
  for (int i = 0; i < 50; ++i) writer->Queue(makeTextRecord("record\n"));
  delete writer;
  EXPECT_FALSE(LogFile::Instance().IsOpen());
  std::string expected;
  for (int i = 0; i < 50; ++i) expected += "\r\nrecord\r\n";
  EXPECT_EQ(drive.Read("unreferenced.log"), expected);
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("NRXc")).blocks, 0u);
}

// Appends go to the end measured at the open, so a file whose size cannot
// be read is not kept: the open fails and leaves no handle behind (the
// next open of the file, sharing only reading, would fail against one).
TEST(WriterThread, ALogWhoseSizeCannotBeReadIsNotKeptOpen) {
  TempDriveC drive;
  LogFile& file = LogFile::Instance();
  failReferences = 1;  // the size query's reference of the new handle
  EXPECT_EQ(file.Open(L"C:\\unmeasured.log", false), kReferenceFailure);
  failReferences = 0;
  EXPECT_FALSE(file.IsOpen());
  ASSERT_EQ(file.Open(L"C:\\unmeasured.log", false), STATUS_SUCCESS);
  EXPECT_EQ(file.Write("x", 1), STATUS_SUCCESS);
  file.CloseIfOpen();
  EXPECT_EQ(drive.Read("unmeasured.log"), "x");
}

// The writer's first allocation is its copy of the log name (paged pool).
TEST(WriterThread, AWriterWithoutItsLogNameOpensNothing) {
  TempDriveC drive;
  emu::PoolFault fault;
  fault.mode = emu::PoolFault::kNth;
  fault.n = 1;
  fault.poolType = 1;
  fault.tag = emu::MakePoolTag("NRXc");
  emu::Pool::InjectFault(fault);
  NTSTATUS status = STATUS_SUCCESS;
  auto* writer = new LogWriter(&status, L"C:\\unnamed.log");
  emu::Pool::ClearFaults();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(LogFile::Instance().IsOpen());
  delete writer;
  EXPECT_EQ(drive.Read("unnamed.log"), "");
  EXPECT_EQ(emu::Pool::Report(emu::MakePoolTag("NRXc")).blocks, 0u);
}

}  // namespace

// What the capture copies from live requests: the blocks of a record, read
// directly (the text of records is covered by the golden logs).
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emu/Io.h"
#include "emu/SystemVersion.h"
#include "emu/UserMemory.h"
#include "tests/pipeline/TraceHarness.h"

#include "trace/CapiIoctl.h"
#include "trace/TraceRecord.h"

namespace {

using tracetest::DataB3;
using tracetest::Hex;
using tracetest::PutDword;

struct Deleter {
  void operator()(TraceRecord* record) const { delete record; }
};
using Record = std::unique_ptr<TraceRecord, Deleter>;

// Each capture test runs with the lower device completing in the dispatch
// call and from a DPC at DISPATCH_LEVEL.
class Capture : public ::testing::TestWithParam<tracetest::CompletionMode> {
 protected:
  Capture() {
    stack_.SetCompletionMode(GetParam());
    stack_.SetRecordSink([this](TraceRecord* record) { records_.emplace_back(record); });
    stack_.SetResponder([](PIRP irp, PIO_STACK_LOCATION) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      return STATUS_SUCCESS;
    });
  }

  // The kernel-mode internal PUT of a DATA_B3_REQ with 2048 payload bytes.
  void PutDataB3(TraceSettings settings, bool withPayloadPointer) {
    stack_.SetSettings(settings);
    HANDLE h = stack_.Open(KernelMode);
    std::vector<uint8_t> message = DataB3(0x80, 2048);
    std::vector<uint8_t> payload(2048, 0x5A);
    uint8_t block[8] = {};
    PutDword(block, uint32_t(reinterpret_cast<uintptr_t>(message.data())));
    if (withPayloadPointer)
      PutDword(block + 4, uint32_t(reinterpret_cast<uintptr_t>(payload.data())));
    emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, block, 8, nullptr, 0);
  }

  tracetest::TracedStack stack_;
  std::vector<Record> records_;
};

TEST_P(Capture, KernelPutBoundsThePayloadByMaxDataB3Bytes) {
  PutDataB3(0x00200003, true);
  ASSERT_EQ(records_.size(), 2u);
  const TraceRecord& request = *records_[0];
  EXPECT_EQ(request.kind, TRACE_RECORD_REQUEST);
  EXPECT_EQ(request.message.size, 22u + 32u);
  EXPECT_EQ(request.message.data[22], 0x5A);
  EXPECT_EQ(request.ioBuffer.size, 8u);
  EXPECT_EQ(int(request.requestorMode), KernelMode);
  EXPECT_EQ(request.MajorFunction(), IRP_MJ_INTERNAL_DEVICE_CONTROL);
  // The completion of a PUT carries no buffers of an internal control.
  EXPECT_FALSE(records_[1]->message.Present());
}

TEST_P(Capture, KernelPutWithoutPayloadLimitOrPointerCopiesTheMessageAlone) {
  PutDataB3(0x00000003, true);
  PutDataB3(0x00200003, false);
  ASSERT_EQ(records_.size(), 4u);
  EXPECT_EQ(records_[0]->message.size, 22u);
  EXPECT_EQ(records_[2]->message.size, 22u);
}

TEST_P(Capture, UserWriteCopiesTheMessageAndThePayloadTheLogShows) {
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> data = DataB3(0x80, 2048);
  data.resize(22 + 2048, 0x33);
  emu::Write(h, data.data(), ULONG(data.size()));
  stack_.SetSettings(0x00080003);
  emu::Write(h, data.data(), ULONG(data.size()));
  ASSERT_EQ(records_.size(), 4u);
  EXPECT_EQ(records_[0]->message.size, 22u + 32u);
  EXPECT_EQ(records_[0]->message.data[22 + 31], 0x33);
  EXPECT_EQ(int(records_[0]->requestorMode), UserMode);
  EXPECT_EQ(records_[0]->StackWord(STACK_PARAMETER_1), 2070u);
  EXPECT_EQ(records_[2]->message.size, 22u + 8u);
}

TEST_P(Capture, HiddenManufacturerMessagesAreNotCopied) {
  stack_.SetSettings(0x00200203);
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> manufacturer = Hex("0C 00 01 00 FF 80 01 00 00 00 00 00");
  emu::Write(h, manufacturer.data(), ULONG(manufacturer.size()));
  // Eleven bytes are no MANUFACTURER message and are copied.
  std::vector<uint8_t> shortOne = Hex("0B 00 01 00 FF 80 01 00 00 00 00");
  emu::Write(h, shortOne.data(), ULONG(shortOne.size()));
  ASSERT_EQ(records_.size(), 4u);
  EXPECT_FALSE(records_[0]->message.Present());
  EXPECT_TRUE(records_[2]->message.Present());
}

TEST_P(Capture, FailedCompletionCarriesNoBuffers) {
  stack_.SetResponder([](PIRP irp, PIO_STACK_LOCATION stack) {
    std::memset(stack->Parameters.DeviceIoControl.Type3InputBuffer, 0x11, 8);
    irp->IoStatus.Status = STATUS_INVALID_HANDLE;
    irp->IoStatus.Information = 8;
    return STATUS_INVALID_HANDLE;
  });
  HANDLE h = stack_.Open(KernelMode);
  uint8_t block[8] = {};
  emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, block, 0, nullptr, 8);
  ASSERT_EQ(records_.size(), 2u);
  const TraceRecord& completion = *records_[1];
  EXPECT_EQ(completion.status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(completion.information, 8u);
  EXPECT_FALSE(completion.ioBuffer.Present());
  EXPECT_FALSE(completion.message.Present());
}

TEST_P(Capture, KernelGetWithoutParameterBlockKeepsAZeroBlock) {
  HANDLE h = stack_.Open(KernelMode);
  emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, nullptr, 0, nullptr, 12);
  ASSERT_EQ(records_.size(), 2u);
  const TraceRecord& completion = *records_[1];
  ASSERT_EQ(completion.ioBuffer.size, 8u);
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(completion.ioBuffer.data[i], 0);
  EXPECT_FALSE(completion.message.Present());
}

// A kernel-mode caller's lengths say nothing about the parameter block,
// which is 8 bytes whatever they claim: larger lengths must not make the
// capture read past it.
TEST_P(Capture, KernelPutAndGetCopyTheEightByteBlockWhateverTheLengths) {
  HANDLE h = stack_.Open(KernelMode);
  std::vector<uint8_t> message = DataB3(0x80, 0);
  uint8_t put[8] = {};
  PutDword(put, uint32_t(reinterpret_cast<uintptr_t>(message.data())));
  emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, put, 64, nullptr, 0);
  uint8_t get[8] = {};
  emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, get, 16, nullptr, 4096);
  ASSERT_EQ(records_.size(), 4u);
  EXPECT_EQ(records_[0]->ioBuffer.size, 8u);
  EXPECT_EQ(records_[0]->message.size, 22u);
  EXPECT_EQ(records_[3]->ioBuffer.size, 8u);
  EXPECT_FALSE(records_[3]->message.Present());  // a null message pointer
}

// Bytes in emulated user memory, as a kernel-mode caller may hand on from
// the process it acts for; a driver in another context cannot read them.
void* InUserMemory(const std::vector<uint8_t>& bytes) {
  void* user = emu::UserAlloc(bytes.size());
  std::memcpy(emu::UserAccess(user, bytes.size()), bytes.data(), bytes.size());
  return user;
}

uint32_t Address(const void* pointer) { return uint32_t(reinterpret_cast<uintptr_t>(pointer)); }

// A kernel-mode requester's parameter block, its message and its payload
// are followed only where they lie wholly in system space: the capture runs
// in whatever context sends or completes the request, where a user address
// is another process's memory or none. The record then lacks what it could
// not read, and the request goes on as it came.
TEST_P(Capture, KernelPutPointersIntoUserMemoryAreNotFollowed) {
  std::vector<uint8_t> message = DataB3(0x80, 4);
  std::vector<uint8_t> payload = Hex("01 02 03 04");
  void* userMessage = InUserMemory(message);
  void* userPayload = InUserMemory(payload);
  std::vector<uint32_t> seen;
  stack_.SetResponder([&seen](PIRP irp, PIO_STACK_LOCATION stack) {
    const auto* words =
        static_cast<const uint32_t*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (!emu::IsUserAddress(words)) seen.assign(words, words + 2);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
  });
  // With manufacturer messages hidden, the selection looks at the message
  // too.
  for (TraceSettings settings : {TraceSettings(0x00200003), TraceSettings(0x00200203)}) {
    stack_.SetSettings(settings);
    records_.clear();
    HANDLE h = stack_.Open(KernelMode);
    uint32_t userMessageBlock[2] = {Address(userMessage), 0};
    uint32_t userPayloadBlock[2] = {Address(message.data()), Address(userPayload)};
    emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, userMessageBlock, 8, nullptr, 0);
    EXPECT_EQ(seen, std::vector<uint32_t>(userMessageBlock, userMessageBlock + 2));
    emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, userPayloadBlock, 8, nullptr, 0);
    EXPECT_EQ(seen, std::vector<uint32_t>(userPayloadBlock, userPayloadBlock + 2));
    // The block itself in user memory.
    void* userBlock = InUserMemory(std::vector<uint8_t>(8, 0));
    emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, userBlock, 8, nullptr, 0);
    emu::UserFree(userBlock);
    ASSERT_EQ(records_.size(), 6u) << settings;
    for (size_t i : {0u, 2u}) {
      EXPECT_EQ(records_[i]->ioBuffer.size, 8u) << settings;
      EXPECT_FALSE(records_[i]->message.Present()) << settings;
    }
    EXPECT_FALSE(records_[4]->ioBuffer.Present()) << settings;
    EXPECT_FALSE(records_[4]->message.Present()) << settings;
  }
  emu::UserFree(userMessage);
  emu::UserFree(userPayload);
}

TEST_P(Capture, KernelGetCompletionDoesNotFollowPointersIntoUserMemory) {
  std::vector<uint8_t> message = DataB3(0x82, 4);
  void* userMessage = InUserMemory(message);
  // The provider answers with the message where its caller's process sees
  // it, as a provider sharing a buffer with a user-mode service would.
  stack_.SetResponder([userMessage](PIRP irp, PIO_STACK_LOCATION stack) {
    void* block = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    auto* words = static_cast<uint32_t*>(emu::IsUserAddress(block) ? emu::UserAccess(block, 8)
                                                                    : block);
    words[0] = Address(userMessage);
    words[1] = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
  });
  for (TraceSettings settings : {TraceSettings(0x00200001), TraceSettings(0x00200203)}) {
    stack_.SetSettings(settings);
    records_.clear();
    HANDLE h = stack_.Open(KernelMode);
    uint32_t block[2] = {};
    emu::IoResult result = emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, block, 8, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(block[0], Address(userMessage));
    void* userBlock = InUserMemory(std::vector<uint8_t>(8, 0));
    emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, userBlock, 8, nullptr, 0);
    emu::UserFree(userBlock);
    ASSERT_FALSE(records_.empty()) << settings;
    const TraceRecord& completion = *records_[records_.size() == 4 ? 1 : 0];
    EXPECT_EQ(completion.kind, TRACE_RECORD_COMPLETION);
    ASSERT_EQ(completion.ioBuffer.size, 8u) << settings;
    EXPECT_EQ(completion.ioBuffer.Dword(0), Address(userMessage));
    EXPECT_FALSE(completion.message.Present()) << settings;
    const TraceRecord& second = *records_.back();
    EXPECT_EQ(second.kind, TRACE_RECORD_COMPLETION);
    EXPECT_FALSE(second.ioBuffer.Present()) << settings;
    EXPECT_FALSE(second.message.Present()) << settings;
  }
  emu::UserFree(userMessage);
}

// A lower driver that reports more bytes than the read asked for: only the
// read's buffer is there to copy. The request is built by hand, because the
// I/O manager stops such a driver when the read completes.
TEST(CaptureBounds, BufferedReadReportingMoreThanAskedIsBoundByTheReadLength) {
  std::vector<uint8_t> systemBuffer = DataB3(0x82, 0);
  systemBuffer.resize(64, 0x77);
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_READ;
  stack->Parameters.Read.Length = 22;
  irp->AssociatedIrp.SystemBuffer = systemBuffer.data();
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 64;
  Record completion(captureCompletion(irp, 0x00200003));
  irp->AssociatedIrp.SystemBuffer = nullptr;
  IoFreeIrp(irp);
  ASSERT_TRUE(completion);
  EXPECT_EQ(completion->information, 64u);
  EXPECT_EQ(completion->message.size, 22u);
}

// With manufacturer messages hidden, the check reads the length word and
// the command byte: only when the bytes held reach that far. Direct I/O,
// so that the bytes behind the request's data are the caller's and show
// whether they were looked at.
class CaptureDirect : public ::testing::TestWithParam<tracetest::CompletionMode> {
 protected:
  CaptureDirect() {
    stack_.SetCompletionMode(GetParam());
    stack_.SetRecordSink([this](TraceRecord* record) { records_.emplace_back(record); });
    stack_.SetSettings(0x00200203);
  }

  tracetest::TracedStack stack_{DO_DIRECT_IO};
  std::vector<Record> records_;
};

TEST_P(CaptureDirect, ShortWritesAndReadsAreNeverTakenForManufacturerMessages) {
  HANDLE h = stack_.Open(KernelMode);
  // A MANUFACTURER message of which only the first 1, 4 and 11 bytes are
  // written: what lies behind them belongs to no request.
  std::vector<uint8_t> manufacturer = Hex("0C 00 01 00 FF 80 01 00 00 00 00 00");
  for (ULONG length : {1u, 4u, 11u}) {
    stack_.SetResponder([](PIRP irp, PIO_STACK_LOCATION) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      return STATUS_SUCCESS;
    });
    emu::Write(h, manufacturer.data(), length);
    stack_.SetResponder([length](PIRP irp, PIO_STACK_LOCATION) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = length;
      return STATUS_SUCCESS;
    });
    emu::Read(h, manufacturer.data(), length);
  }
  ASSERT_EQ(records_.size(), 12u);
  for (size_t i = 0; i < 3; ++i) {
    ULONG length = i == 0 ? 1 : i == 1 ? 4 : 11;
    const TraceRecord& write = *records_[4 * i];
    const TraceRecord& read = *records_[4 * i + 3];
    ASSERT_TRUE(write.message.Present()) << length;
    EXPECT_EQ(write.message.size, length);
    ASSERT_TRUE(read.message.Present()) << length;
    EXPECT_EQ(read.message.size, length);
  }
  // The whole message is still hidden.
  emu::Write(h, manufacturer.data(), ULONG(manufacturer.size()));
  ASSERT_EQ(records_.size(), 14u);
  EXPECT_FALSE(records_[12]->message.Present());
}

// A mapping of the caller's pages may find no free system page-table
// entries: the request is traced without its message and goes down as it
// came.
TEST_P(CaptureDirect, PagesThatCannotBeMappedLeaveTheMessageOut) {
  std::vector<uint8_t> connect = Hex("0C 00 01 00 02 80 07 00 01 00 00 00");
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> written;
  stack_.SetResponder([&written](PIRP irp, PIO_STACK_LOCATION stack) {
    const auto* data = static_cast<const uint8_t*>(MmMapLockedPagesSpecifyCache(
        irp->MdlAddress, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
    if (data != nullptr) written.assign(data, data + stack->Parameters.Write.Length);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = stack->Parameters.Write.Length;
    return STATUS_SUCCESS;
  });
  emu::FailMdlMapping(1);
  EXPECT_EQ(emu::Write(h, connect.data(), ULONG(connect.size())).status, STATUS_SUCCESS);
  EXPECT_EQ(written, connect);
  // A read the driver below fills through a mapping it gives up again.
  stack_.SetResponder([connect](PIRP irp, PIO_STACK_LOCATION) {
    void* to = MmMapLockedPages(irp->MdlAddress, KernelMode);
    std::memcpy(to, connect.data(), connect.size());
    MmUnmapLockedPages(to, irp->MdlAddress);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = connect.size();
    return STATUS_SUCCESS;
  });
  emu::FailMdlMapping(2);
  uint8_t buffer[32] = {};
  EXPECT_EQ(emu::Read(h, buffer, sizeof buffer).information, connect.size());
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + connect.size()), connect);
  emu::FailMdlMapping(0);
  ASSERT_EQ(records_.size(), 4u);
  EXPECT_EQ(records_[0]->kind, TRACE_RECORD_REQUEST);
  EXPECT_FALSE(records_[0]->message.Present());
  EXPECT_EQ(records_[3]->kind, TRACE_RECORD_COMPLETION);
  EXPECT_EQ(records_[3]->information, connect.size());
  EXPECT_FALSE(records_[3]->message.Present());
}

// Windows 98/Me have no MmMapLockedPagesSpecifyCache: the MDL says for the
// call that the mapping may fail, and says so no longer afterwards.
TEST(CaptureOnWindows98, PagesThatCannotBeMappedLeaveTheMessageOut) {
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  {
    tracetest::TracedStack stack(DO_DIRECT_IO);
    std::vector<Record> records;
    stack.SetRecordSink([&records](TraceRecord* record) { records.emplace_back(record); });
    CSHORT flagsBelow = 0;
    stack.SetResponder([&flagsBelow](PIRP irp, PIO_STACK_LOCATION) {
      flagsBelow = irp->MdlAddress->MdlFlags;
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      return STATUS_SUCCESS;
    });
    HANDLE h = stack.Open(UserMode);
    std::vector<uint8_t> connect = Hex("0C 00 01 00 02 80 07 00 01 00 00 00");
    emu::FailMdlMapping(1);
    EXPECT_EQ(emu::Write(h, connect.data(), ULONG(connect.size())).status, STATUS_SUCCESS);
    EXPECT_FALSE(flagsBelow & (MDL_MAPPING_CAN_FAIL | MDL_MAPPED_TO_SYSTEM_VA));
    emu::Write(h, connect.data(), ULONG(connect.size()));
    EXPECT_EQ(flagsBelow & (MDL_MAPPING_CAN_FAIL | MDL_MAPPED_TO_SYSTEM_VA),
              MDL_MAPPED_TO_SYSTEM_VA);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_FALSE(records[0]->message.Present());
    EXPECT_EQ(records[2]->message.size, connect.size());
  }
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
}

TEST_P(Capture, IoControlCopiesTheInputDownAndTheReturnedBytesUp) {
  stack_.SetResponder([](PIRP irp, PIO_STACK_LOCATION) {
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x44, 3);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 3;
    return STATUS_SUCCESS;
  });
  HANDLE h = stack_.Open(UserMode);
  uint8_t in[6] = {1, 2, 3, 4, 5, 6};
  uint8_t out[16] = {};
  emu::DeviceIoControl(h, CAPI_REGISTER, in, 6, out, 4);
  ASSERT_EQ(records_.size(), 2u);
  EXPECT_EQ(records_[0]->ioBuffer.size, 6u);
  EXPECT_EQ(records_[0]->ioBuffer.data[5], 6);
  EXPECT_EQ(records_[1]->ioBuffer.size, 3u);
  EXPECT_EQ(records_[1]->ioBuffer.data[2], 0x44);
}

TEST_P(Capture, CompletionsAreCapturedInTheContextOfTheMode) {
  HANDLE h = stack_.Open(UserMode);
  uint8_t in[4] = {1, 2, 3, 4};
  emu::DeviceIoControl(h, CAPI_GET_VERSION, in, 4, nullptr, 0);
  ASSERT_EQ(records_.size(), 2u);
  EXPECT_EQ(stack_.CompletionIrql(),
            GetParam() == tracetest::CompletionMode::kFromDpc ? DISPATCH_LEVEL : PASSIVE_LEVEL);
}

TEST_P(Capture, TextRecords) {
  Record plain(makeTextRecord("Banner\n"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->kind, TRACE_RECORD_TEXT);
  EXPECT_EQ(plain->settings, TRACE_NO_TIMESTAMP);
  EXPECT_EQ(plain->ioBuffer.size, 8u);
  EXPECT_EQ(plain->ioBuffer.data[7], 0);
  EXPECT_FALSE(plain->stack.Present());
  Record stamped(makeTextRecord("Start\n", 0x00200003));
  EXPECT_EQ(stamped->settings, 0x00200003u);
}

TEST(CaptureManufacturer, Predicate) {
  EXPECT_FALSE(isManufacturerMessage(nullptr));
  std::vector<uint8_t> m = Hex("0C 00 01 00 FF 80 01 00 00 00 00 00");
  EXPECT_TRUE(isManufacturerMessage(m.data()));
  m[0] = 11;
  EXPECT_FALSE(isManufacturerMessage(m.data()));
  m[0] = 12;
  m[4] = 0x86;
  EXPECT_FALSE(isManufacturerMessage(m.data()));
}

INSTANTIATE_TEST_SUITE_P(Completions, Capture, TRACE_COMPLETION_MODES);
INSTANTIATE_TEST_SUITE_P(Completions, CaptureDirect, TRACE_COMPLETION_MODES);

}  // namespace

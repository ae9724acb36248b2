// The text of trace records, compared whole against golden logs: records
// captured from real IRPs sent through a traced stack of the emulated I/O
// manager, formatted by the writer thread into a log file on drive C, with
// the clock fixed. Addresses are normalised (see NormaliseAddresses).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pipeline/TraceHarness.h"

#include "emu/Pool.h"
#include "trace/CapiIoctl.h"

namespace {

using tracetest::DataB3;
using tracetest::Hex;
using tracetest::PutDword;
using tracetest::TracedStack;

// The worked CONNECT_REQ of 40 bytes.
const char kConnectReq[] =
    "28 00 01 00 02 80 07 00 01 00 00 00 10 00 04 81 31 32 33 04 00 80 34 35 "
    "00 00 09 01 00 01 00 00 00 00 00 00 00 00 00 00";
// DISCONNECT_IND, reason 0x3490.
const char kDisconnectInd[] = "0E 00 01 00 04 82 05 00 01 01 00 00 90 34";

constexpr TraceSettings kDefaults = 0x00200003;

// Every text test runs twice: the lower device completing in the dispatch
// call, and from a DPC at DISPATCH_LEVEL. The text is the same.
class RecordText : public ::testing::TestWithParam<tracetest::CompletionMode> {
 protected:
  void SetUp() override {
    stack_.SetCompletionMode(GetParam());
    emu::Clock::Fix(tracetest::GoldenTime());
    ASSERT_EQ(stack_.StartWriter(), STATUS_SUCCESS);
  }
  void TearDown() override {
    emu::Pool::ClearFaults();
    emu::Clock::Release();
  }

  // Stops the writer and returns the log with addresses normalised.
  std::string Log() {
    stack_.StopWriter();
    return tracetest::NormaliseAddresses(drive_.Read("trace.log"));
  }

  void ExpectGolden(const std::string& name) {
    std::string actual = Log();
    EXPECT_EQ(actual, tracetest::Golden(name, actual));
  }

  // A responder that copies `bytes` into the system buffer and completes
  // with `status` and as many bytes as information.
  static tracetest::Responder Returns(std::vector<uint8_t> bytes,
                                      NTSTATUS status = STATUS_SUCCESS) {
    return [bytes, status](PIRP irp, PIO_STACK_LOCATION) {
      if (!bytes.empty())
        std::memcpy(irp->AssociatedIrp.SystemBuffer, bytes.data(), bytes.size());
      irp->IoStatus.Status = status;
      irp->IoStatus.Information = NT_SUCCESS(status) ? bytes.size() : 0;
      return status;
    };
  }

  static tracetest::Responder Fails(NTSTATUS status) {
    return [status](PIRP irp, PIO_STACK_LOCATION) {
      irp->IoStatus.Status = status;
      irp->IoStatus.Information = 0;
      return status;
    };
  }

  tracetest::TempDriveC drive_;
  TracedStack stack_;
};

TEST_P(RecordText, TextRecordsWithAndWithoutTimeStamp) {
  stack_.Writer()->Queue(makeTextRecord("Banner line one\nline two\n"));
  stack_.Writer()->Queue(makeTextRecord("Start Tracing\n", kDefaults));
  // A text is printed verbatim, never taken as a format.
  stack_.Writer()->Queue(makeTextRecord("100% done %s %n\n"));
  ExpectGolden("text_records.log");
}

TEST_P(RecordText, RegisterAndRelease) {
  HANDLE h = stack_.Open(UserMode);
  uint8_t in[8] = {0x00, 0x04, 0x02, 0x00, 0x07, 0x00, 0x00, 0x08};
  uint8_t out[4] = {};
  stack_.SetResponder(Returns({0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(emu::DeviceIoControl(h, CAPI_REGISTER, in, 8, out, 4).status, STATUS_SUCCESS);
  // A register that fails for a short buffer: the registration error class.
  stack_.SetResponder(Fails(STATUS_BUFFER_TOO_SMALL));
  emu::DeviceIoControl(h, CAPI_REGISTER, in, 8, out, 4);
  // Six input bytes: the lengths line only.
  stack_.SetResponder(Returns({0x02, 0x00, 0x00, 0x00}));
  emu::DeviceIoControl(h, CAPI_REGISTER, in, 6, out, 4);
  stack_.SetResponder(Returns({}));
  uint8_t appl[4] = {0x01, 0, 0, 0};
  emu::DeviceIoControl(h, CAPI_RELEASE, appl, 4, nullptr, 0);
  ExpectGolden("register_release.log");
}

TEST_P(RecordText, ControllerQueries) {
  HANDLE h = stack_.Open(UserMode);
  uint8_t controller[4] = {0x81, 0, 0, 0};  // printed as 1
  uint8_t out[80] = {};
  const char manufacturer[] = "Pellinor Test CAPI";
  stack_.SetResponder(
      Returns(std::vector<uint8_t>(manufacturer, manufacturer + sizeof manufacturer)));
  emu::DeviceIoControl(h, CAPI_GET_MANUFACTURER, controller, 4, out, 64);
  stack_.SetResponder(Returns({0x02, 0x00, 0x00, 0x00, 0x35, 0x00, 0x12, 0x00}));
  emu::DeviceIoControl(h, CAPI_GET_VERSION, controller, 4, out, 8);
  stack_.SetResponder(Returns({'1', '2', '3', '4', '5', '6', '7', 0}));
  emu::DeviceIoControl(h, CAPI_GET_SERIAL, controller, 4, out, 8);
  // A serial number without its NUL is printed as far as it was returned.
  stack_.SetResponder(Returns({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
  emu::DeviceIoControl(h, CAPI_GET_SERIAL, controller, 4, out, 8);
  std::vector<uint8_t> profile(64);
  for (size_t i = 0; i < profile.size(); ++i) profile[i] = uint8_t(i);
  stack_.SetResponder(Returns(profile));
  emu::DeviceIoControl(h, CAPI_GET_PROFILE, controller, 4, out, 64);
  // 63 bytes are not a profile: nothing beyond the summary.
  profile.resize(63);
  stack_.SetResponder(Returns(profile));
  emu::DeviceIoControl(h, CAPI_GET_PROFILE, controller, 4, out, 64);
  // Not the maker's device: CAPI_MANUFACTURER shows only its lengths.
  uint8_t manu[20] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
  stack_.SetResponder(Returns({}));
  emu::DeviceIoControl(h, CAPI_MANUFACTURER, manu, 20, nullptr, 0);
  ExpectGolden("controller_queries.log");
}

TEST_P(RecordText, MakersDeviceShowsItsVersionAndManufacturerBuffers) {
  stack_.Writer()->SetNrxTarget();
  HANDLE h = stack_.Open(UserMode);
  uint8_t controller[4] = {0x02, 0, 0, 0};
  uint8_t out[8] = {};
  stack_.SetResponder(Returns({0x02, 0x00, 0x00, 0x00, 0x35, 0x00, 0x12, 0x00}));
  emu::DeviceIoControl(h, CAPI_GET_VERSION, controller, 4, out, 8);
  uint8_t manu[20] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0xA0};
  stack_.SetResponder(Returns({}));
  emu::DeviceIoControl(h, CAPI_MANUFACTURER, manu, 20, nullptr, 0);
  ExpectGolden("makers_device.log");
}

TEST_P(RecordText, MessagesByWriteAndRead) {
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> connect = Hex(kConnectReq);
  stack_.SetResponder(Returns({}));
  emu::Write(h, connect.data(), ULONG(connect.size()));

  // DATA_B3_REQ with 2048 payload bytes behind it: 32 of them are dumped.
  std::vector<uint8_t> data = DataB3(0x80, 2048);
  for (int i = 0; i < 2048; ++i) data.push_back(uint8_t('A' + i % 26));
  emu::Write(h, data.data(), ULONG(data.size()));

  // A message that claims 40 bytes in a buffer of 30.
  std::vector<uint8_t> cut(connect.begin(), connect.begin() + 30);
  emu::Write(h, cut.data(), ULONG(cut.size()));

  uint8_t buffer[64] = {};
  stack_.SetResponder(Returns(Hex(kDisconnectInd)));
  emu::Read(h, buffer, sizeof buffer);
  // A read that returns nothing: no message to get.
  stack_.SetResponder(Returns({}));
  emu::Read(h, buffer, sizeof buffer);
  stack_.SetResponder(Fails(STATUS_CANCELLED));
  emu::Read(h, buffer, sizeof buffer);
  ExpectGolden("write_read.log");
}

TEST_P(RecordText, PayloadLimitIsTheOneInForceAtCapture) {
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> data = DataB3(0x80, 40);
  for (int i = 0; i < 40; ++i) data.push_back(uint8_t(0x80 + i));
  stack_.SetResponder(Returns({}));
  stack_.SetSettings(0x00000003);  // MaxDataB3Bytes 0: no dump
  emu::Write(h, data.data(), ULONG(data.size()));
  stack_.SetSettings(0x00050003);  // 5 bytes
  emu::Write(h, data.data(), ULONG(data.size()));
  ExpectGolden("payload_limit.log");
}

TEST_P(RecordText, MessagesOnlyShowTheDecodeWithoutSummaries) {
  stack_.SetSettings(0x00200001);
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> connect = Hex(kConnectReq);
  stack_.SetResponder(Returns({}));
  emu::Write(h, connect.data(), ULONG(connect.size()));
  uint8_t buffer[64] = {};
  stack_.SetResponder(Returns(Hex(kDisconnectInd)));
  emu::Read(h, buffer, sizeof buffer);
  // A failed completion always shows its summary.
  stack_.SetResponder(Fails(STATUS_DEVICE_BUSY));
  emu::Read(h, buffer, sizeof buffer);
  ExpectGolden("messages_only.log");
}

TEST_P(RecordText, ParameterBlockIoctlsFromUserMode) {
  HANDLE h = stack_.Open(UserMode);
  uint8_t block[8] = {};
  PutDword(block, 0x00123450);
  PutDword(block + 4, 0x00ABCDE0);
  stack_.SetResponder(Returns({}));
  emu::DeviceIoControl(h, CAPI_PUT_MESSAGE, block, 8, nullptr, 0);
  // Four input bytes cannot hold a parameter block.
  emu::DeviceIoControl(h, CAPI_PUT_MESSAGE, block, 4, nullptr, 0);
  uint8_t out[8] = {};
  stack_.SetResponder(Returns({0x50, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00}));
  emu::DeviceIoControl(h, CAPI_GET_MESSAGE, nullptr, 0, out, 8);
  // Four returned bytes are no parameter block.
  stack_.SetResponder(Returns({0x50, 0x34, 0x12, 0x00}));
  emu::DeviceIoControl(h, CAPI_GET_MESSAGE, nullptr, 0, out, 8);
  ExpectGolden("parameter_block_ioctls.log");
}

TEST_P(RecordText, KernelModeInternalIoctls) {
  HANDLE h = stack_.Open(KernelMode);
  // PUT: DATA_B3_REQ with 2048 bytes of payload lying apart from it.
  static uint8_t payload[2048];
  for (int i = 0; i < 2048; ++i) payload[i] = uint8_t('a' + i % 26);
  std::vector<uint8_t> put = DataB3(0x80, 2048, 0x1000);
  uint8_t putBlock[8];
  PutDword(putBlock, uint32_t(reinterpret_cast<uintptr_t>(put.data())));
  PutDword(putBlock + 4, uint32_t(reinterpret_cast<uintptr_t>(payload)));
  stack_.SetResponder(Returns({}));
  emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, putBlock, 8, nullptr, 0);

  // GET: the device hands back a DATA_B3_IND and its payload.
  static std::vector<uint8_t> ind = DataB3(0x82, 5);
  static uint8_t indPayload[5] = {'H', 'e', 'l', 'l', 'o'};
  stack_.SetResponder([](PIRP irp, PIO_STACK_LOCATION stack) {
    auto* block = static_cast<uint8_t*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    PutDword(block, uint32_t(reinterpret_cast<uintptr_t>(ind.data())));
    PutDword(block + 4, uint32_t(reinterpret_cast<uintptr_t>(indPayload)));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 8;
    return STATUS_SUCCESS;
  });
  uint8_t getBlock[8] = {};
  emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, getBlock, 0, nullptr, 8);

  // GET without a parameter block: a zero block, so no message.
  stack_.SetResponder(Returns({}));
  emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, nullptr, 0, nullptr, 8);
  ExpectGolden("kernel_internal_ioctls.log");
}

TEST_P(RecordText, KernelGetMessageFailureShowsWithMessagesOnly) {
  stack_.SetSettings(0x00200001);
  HANDLE h = stack_.Open(KernelMode);
  uint8_t getBlock[8] = {};
  stack_.SetResponder(Fails(STATUS_INVALID_HANDLE));
  emu::InternalDeviceIoControl(h, CAPI_GET_MESSAGE, getBlock, 0, nullptr, 8);
  // A kernel PUT with messages only: no buffer lines, but the decode.
  std::vector<uint8_t> connect = Hex(kConnectReq);
  uint8_t putBlock[8] = {};
  PutDword(putBlock, uint32_t(reinterpret_cast<uintptr_t>(connect.data())));
  stack_.SetResponder(Returns({}));
  emu::InternalDeviceIoControl(h, CAPI_PUT_MESSAGE, putBlock, 8, nullptr, 0);
  ExpectGolden("kernel_failure_messages_only.log");
}

TEST_P(RecordText, AsynchronousCompletionFromAnotherThread) {
  HANDLE h = stack_.Open(UserMode);
  stack_.SetPending(true);
  uint8_t buffer[64] = {};
  stack_.SetResponder(Returns(Hex(kDisconnectInd)));
  EXPECT_EQ(emu::Read(h, buffer, sizeof buffer).status, STATUS_SUCCESS);
  ExpectGolden("pending_read.log");
}

TEST_P(RecordText, InjectedAllocationFailuresDropARecordOrABlock) {
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> connect = Hex(kConnectReq);
  stack_.SetResponder(Returns({}));
  // The request's allocations are: record, message; then the completion's
  // record. Fail the message block.
  emu::PoolFault fault;
  fault.mode = emu::PoolFault::kPattern;
  fault.pattern = ".x";
  fault.tag = emu::MakePoolTag("NRXc");
  emu::Pool::InjectFault(fault);
  emu::Write(h, connect.data(), ULONG(connect.size()));
  emu::Pool::ClearFaults();
  // Fail the request's record: only the completion is logged, after the
  // line that counts the lost request.
  fault.pattern = "x";
  emu::Pool::InjectFault(fault);
  emu::Write(h, connect.data(), ULONG(connect.size()));
  emu::Pool::ClearFaults();
  // Fail the completion's record: counted lost, told at the end.
  fault.pattern = "..x";
  emu::Pool::InjectFault(fault);
  emu::Write(h, connect.data(), ULONG(connect.size()));
  emu::Pool::ClearFaults();
  ExpectGolden("allocation_failures.log");
}

class DirectIo : public ::testing::TestWithParam<tracetest::CompletionMode> {
 protected:
  DirectIo() { stack_.SetCompletionMode(GetParam()); }
  tracetest::TempDriveC drive_;
  TracedStack stack_{DO_DIRECT_IO};
};

TEST_P(DirectIo, MessagesAreReadThroughTheRequestsMdl) {
  emu::Clock::Fix(tracetest::GoldenTime());
  ASSERT_EQ(stack_.StartWriter(), STATUS_SUCCESS);
  HANDLE h = stack_.Open(UserMode);
  std::vector<uint8_t> connect = Hex(kConnectReq);
  stack_.SetResponder([](PIRP irp, PIO_STACK_LOCATION) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
  });
  emu::Write(h, connect.data(), ULONG(connect.size()));
  std::vector<uint8_t> disconnect = Hex(kDisconnectInd);
  stack_.SetResponder([disconnect](PIRP irp, PIO_STACK_LOCATION) {
    auto* to = static_cast<uint8_t*>(MmMapLockedPages(irp->MdlAddress, KernelMode));
    std::memcpy(to, disconnect.data(), disconnect.size());
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = disconnect.size();
    return STATUS_SUCCESS;
  });
  uint8_t buffer[64] = {};
  emu::Read(h, buffer, sizeof buffer);
  stack_.StopWriter();
  std::string actual = tracetest::NormaliseAddresses(drive_.Read("trace.log"));
  EXPECT_EQ(actual, tracetest::Golden("direct_io.log", actual));
  emu::Clock::Release();
}

INSTANTIATE_TEST_SUITE_P(Completions, RecordText, TRACE_COMPLETION_MODES);
INSTANTIATE_TEST_SUITE_P(Completions, DirectIo, TRACE_COMPLETION_MODES);

}  // namespace

// A user-mode caller's pointers are printed, never followed: parameter blocks
// of CAPI_PUT_MESSAGE and CAPI_GET_MESSAGE I/O controls that point into user
// memory (live, freed or never mapped), METHOD_NEITHER I/O controls, and
// reads and writes of a device without buffered or direct I/O. The emulated
// kernel maps the user range inaccessible to drivers: a dereference by the
// trace driver stops the test with a bug check naming the address. With
// Pellinor_UserMessages the parameter blocks' messages are copied under the
// driver's exception frame instead, in the host build and in the shipped
// image: every pointer that cannot be read is traced as such, and the
// request goes down as it came.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/UserMemory.h"
#include "tests/emu/IoTestDriver.h"
#include "tests/filter/FilterHarness.h"

#include "control/TraceControlCodes.h"
#include "emu/Registry.h"
#include "framework/Pool.h"
#include "framework/TraceDriver.h"
#include "trace/CapiIoctl.h"

#ifndef PELLINOR_WINDOWS_IMAGE
#define PELLINOR_WINDOWS_IMAGE ""
#endif

namespace {

using filtertest::Message;
using filtertest::SetFlags;
using filtertest::TracedSystem;

// CAPI functions and messages, manufacturer messages hidden: the setting
// under which the driver looks into messages to select them.
constexpr uint32_t kEverything = 0x0203;
constexpr ULONG kNeither = 3;

const char kConnectReq[] =
    "1a 00 01 00 02 80 05 00 01 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00";
// Four bytes of payload announced.
const char kDataB3Req[] = "16 00 01 00 86 80 03 00 01 01 01 00 00 00 00 00 04 00 01 00 00 00";
const char kConnectConf[] = "0e 00 01 00 02 81 01 00 01 00 00 00 00 00";

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", unsigned(value));
  return text;
}

uint32_t Address(const void* pointer) {
  return uint32_t(reinterpret_cast<uintptr_t>(pointer));
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

// What the CAPI device below saw of a request.
struct Arrival {
  UCHAR major;
  ULONG code;
  PVOID type3Input;
  PVOID userBuffer;
  PVOID systemBuffer;
  PMDL mdl;
  CAPI_PARAMETER_BLOCK block;  // a CAPI_PUT_MESSAGE's buffered input
};

// A CAPI device that does not look at its callers' memory: it completes
// every request at once, returns `getBlock` as the parameter block of a
// buffered CAPI_GET_MESSAGE and claims `readLength` bytes for a read.
class PointerCapi {
 public:
  explicit PointerCapi(ULONG deviceFlags)
      : driver_("BadInputCapi"),
        device_(driver_.CreateDevice(u"CAPI201", deviceFlags,
                                     [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); })) {}

  CAPI_PARAMETER_BLOCK getBlock = {0, 0};
  ULONG readLength = 0;
  // A CAPI_GET_MESSAGE is left pending and completed by another thread.
  bool completeGetElsewhere = false;

  ~PointerCapi() {
    for (std::thread& completer : completers_) completer.join();
  }

  std::vector<Arrival> Arrivals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
  }

 private:
  NTSTATUS Handle(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Arrival arrival{stack->MajorFunction, 0, nullptr, irp->UserBuffer,
                    irp->AssociatedIrp.SystemBuffer, irp->MdlAddress, {0, 0}};
    ULONG_PTR information = 0;
    switch (stack->MajorFunction) {
      case IRP_MJ_DEVICE_CONTROL: {
        arrival.code = stack->Parameters.DeviceIoControl.IoControlCode;
        arrival.type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (arrival.code == CAPI_PUT_MESSAGE &&
            stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof arrival.block)
          std::memcpy(&arrival.block, irp->AssociatedIrp.SystemBuffer, sizeof arrival.block);
        if (arrival.code == CAPI_GET_MESSAGE && output >= sizeof getBlock &&
            irp->AssociatedIrp.SystemBuffer != nullptr) {
          std::memcpy(irp->AssociatedIrp.SystemBuffer, &getBlock, sizeof getBlock);
          information = sizeof getBlock;
          if (completeGetElsewhere) {
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_.push_back(arrival);
            completers_.emplace_back([irp, information] {
              iotest::Complete(irp, STATUS_SUCCESS, information);
            });
            return STATUS_PENDING;
          }
        }
        break;
      }
      case IRP_MJ_READ:
        information = readLength < stack->Parameters.Read.Length ? readLength
                                                                 : stack->Parameters.Read.Length;
        break;
      case IRP_MJ_WRITE:
        information = stack->Parameters.Write.Length;
        break;
      default:
        break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arrivals_.push_back(arrival);
    }
    return iotest::Complete(irp, STATUS_SUCCESS, information);
  }

  iotest::TestDriver driver_;
  PDEVICE_OBJECT device_;
  std::mutex mutex_;
  std::vector<Arrival> arrivals_;
  std::vector<std::thread> completers_;
};

class UserPointers : public ::testing::Test {
 protected:
  void TearDown() override {
    if (handle != nullptr)
      EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
    system.Unload();
    lower.reset();
    for (void* block : userBlocks) emu::UserFree(block);
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
  }

  void Start(ULONG deviceFlags, uint32_t flags = kEverything) {
    SetFlags(flags);
    lower = std::make_unique<PointerCapi>(deviceFlags);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ASSERT_EQ(system.Driver()->CreateTraceDevice(), STATUS_SUCCESS);
    ASSERT_EQ(emu::Open(u"\\Device\\CAPI201", UserMode, &handle), STATUS_SUCCESS);
  }
  // With Pellinor_UserMessages at `copying`, from the host build or
  // (`image`) from the shipped pellinor.sys started through its control
  // device.
  void StartCopying(const std::string& image, bool copying) {
    emu::Registry::SetDword(filtertest::kServiceKey, u"Pellinor_UserMessages", copying ? 1 : 0);
    if (image.empty()) {
      Start(DO_BUFFERED_IO);
      return;
    }
    SetFlags(kEverything);
    lower = std::make_unique<PointerCapi>(DO_BUFFERED_IO);
    std::string message;
    ASSERT_EQ(system.LoadImage(image, &message), STATUS_SUCCESS) << message;
    EXPECT_EQ(filtertest::SendControl(IOCTL_TRACE_START), STATUS_SUCCESS);
    ASSERT_EQ(emu::Open(u"\\Device\\CAPI201", UserMode, &handle), STATUS_SUCCESS);
  }

  // A live block of user memory holding `bytes`, freed at the end.
  void* LiveUser(const std::vector<uint8_t>& bytes) {
    void* block = emu::UserCopy(bytes.data(), bytes.size());
    userBlocks.push_back(block);
    return block;
  }
  // An address of user memory that was freed: nothing maps it any more.
  static void* FreedUser() {
    void* block = emu::UserAlloc(4096);
    emu::UserFree(block);
    return block;
  }

  // Stops tracing and returns the raw log (addresses as printed).
  std::string Log() {
    if (system.Driver() != nullptr) {
      EXPECT_EQ(system.Driver()->StopTraceDevice(1), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(filtertest::SendControl(IOCTL_TRACE_STOP), STATUS_SUCCESS);
    }
    return system.Drive().Read("pellinor.log");
  }

  void PutEveryBadPointer(const std::string& image, bool copying);
  void GetUnderEveryContext(const std::string& image, bool copying);

  TracedSystem system;
  std::unique_ptr<PointerCapi> lower;
  HANDLE handle = nullptr;
  std::vector<void*> userBlocks;
};

TEST_F(UserPointers, NeitherIoctlsPassTheirPointersDownUntouched) {
  Start(DO_BUFFERED_IO);
  void* input = LiveUser(Message(kConnectReq));
  void* output = LiveUser(std::vector<uint8_t>(64, 0));
  void* large = LiveUser(std::vector<uint8_t>(0x10000, 0xFF));
  // CAPI functions with METHOD_NEITHER, and another code of the same
  // device type, with a message and a large block of 0xFF as input.
  const ULONG codes[] = {CAPI_PUT_MESSAGE | kNeither, CAPI_GET_MESSAGE | kNeither,
                         CAPI_REGISTER | kNeither, 0x00012003};
  for (ULONG code : codes) {
    emu::IoResult result = emu::DeviceIoControlUser(handle, code, input, 26, output, 64);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    result = emu::DeviceIoControlUser(handle, code, large, 0x10000, large, 0x10000);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
  }
  std::vector<Arrival> arrivals;
  for (const Arrival& arrival : lower->Arrivals()) {
    if (arrival.major == IRP_MJ_DEVICE_CONTROL && (arrival.code & 3) == kNeither)
      arrivals.push_back(arrival);
  }
  ASSERT_EQ(arrivals.size(), 2 * std::size(codes));
  for (size_t i = 0; i < arrivals.size(); ++i) {
    bool small = i % 2 == 0;
    EXPECT_EQ(arrivals[i].type3Input, small ? input : large);
    EXPECT_EQ(arrivals[i].userBuffer, small ? output : large);
    EXPECT_EQ(arrivals[i].systemBuffer, nullptr);
  }
  std::string log = Log();
  // No CAPI function (the CAPI codes are buffered): not traced whatever the
  // flags, and nothing read behind them.
  EXPECT_EQ(Occurrences(log, "BufferLength"), 0u) << log;
  EXPECT_EQ(Occurrences(log, "FF FF"), 0u);
  EXPECT_EQ(Occurrences(log, "CONNECT_REQ"), 0u);
  EXPECT_EQ(Occurrences(log, "MessagePointer"), 0u);
}

TEST_F(UserPointers, NeitherReadsAndWritesAreTracedWithoutTheirData) {
  Start(0);  // neither buffered nor direct I/O: the data stays in user memory
  lower->readLength = 26;
  std::vector<uint8_t> message = Message(kConnectReq);
  emu::IoResult result = emu::Write(handle, message.data(), ULONG(message.size()));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, message.size());
  std::vector<uint8_t> buffer(64, 0);
  result = emu::Read(handle, buffer.data(), ULONG(buffer.size()));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 26u);
  std::vector<Arrival> arrivals;
  for (const Arrival& arrival : lower->Arrivals()) {
    if (arrival.major == IRP_MJ_READ || arrival.major == IRP_MJ_WRITE)
      arrivals.push_back(arrival);
  }
  ASSERT_EQ(arrivals.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(emu::IsUserAddress(arrivals[i].userBuffer));
    EXPECT_EQ(arrivals[i].systemBuffer, nullptr);
    EXPECT_EQ(arrivals[i].mdl, nullptr);
  }
  std::string log = Log();
  EXPECT_EQ(Occurrences(log, "WriteBufferLength: 26 (0x1A)"), 1u) << log;
  EXPECT_EQ(Occurrences(log, "ReadBufferLength: 64 (0x40)"), 1u);
  EXPECT_EQ(Occurrences(log, "CONNECT_REQ"), 0u);
}

// Every kind of pointer a user-mode caller can give. Without the copies
// each block is printed and nothing behind it followed (a kernel address
// would decode if it were). With them only the two good ones decode; each
// other one is traced as unreadable. Every request reaches the device with
// its block as sent.
void UserPointers::PutEveryBadPointer(const std::string& image, bool copying) {
  StartCopying(image, copying);
  if (HasFatalFailure())
    return;
  std::vector<uint8_t> connect = Message(kConnectReq);
  void* message = LiveUser(connect);
  void* dataB3 = LiveUser(Message(kDataB3Req));
  void* payload = LiveUser({0xDE, 0xAD, 0xBE, 0xEF});
  void* freed = FreedUser();
  // A length word past the end of the caller's block.
  std::vector<uint8_t> longer = connect;
  longer[0] = 0x00;
  longer[1] = 0x01;
  void* overlong = LiveUser(longer);
  // Freed by another thread of the caller while the driver copies it.
  void* vanishing = copying ? emu::UserCopy(connect.data(), connect.size()) : LiveUser(connect);
  if (copying)
    emu::FreeUserBlockWhenCopied(static_cast<uint8_t*>(vanishing) + 12);
  const uint32_t endOfUserSpace = uint32_t(emu::kUserRangeBase + emu::kUserRangeBytes);
  const CAPI_PARAMETER_BLOCK blocks[] = {
      {Address(message), 0},
      {Address(dataB3), Address(payload)},
      {Address(dataB3), Address(freed)},  // the payload is gone
      {Address(freed), 0},
      {Address(message) + 4000000, 0},  // in the user range, never mapped
      {0, Address(payload)},
      {Address(connect.data()), 0},  // system memory: a user-mode caller's pointer must not reach it
      {endOfUserSpace - 1, 0},       // straddles the end of user space
      {Address(overlong), 0},
      {Address(vanishing), 0},
  };
  for (const CAPI_PARAMETER_BLOCK& block : blocks) {
    emu::IoResult result = emu::DeviceIoControl(handle, CAPI_PUT_MESSAGE, &block, sizeof block,
                                                nullptr, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
  }
  std::vector<CAPI_PARAMETER_BLOCK> seen;
  for (const Arrival& arrival : lower->Arrivals()) {
    if (arrival.code == CAPI_PUT_MESSAGE)
      seen.push_back(arrival.block);
  }
  ASSERT_EQ(seen.size(), std::size(blocks));
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].message, blocks[i].message) << i;
    EXPECT_EQ(seen[i].b3Data, blocks[i].b3Data) << i;
  }
  std::string log = Log();
  const size_t decoded = copying ? 1 : 0;
  EXPECT_EQ(Occurrences(log, "CONNECT_REQ "), decoded) << log;
  EXPECT_EQ(Occurrences(log, "DATA_B3_REQ "), decoded) << log;
  EXPECT_EQ(Occurrences(log, "DE AD BE EF"), decoded) << log;
  EXPECT_EQ(Occurrences(log, "  Message: not readable in the caller's memory"),
            copying ? std::size(blocks) - 2 : 0)
      << log;
  for (const CAPI_PARAMETER_BLOCK& block : blocks) {
    EXPECT_NE(log.find("MessagePointer: 0x" + Hex8(block.message)), std::string::npos)
        << Hex8(block.message);
    EXPECT_NE(log.find("B3DataPointer:  0x" + Hex8(block.b3Data)), std::string::npos)
        << Hex8(block.b3Data);
  }
  EXPECT_EQ(Occurrences(log, "MessagePointer: 0x"), std::size(blocks));
  EXPECT_EQ(Occurrences(log, "COMPLETION CAPI_PUT_MESSAGE"), std::size(blocks));
}

// A get's message is read where the get completes in the requester's
// thread, and only there (and never without the copies). The blocks the
// device returns reach the caller as they were.
void UserPointers::GetUnderEveryContext(const std::string& image, bool copying) {
  StartCopying(image, copying);
  if (HasFatalFailure())
    return;
  void* message = LiveUser(Message(kConnectConf));
  void* freed = FreedUser();
  const CAPI_PARAMETER_BLOCK answers[] = {{Address(message), 0}, {Address(freed), 0}, {0, 0}};
  for (const CAPI_PARAMETER_BLOCK& answer : answers) {
    lower->getBlock = answer;
    CAPI_PARAMETER_BLOCK returned = {};
    emu::IoResult result = emu::DeviceIoControl(handle, CAPI_GET_MESSAGE, nullptr, 0, &returned,
                                                sizeof returned);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof returned);
    EXPECT_EQ(returned.message, answer.message);
    EXPECT_EQ(returned.b3Data, answer.b3Data);
  }
  lower->getBlock = answers[0];
  lower->completeGetElsewhere = true;
  CAPI_PARAMETER_BLOCK returned = {};
  EXPECT_EQ(emu::DeviceIoControl(handle, CAPI_GET_MESSAGE, nullptr, 0, &returned, sizeof returned)
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(returned.message, answers[0].message);
  std::string log = Log();
  const size_t once = copying ? 1 : 0;
  EXPECT_EQ(Occurrences(log, "CONNECT_CONF "), once) << log;
  EXPECT_EQ(Occurrences(log, "  Message: not readable in the caller's memory"), once) << log;
  EXPECT_EQ(Occurrences(log, "  Message: not read here (completed outside the requesting thread)"),
            once)
      << log;
  EXPECT_EQ(Occurrences(log, "MessagePointer: 0x" + Hex8(answers[1].message)), 1u) << log;
  EXPECT_EQ(Occurrences(log, "COMPLETION CAPI_GET_MESSAGE"), std::size(answers) + 1);
  // The get that found no message says so, as without the setting.
  EXPECT_EQ(Occurrences(log, "CAPIError 0x1104"), 1u) << log;
}

const std::string kImage = PELLINOR_WINDOWS_IMAGE;
bool HaveImage() { return !kImage.empty() && std::ifstream(kImage).good(); }

TEST_F(UserPointers, PutMessageBlocksArePrintedNotFollowed) {
  PutEveryBadPointer("", false);
}

TEST_F(UserPointers, GetMessageBlocksReturnedByTheDeviceArePrintedNotFollowed) {
  GetUnderEveryContext("", false);
}

TEST_F(UserPointers, CopiedPutMessagesTraceEveryBadPointerAsUnreadable) {
  PutEveryBadPointer("", true);
}

TEST_F(UserPointers, CopiedPutMessagesOfTheShippedImage) {
  if (!HaveImage())
    GTEST_SKIP() << "no pellinor.sys (configure with -DPELLINOR_WINDOWS_IMAGE=FILE)";
  PutEveryBadPointer(kImage, true);
}

TEST_F(UserPointers, CopiedGetMessagesOnlyInTheRequestersThread) {
  GetUnderEveryContext("", true);
}

TEST_F(UserPointers, CopiedGetMessagesOfTheShippedImage) {
  if (!HaveImage())
    GTEST_SKIP() << "no pellinor.sys (configure with -DPELLINOR_WINDOWS_IMAGE=FILE)";
  GetUnderEveryContext(kImage, true);
}

}  // namespace

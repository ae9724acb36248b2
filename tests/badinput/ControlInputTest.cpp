// The control device under every short, missing and oversized buffer, from
// user mode through the emulated I/O manager: each request answers with its
// status, claims no more bytes than the caller's output buffer holds, and a
// refused request changes no registry value. And the exclusive open holds
// when several threads race for it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "emu/Io.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "control/ControlDevice.h"
#include "control/DriverIdentity.h"
#include "control/TraceSettings.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

class ControlInput : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Registry::Clear();
    emu::Registry::ClearFaults();
    emu::Registry::SetDword(kService, u"Start", 3);
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
    ASSERT_NE(emu::FindDevice(u"\\Device\\PellinorIOCTL"), nullptr);
    ASSERT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (handle != nullptr)
      EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
    emu::Registry::ClearFaults();
    EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(emu::LiveIrpCount(), 0);
    emu::Registry::Clear();
  }

  emu::IoResult Send(ULONG code, std::vector<uint8_t> input, ULONG inputLength,
                     ULONG outputLength, std::vector<uint8_t>* output = nullptr) {
    if (input.size() < inputLength)
      input.resize(inputLength, 'x');
    std::vector<uint8_t> out(outputLength, 0xEE);
    emu::IoResult result = emu::DeviceIoControl(
        handle, code, inputLength == 0 ? nullptr : input.data(), inputLength,
        outputLength == 0 ? nullptr : out.data(), outputLength);
    if (output != nullptr)
      *output = out;
    return result;
  }

  PDRIVER_OBJECT driver = nullptr;
  HANDLE handle = nullptr;
};

std::vector<uint8_t> Number(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

std::vector<uint8_t> Text(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// Lengths a caller may give: none, short, exact and oversized.
const ULONG kLengths[] = {0, 1, 3, 4, 5, 64, 0xFFFF, 0x10000, 0x10001};

TEST_F(ControlInput, ShortAndMissingBuffersAreRefusedAndChangeNothing) {
  emu::Registry::SetDword(kService, u"Pellinor_Flags", 0x0003);
  emu::Registry::SetDword(kService, u"Pellinor_B3Bytes", 20);
  emu::Registry::SetDword(kService, u"Pellinor_LogLimit", 7);
  const std::string before = emu::Registry::SaveText();
  for (ULONG code : {IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_SET_B3BYTES, IOCTL_TRACE_SET_LOGLIMIT,
                     IOCTL_TRACE_SET_LOGKEEP, IOCTL_TRACE_SET_CALLER,
                     IOCTL_TRACE_SET_USERMESSAGES}) {
    for (ULONG in : {0u, 1u, 2u, 3u}) {
      for (ULONG out : {0u, 3u, 4u, 64u}) {
        emu::IoResult result = Send(code, Number(0x0B07), in, out);
        EXPECT_EQ(result.status, STATUS_INVALID_USER_BUFFER) << code << " " << in << " " << out;
      }
    }
  }
  for (ULONG code : {IOCTL_TRACE_GET_STATE, IOCTL_TRACE_GET_FLAGS, IOCTL_TRACE_GET_B3BYTES,
                     IOCTL_TRACE_GET_LOGLIMIT, IOCTL_TRACE_GET_LOGKEEP, IOCTL_TRACE_GET_CALLER,
                     IOCTL_TRACE_GET_USERMESSAGES}) {
    for (ULONG in : {0u, 4u, 64u}) {
      for (ULONG out : {0u, 1u, 3u}) {
        emu::IoResult result = Send(code, Number(1), in, out);
        EXPECT_EQ(result.status, STATUS_INVALID_USER_BUFFER) << code << " " << in << " " << out;
      }
    }
  }
  // Strings without room for their terminator inside the input.
  for (ULONG code : {IOCTL_TRACE_SET_LOG, IOCTL_TRACE_SET_TARGET}) {
    for (ULONG in : {0u, 1u, 8u}) {
      emu::IoResult result = Send(code, Text("C:\\somewhere.log"), in, 0);
      EXPECT_EQ(result.status, STATUS_INVALID_USER_BUFFER) << code << " " << in;
    }
  }
  // Codes the device does not serve, METHOD_NEITHER twins of its own codes
  // among them (their buffers are user addresses it must not touch).
  for (ULONG code : std::initializer_list<ULONG>{IOCTL_TRACE_GET_STATE | METHOD_NEITHER, IOCTL_TRACE_SET_LOG | METHOD_NEITHER,
                     IOCTL_TRACE_SET_FLAGS | METHOD_IN_DIRECT, TraceControlCode(0xF03),
                     TraceControlCode(0xF19), 0x00220000u, 0xFFFFFFFFu}) {
    for (ULONG length : {0u, 4u, 0x10001u}) {
      emu::IoResult result = Send(code, Text("C:\\other.log"), length, length);
      EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED) << std::hex << code << " " << length;
      EXPECT_EQ(result.information, 0u);
    }
  }
  EXPECT_EQ(emu::Registry::SaveText(), before);
}

TEST_F(ControlInput, EveryLengthAnswersWithinTheCallersBuffer) {
  const ULONG codes[] = {IOCTL_TRACE_GET_STATE,   IOCTL_TRACE_SET_FLAGS, IOCTL_TRACE_SET_B3BYTES,
                         IOCTL_TRACE_SET_LOG,     IOCTL_TRACE_SET_TARGET, IOCTL_TRACE_GET_FLAGS,
                         IOCTL_TRACE_GET_B3BYTES, IOCTL_TRACE_GET_LOG,   IOCTL_TRACE_GET_TARGET,
                         IOCTL_TRACE_SET_LOGLIMIT, IOCTL_TRACE_GET_LOGLIMIT,
                         IOCTL_TRACE_SET_LOGKEEP, IOCTL_TRACE_GET_LOGKEEP,
                         IOCTL_TRACE_SET_CALLER, IOCTL_TRACE_GET_CALLER,
                         IOCTL_TRACE_SET_USERMESSAGES, IOCTL_TRACE_GET_USERMESSAGES,
                         IOCTL_TRACE_GET_VERSION};
  for (ULONG code : codes) {
    for (ULONG in : kLengths) {
      for (ULONG out : kLengths) {
        std::vector<uint8_t> input = Text("C:\\a.log");
        if (code == IOCTL_TRACE_SET_FLAGS || code == IOCTL_TRACE_SET_B3BYTES ||
            code == IOCTL_TRACE_SET_LOGLIMIT || code == IOCTL_TRACE_SET_LOGKEEP ||
            code == IOCTL_TRACE_SET_CALLER || code == IOCTL_TRACE_SET_USERMESSAGES)
          input = Number(0xFFFFFFFF);
        std::vector<uint8_t> output;
        emu::IoResult result = Send(code, input, in, out, &output);
        // The I/O manager copies `information` bytes into the caller's
        // output buffer, when there is one, for any status that is not an
        // error: a claim past it would overrun the caller's memory (the
        // emulated I/O manager stops the process instead).
        if ((ULONG(result.status) >> 30) != 3 && out != 0)
          EXPECT_LE(result.information, out) << std::hex << code << std::dec << " " << in << " " << out;
        if (code == IOCTL_TRACE_GET_LOG && NT_SUCCESS(result.status))
          EXPECT_EQ(std::string(reinterpret_cast<const char*>(output.data())), "C:\\a.log");
        // The version whole or not at all: a line cut short would name
        // another build.
        if (code == IOCTL_TRACE_GET_VERSION) {
          EXPECT_EQ(NT_SUCCESS(result.status), out > DRIVER_IDENTITY_LENGTH) << out;
          if (NT_SUCCESS(result.status))
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(output.data())), kDriverIdentity);
          else
            EXPECT_EQ(result.information, 0u) << out;
        }
      }
    }
  }
  // The version's own edge: a byte short of its terminator, and just room.
  std::vector<uint8_t> identity;
  EXPECT_EQ(Send(IOCTL_TRACE_GET_VERSION, {}, 0, DRIVER_IDENTITY_LENGTH, &identity).status,
            STATUS_BUFFER_TOO_SMALL);
  emu::IoResult whole = Send(IOCTL_TRACE_GET_VERSION, {}, 0, DRIVER_IDENTITY_LENGTH + 1, &identity);
  EXPECT_EQ(whole.status, STATUS_SUCCESS);
  EXPECT_EQ(whole.information, DRIVER_IDENTITY_LENGTH + 1);
  // The stored values stayed within their limits throughout.
  std::vector<uint8_t> output;
  ASSERT_EQ(Send(IOCTL_TRACE_GET_FLAGS, {}, 0, 4, &output).status, STATUS_SUCCESS);
  EXPECT_EQ(output, Number(0xFFFFFACF));
  ASSERT_EQ(Send(IOCTL_TRACE_GET_B3BYTES, {}, 0, 4, &output).status, STATUS_SUCCESS);
  EXPECT_EQ(output, Number(32));
  ASSERT_EQ(Send(IOCTL_TRACE_GET_LOGLIMIT, {}, 0, 4, &output).status, STATUS_SUCCESS);
  EXPECT_EQ(output, Number(MAX_LOG_LIMIT_MB));
  ASSERT_EQ(Send(IOCTL_TRACE_GET_LOGKEEP, {}, 0, 4, &output).status, STATUS_SUCCESS);
  EXPECT_EQ(output, Number(MAX_LOG_KEEP));
  ASSERT_EQ(Send(IOCTL_TRACE_GET_USERMESSAGES, {}, 0, 4, &output).status, STATUS_SUCCESS);
  EXPECT_EQ(output, Number(1));
}

TEST_F(ControlInput, AStringStoredWithAShortOutputClaimsNoBytesPastIt) {
  // A string write answers with the string's length plus one; with an
  // output buffer shorter than that, the I/O manager would copy the
  // whole count into it.
  std::vector<uint8_t> output;
  emu::IoResult result = Send(IOCTL_TRACE_SET_LOG, Text("C:\\trace.log"), 13, 2, &output);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_LE(result.information, 2u);
  ASSERT_EQ(Send(IOCTL_TRACE_GET_LOG, {}, 0, 64, &output).status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(output.data())), "C:\\trace.log");
}

TEST_F(ControlInput, TheExclusiveOpenHoldsAgainstRacingOpeners) {
  // The fixture holds the one handle: every other open is refused, from
  // user mode and kernel mode alike.
  HANDLE other = nullptr;
  EXPECT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &other), STATUS_ACCESS_DENIED);
  EXPECT_EQ(emu::Open(u"\\Device\\PellinorIOCTL", KernelMode, &other), STATUS_ACCESS_DENIED);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  handle = nullptr;

  // Free again: of openers racing for it, exactly one wins each round.
  for (int round = 0; round < 20; ++round) {
    constexpr int kOpeners = 4;
    std::atomic<int> go{0};
    HANDLE handles[kOpeners] = {};
    NTSTATUS statuses[kOpeners] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kOpeners; ++i) {
      threads.emplace_back([&, i] {
        while (go.load() == 0) std::this_thread::yield();
        statuses[i] = emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handles[i]);
      });
    }
    go.store(1);
    for (std::thread& thread : threads) thread.join();
    int opened = 0;
    for (int i = 0; i < kOpeners; ++i) {
      if (statuses[i] == STATUS_SUCCESS) {
        ++opened;
        EXPECT_EQ(emu::Close(handles[i]), STATUS_SUCCESS);
      } else {
        EXPECT_EQ(statuses[i], STATUS_ACCESS_DENIED);
      }
    }
    EXPECT_EQ(opened, 1) << "round " << round;
  }
  ASSERT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle), STATUS_SUCCESS);
}

}  // namespace

// Shared pieces of the simulated provider's tests: a fixture that loads the
// provider and checks that unloading it leaves none of its pool, a check
// that a message decodes whole with the trace's decoder, and a filter
// driver to put above the provider.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Timers.h"
#include "sim/CapiDevice.h"
#include "sim/KernelApplication.h"
#include "sim/MessageBuilder.h"
#include "sim/SimPool.h"
#include "sim/UserApplication.h"
#include "tests/emu/IoTestDriver.h"

#include <ntddk.h>

namespace simtest {

class ProviderTest : public ::testing::Test {
 protected:
  void Load(const sim::CapiDeviceConfig& config = sim::CapiDeviceConfig()) {
    ASSERT_EQ(sim::LoadCapiDevice(config), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (sim::CapiDeviceLoaded())
      EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
    EXPECT_EQ(emu::Pool::Report(sim::kSimPoolTag).blocks, 0u);
    emu::Timers::SetManual(false);
    emu::Kernel::Quiesce();
  }
};

// Both kinds of application, for tests that run alike in either mode.
std::unique_ptr<sim::CapiApplication> MakeApplication(KPROCESSOR_MODE mode);

// The message is listed in the decoder's tables and its parameters take
// exactly its bytes, none cut short.
::testing::AssertionResult DecodesWhole(const std::vector<uint8_t>& message);

std::vector<std::string> Names(const std::vector<sim::ReceivedMessage>& messages);

std::vector<uint8_t> Bytes(sim::MessageBuilder& message);

// A filter above \Device\CAPI201 that passes everything down with a
// completion routine noting the IRQL and whether the request was pending.
class CompletionWatcher {
 public:
  CompletionWatcher();
  ~CompletionWatcher();
  struct Seen {
    KIRQL irql;
    bool pendingReturned;
    NTSTATUS status;
  };
  std::vector<Seen> Completions();

 private:
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);
  iotest::TestDriver driver_;
  PDEVICE_OBJECT filter_ = nullptr;
  PDEVICE_OBJECT below_ = nullptr;
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

}  // namespace simtest

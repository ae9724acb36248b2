// pellinorctl's core over the emulated back end against the real control
// device of the loaded driver: every command's output, exit status and
// failure text as a user sees them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "control/ControlDevice.h"
#include "control/TraceSettings.h"
#include "emu/Io.h"
#include "emu/Registry.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "sim/CapiDevice.h"
#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/ControlTool.h"
#include "tools/pellinorctl/EmulatedBackend.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class EmulatedControlTool : public ::testing::Test {
 protected:
  PDRIVER_OBJECT driver = nullptr;
  ControlDevice* own = nullptr;
  std::vector<std::string> stopped;

  void SetUp() override {
    emu::Registry::Clear();
    emu::Registry::ClearFaults();
    emu::Registry::SetDword(kService, u"Start", 3);
    Load();
  }
  void TearDown() override {
    emu::Registry::ClearFaults();
    Unload();
  }
  void Load() {
    ASSERT_EQ(emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver), STATUS_SUCCESS);
    // Until the driver's load builds the control device itself, build it here.
    if (emu::FindDevice(u"\\Device\\PellinorIOCTL") == nullptr) {
      ASSERT_EQ(CreateControlDevice(&own), STATUS_SUCCESS);
      own->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    }
  }
  void Unload() {
    DestroyControlDevice(own);
    own = nullptr;
    if (driver != nullptr) EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    driver = nullptr;
  }

  Outcome Run(const std::vector<std::string>& args) {
    pellinorctl::EmulatedBackend backend([this](const std::string& name) {
      if (driver == nullptr) return;
      stopped.push_back(name);
      Unload();
    });
    pellinorctl::ControlTool tool(backend);
    Outcome outcome;
    outcome.status = tool.Run(args, outcome.out, outcome.err);
    return outcome;
  }
};

TEST_F(EmulatedControlTool, ReadsAndWritesEverySetting) {
  Outcome o = Run({"show"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out,
            "state:    none\n"
            "flags:    0x00000003\n"
            "b3bytes:  32\n"
            "log:      C:\\Pellinor.log\n"
            "target:   CAPI201\n"
            "loglimit: 0\n"
            "logkeep:  1\n");
  EXPECT_EQ(o.err, "");

  o = Run({"set", "flags", "0xFFFFFFFF"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "flags: 0xFFFFFACF (0x00000530 dropped: no flags there)\n");
  o = Run({"set", "b3bytes", "1000"});
  EXPECT_EQ(o.out, "b3bytes: 32\n");
  o = Run({"set", "b3bytes", "0"});
  EXPECT_EQ(o.out, "b3bytes: 0\n");
  o = Run({"set", "log", "C:\\traces\\capi.log"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "");
  o = Run({"set", "target", "NRXCAPI"});
  EXPECT_EQ(o.status, 0);

  EXPECT_EQ(Run({"get", "flags"}).out, "0xFFFFFACF\n");
  EXPECT_EQ(Run({"get", "b3bytes"}).out, "0\n");
  EXPECT_EQ(Run({"get", "log"}).out, "C:\\traces\\capi.log\n");
  EXPECT_EQ(Run({"get", "target"}).out, "NRXCAPI\n");
  EXPECT_EQ(Run({"state"}).out, "none\n");

  // A value longer than the tool's first buffer is asked again.
  std::string longPath = "C:";
  for (int i = 0; i < 6; ++i) longPath += "\\" + std::string(250, 'd');
  longPath += "\\x.log";
  EXPECT_EQ(Run({"set", "log", longPath}).status, 0);
  EXPECT_EQ(Run({"get", "log"}).out, longPath + "\n");
}

TEST_F(EmulatedControlTool, FailuresPrintTheStatusAndExitWithOne) {
  // Nothing to trace in this machine: start and stop find no device.
  Outcome o = Run({"start"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "pellinorctl: start: the traced device \"CAPI201\" (\\Device\\CAPI201) does "
            "not exist (0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST)\n");
  o = Run({"stop", "--force"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "pellinorctl: stop --force: tracing is not started: nothing is attached "
            "(0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST)\n");

  emu::Registry::FailValue(u"Pellinor_Flags", STATUS_ACCESS_DENIED, emu::Registry::kWrite);
  o = Run({"set", "flags", "1"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "pellinorctl: set flags: 0xC0000022 STATUS_ACCESS_DENIED\n");

  // The device admits one handle at a time.
  HANDLE held = nullptr;
  ASSERT_EQ(emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &held), STATUS_SUCCESS);
  o = Run({"state"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "pellinorctl: cannot open \\\\.\\PellinorWin32CTL: only an administrator may "
            "control tracing, and one program at a time (Win32 error 0x00000005 "
            "ERROR_ACCESS_DENIED)\n");
  EXPECT_EQ(emu::Close(held), STATUS_SUCCESS);

  // Usage errors exit with 2 and never reach the device.
  o = Run({"set", "flags", "lots"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "pellinorctl: set flags: 'lots' is not a number\n"
                   "Try 'pellinorctl help' for the commands.\n");
  EXPECT_EQ(Run({"frobnicate"}).status, 2);
  EXPECT_EQ(Run({}).status, 2);
}

TEST_F(EmulatedControlTool, InstallAndUninstallKeepTheServiceKey) {
  // The fixture's key stands for an installed service.
  Outcome o = Run({"install"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "pellinorctl: install: Win32 error 0x00000431 ERROR_SERVICE_EXISTS\n");

  // Uninstall stops the loaded driver first, then removes the key.
  o = Run({"uninstall"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(stopped, std::vector<std::string>{"Pellinor"});
  EXPECT_FALSE(emu::Registry::KeyExists(kService));
  o = Run({"state"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err.rfind("pellinorctl: the driver is not installed", 0), 0u) << o.err;
  o = Run({"uninstall"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "pellinorctl: uninstall: Win32 error 0x00000424 ERROR_SERVICE_DOES_NOT_EXIST\n");

  o = Run({"install", "--start", "auto"});
  EXPECT_EQ(o.status, 0);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(emu::Registry::GetValue(kService, u"Start", &type, &data));
  EXPECT_EQ(data, (std::vector<uint8_t>{2, 0, 0, 0}));
  ASSERT_TRUE(emu::Registry::GetValue(kService, u"Type", &type, &data));
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
  ASSERT_TRUE(emu::Registry::GetValue(kService, u"ImagePath", &type, &data));
  EXPECT_EQ(type, uint32_t(REG_EXPAND_SZ));
  // No settings value: each takes its default.
  EXPECT_FALSE(emu::Registry::GetValue(kService, u"Pellinor_Flags", &type, &data));
  Run({"uninstall"});
  EXPECT_EQ(Run({"install"}).status, 0);
  ASSERT_TRUE(emu::Registry::GetValue(kService, u"Start", &type, &data));
  EXPECT_EQ(data, (std::vector<uint8_t>{3, 0, 0, 0}));
  EXPECT_EQ(stopped.size(), 1u);  // the driver was loaded only the first time
}

// The tool's copy of what the driver makes of its settings values.
static_assert(pellinorctl::kDefaultFlags == DEFAULT_TRACE_FLAGS, "default flags");
static_assert(pellinorctl::kFlagsKept == MaskFlagsValue(0xFFFFFFFF), "flags kept");
static_assert(pellinorctl::kDefaultB3Bytes == DEFAULT_MAX_DATA_B3_BYTES, "default b3bytes");
static_assert(pellinorctl::kMaxB3Bytes == MAX_DATA_B3_BYTES_LIMIT, "largest b3bytes");
static_assert(pellinorctl::kDefaultLogLimit == DEFAULT_LOG_LIMIT_MB, "default loglimit");
static_assert(pellinorctl::kMaxLogLimit == MAX_LOG_LIMIT_MB, "largest loglimit");
static_assert(pellinorctl::kDefaultLogKeep == DEFAULT_LOG_KEEP, "default logkeep");
static_assert(pellinorctl::kMaxLogKeep == MAX_LOG_KEEP, "largest logkeep");

std::u16string Wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

void SetText(const std::u16string& name, uint32_t type, const std::u16string& text) {
  std::u16string terminated = text + u'\0';
  emu::Registry::SetValue(kService, name, type, terminated.data(),
                          terminated.size() * sizeof(char16_t));
}

// show without the driver prints what the driver will read at its next
// start: the same settings show prints once it is loaded, from the same
// values, odd ones included.
TEST_F(EmulatedControlTool, ShowWithoutTheDriverReadsTheSettingsAsTheDriverDoes) {
  const uint8_t b3bytes[] = {0xE8, 0x03};  // 1000, as two binary bytes
  const std::vector<std::function<void()>> stores = {
      [] {},  // nothing stored: the defaults
      [&b3bytes] {
        emu::Registry::SetDword(kService, u"Pellinor_Flags", 0xFFFFFFFF);
        emu::Registry::SetValue(kService, u"Pellinor_B3Bytes", REG_BINARY, b3bytes, sizeof b3bytes);
        SetText(u"Pellinor_Log", REG_EXPAND_SZ, u"C:\\capi \u00E9\u263A.log");
        emu::Registry::SetValue(kService, u"Pellinor_Target", REG_NONE, nullptr, 0);
        emu::Registry::SetDword(kService, u"Pellinor_LogLimit", 5000);
        emu::Registry::SetDword(kService, u"Pellinor_LogKeep", 0);
      },
      [] {
        emu::Registry::SetValue(kService, u"Pellinor_Flags", REG_DWORD, nullptr, 0);
        SetText(u"Pellinor_Log", REG_SZ, u"");
        SetText(u"Pellinor_Target", REG_SZ, u"\\Device\\NRXCAPI");
        SetText(u"Pellinor_LogLimit", REG_SZ, u"7");
        emu::Registry::SetDword(kService, u"Pellinor_LogKeep", 12);
      },
  };
  for (size_t i = 0; i < stores.size(); ++i) {
    stores[i]();
    const Outcome loaded = Run({"show"});
    ASSERT_EQ(loaded.status, 0) << i << loaded.err;
    Unload();
    const Outcome stored = Run({"show"});
    EXPECT_EQ(stored.status, 0) << i << stored.err;
    EXPECT_EQ(stored.err, "") << i;
    const size_t line = stored.out.find('\n') + 1;
    EXPECT_EQ(stored.out.substr(0, line), "state:    not loaded ('sc start Pellinor' loads it)\n")
        << i;
    EXPECT_EQ(stored.out.substr(line), loaded.out.substr(loaded.out.find('\n') + 1)) << i;
    Load();
  }
  // Without the service there is nothing to show.
  Unload();
  emu::Registry::DeleteKey(kService);
  const Outcome none = Run({"show"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err.rfind("pellinorctl: the driver is not installed", 0), 0u) << none.err;
  emu::Registry::SetDword(kService, u"Start", 3);
  Load();
}

// Values the driver cannot open: refused when set, with the limit, and
// named with the limit when a hand-edited registry gives them to a start.
TEST_F(EmulatedControlTool, OverLongValuesSayTheLimit) {
  ASSERT_EQ(sim::LoadCapiDevice(), STATUS_SUCCESS);
  const std::string longName(256, 'n');
  Outcome o = Run({"set", "log", "C:\\" + longName + "\\x.log"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "pellinorctl: set log: the name \"" + longName.substr(0, 60) +
                       "...\" is 256 characters long, a file or folder name at most 255\n"
                       "Try 'pellinorctl help' for the commands.\n");
  uint32_t type = 0;
  std::vector<uint8_t> data;
  EXPECT_FALSE(emu::Registry::GetValue(kService, u"Pellinor_Log", &type, &data));
  o = Run({"set", "target", std::string(32759, 'T')});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err.substr(0, o.err.find('\n')),
            "pellinorctl: set target: the traced device's name is 32759 characters long, at most "
            "32758");

  SetText(u"Pellinor_Log", REG_SZ, Wide("C:\\" + longName + ".log"));
  o = Run({"start"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "pellinorctl: start: cannot create the log file \"C:\\" +
                       longName.substr(0, 57) + "...\": the name \"" + longName.substr(0, 60) +
                       "...\" is 260 characters long, a file or folder name at most 255 "
                       "(0xC0000033 STATUS_OBJECT_NAME_INVALID)\n");
  emu::Registry::DeleteValue(kService, u"Pellinor_Log");
  SetText(u"Pellinor_Target", REG_SZ, Wide(std::string(32760, 'T')));
  o = Run({"start"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "pellinorctl: start: the traced device's name is 32760 characters long, at most "
            "32758 (0xC000009A STATUS_INSUFFICIENT_RESOURCES)\n");
  EXPECT_EQ(sim::UnloadCapiDevice(), STATUS_SUCCESS);
}

}  // namespace

// pellinorctl's core over the emulated back end against the real control
// device of the loaded driver: every command's output, exit status and
// failure text as a user sees them.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "control/ControlDevice.h"
#include "control/DriverIdentity.h"
#include "emu/Io.h"
#include "emu/Registry.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"
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
            "loglimit: 0\n");
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
  const std::string longPath = "C:\\" + std::string(1500, 'd') + "\\x.log";
  EXPECT_EQ(Run({"set", "log", longPath}).status, 0);
  EXPECT_EQ(Run({"get", "log"}).out, longPath + "\n");
}

TEST_F(EmulatedControlTool, FailuresPrintTheStatusAndExitWithOne) {
  // Nothing to trace in this machine: start and stop find no device.
  Outcome o = Run({"start"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "pellinorctl: start: 0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST\n");
  o = Run({"stop"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "pellinorctl: stop: 0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST\n");
  o = Run({"stop", "--force"});
  EXPECT_EQ(o.err, "pellinorctl: stop --force: 0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST\n");

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
            "pellinorctl: cannot open \\\\.\\PellinorWin32CTL: Win32 error 0x00000005 "
            "ERROR_ACCESS_DENIED\n");
  EXPECT_EQ(emu::Close(held), STATUS_SUCCESS);

  // Usage errors exit with 2 and never reach the device.
  o = Run({"set", "flags", "lots"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "pellinorctl: set flags: 'lots' is not a number\n"
                   "Try 'pellinorctl help' for the commands.\n");
  EXPECT_EQ(Run({"frobnicate"}).status, 2);
  EXPECT_EQ(Run({}).status, 2);
}

// The loaded driver's own answer, the line its banner begins with; once it
// is unloaded the tool says so and still names itself.
TEST_F(EmulatedControlTool, VersionTellsTheLoadedDriverOrThatNoneIsLoaded) {
  Outcome o = Run({"--version"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  const std::string driverLine = o.out.substr(o.out.rfind('\n', o.out.size() - 2) + 1);
  EXPECT_EQ(driverLine, std::string("driver: ") + kDriverIdentity + "\n");
  EXPECT_TRUE(std::regex_match(driverLine, std::regex("driver: Pellinor CAPI 2\\.0 Kernel Trace Driver "
                                                      "v" PELLINOR_VERSION "  Build Date "
                                                      "\\d\\d:\\d\\d:\\d\\d [A-Z][a-z][a-z] [ 0-9]\\d \\d{4}\n")))
      << driverLine;
  EXPECT_EQ(o.out.rfind("pellinorctl (Pellinor) " PELLINOR_VERSION "\nbuild: ", 0), 0u) << o.out;

  Unload();
  o = Run({"--version"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.substr(o.out.rfind('\n', o.out.size() - 2) + 1), "driver: not loaded\n");
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
  EXPECT_EQ(o.err,
            "pellinorctl: cannot open \\\\.\\PellinorWin32CTL: Win32 error 0x00000002 "
            "ERROR_FILE_NOT_FOUND\n");
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

}  // namespace

// pellinorctl's core over the emulated back end against the real control
// device of the loaded driver: every command's output, exit status and
// failure text as a user sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "control/ControlDevice.h"
#include "control/DriverIdentity.h"
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


// The driver package's INF as setup reads it: sections of lines, comments
// and blank lines left out, fields split at commas outside quotes.
using InfSections = std::map<std::string, std::vector<std::string>>;

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

InfSections ReadInf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  InfSections sections;
  std::string line, section;
  while (std::getline(file, line)) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) {
        line.resize(i);
        break;
      }
    }
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      section = line.substr(1, line.find(']') - 1);
      sections[section];
    } else {
      sections[section].push_back(line);
    }
  }
  return sections;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.push_back("");
    } else {
      fields.back() += c;
    }
  }
  for (std::string& field : fields) field = Trim(field);
  return fields;
}

// "key = value" of a section, %strings% replaced.
std::string InfValue(const InfSections& inf, const std::string& section, const std::string& key) {
  for (const std::string& line : inf.at(section)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos || Trim(line.substr(0, equals)) != key) continue;
    std::string value = Trim(line.substr(equals + 1));
    if (value.size() > 2 && value.front() == '%' && value.back() == '%') {
      value = InfValue(inf, "Strings", value.substr(1, value.size() - 2));
    }
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  ADD_FAILURE() << "[" << section << "] has no " << key;
  return "";
}

// A registry value as text: a number in decimal, a string as it is.
using Values = std::map<std::string, std::string>;

// An add-registry section's values: name -> value; 98/Me's binary numbers
// (flags 1 and 3) are read little-endian, as the driver reads them.
Values AddRegValues(const InfSections& inf, const std::string& section) {
  Values values;
  for (const std::string& line : inf.at(section)) {
    std::vector<std::string> f = Fields(line);
    const unsigned long flags = f[3].empty() ? 0 : std::stoul(f[3], nullptr, 0);
    std::string value;
    if ((flags & 0x00010000) != 0) {
      value = std::to_string(std::stoul(f[4], nullptr, 0));
    } else if ((flags & 1) != 0) {
      uint32_t number = 0;
      for (size_t i = 4; i < f.size(); ++i) number |= uint32_t(std::stoul(f[i], nullptr, 16)) << (8 * (i - 4));
      value = std::to_string(number);
    } else {
      value = f[4];
      // "%name%" is a string of [Strings]; "%%" a percent sign itself.
      if (value.size() > 2 && value.front() == '%' && value.back() == '%' && value[1] != '%')
        value = InfValue(inf, "Strings", value.substr(1, value.size() - 2));
    }
    values[f[2]] = value;
  }
  return values;
}

// The service key as the emulated registry holds it, in the same form.
Values RegistryValues(const std::u16string& key, std::initializer_list<const char16_t*> names) {
  Values values;
  for (const char16_t* name : names) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!emu::Registry::GetValue(key, name, &type, &data)) continue;
    const std::string narrow(name, name + std::char_traits<char16_t>::length(name));
    if (type == REG_DWORD) {
      values[narrow] = std::to_string(uint32_t(data[0]) | uint32_t(data[1]) << 8 |
                                      uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24);
    } else {
      std::string text;
      for (size_t i = 0; i + 1 < data.size() && (data[i] || data[i + 1]); i += 2) text += char(data[i]);
      values[narrow] = text;
    }
  }
  return values;
}

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
            "logkeep:  1\n"
            "caller:   0\n"
            "user-messages: 0\n");
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
static_assert(pellinorctl::kDefaultCaller == DEFAULT_CALLER_IDS, "default caller");
static_assert(pellinorctl::kDefaultUserMessages == DEFAULT_USER_MESSAGES, "default user-messages");

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
        emu::Registry::SetDword(kService, u"Pellinor_Caller", 0x100);
        emu::Registry::SetDword(kService, u"Pellinor_UserMessages", 0x10000);
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

// The driver package writes the service key that "pellinorctl install"
// writes (through the service control manager on 2000/XP, by hand on 98/Me,
// where only the start type differs on purpose), and settings that are
// exactly the driver's defaults and those of pellinor-defaults.reg.
TEST_F(EmulatedControlTool, TheDriverPackageWritesWhatInstallWritesAndTheDefaults) {
  const InfSections inf = ReadInf(std::string(PELLINOR_SOURCE_DIR) + "/windows/pellinor.inf");
  emu::Registry::DeleteKey(kService);
  ASSERT_EQ(Run({"install"}).status, 0);
  const Values installed = RegistryValues(
      kService, {u"Type", u"Start", u"ErrorControl", u"ImagePath", u"DisplayName"});
  ASSERT_EQ(installed.size(), 5u);

  // The package carries the release the driver names itself by.
  const std::string driverVer = InfValue(inf, "Version", "DriverVer");
  EXPECT_EQ(driverVer.substr(driverVer.find(',') + 1), PELLINOR_VERSION ".0.0");
  ASSERT_EQ(inf.at("DefaultInstall.NT.Services").size(), 1u);
  const std::vector<std::string> addService = Fields(inf.at("DefaultInstall.NT.Services")[0]);
  EXPECT_EQ(addService[0], "AddService = " + std::string(pellinorctl::kServiceName));
  const std::string nt = addService[2];
  std::string binary = InfValue(inf, nt, "ServiceBinary");
  // %12% is %SystemRoot%\System32\drivers, which setup writes in the
  // kernel's form, as install does.
  ASSERT_EQ(binary.rfind("%12%\\", 0), 0u) << binary;
  binary.replace(0, 4, "\\SystemRoot\\System32\\drivers");
  const Values ntService = {{"Type", InfValue(inf, nt, "ServiceType")},
                            {"Start", InfValue(inf, nt, "StartType")},
                            {"ErrorControl", InfValue(inf, nt, "ErrorControl")},
                            {"ImagePath", binary},
                            {"DisplayName", InfValue(inf, nt, "DisplayName")}};
  EXPECT_EQ(ntService, installed);

  // The driver as an event source: the INF's event log section writes what
  // install wrote ("%%" is one "%" to setup), and uninstall removes it.
  const std::u16string source =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\Pellinor";
  const Values registered = RegistryValues(source, {u"EventMessageFile", u"TypesSupported"});
  ASSERT_EQ(registered.size(), 2u);
  ASSERT_GE(addService.size(), 4u);
  Values eventLog;
  for (const std::string& line : inf.at(addService[3])) {
    if (line.rfind("AddReg", 0) == 0)
      eventLog = AddRegValues(inf, Trim(line.substr(line.find('=') + 1)));
  }
  eventLog["EventMessageFile"] =
      std::regex_replace(eventLog["EventMessageFile"], std::regex("%%"), "%");
  EXPECT_EQ(eventLog, registered);

  Values service98 = AddRegValues(inf, "Pellinor.Service.98");
  // No service manager could start a demand-start driver there: it loads at
  // system start, not tracing, as after "pellinorctl stop".
  EXPECT_EQ(service98["Start"], "1");
  service98["Start"] = installed.at("Start");
  // The image path there is relative to the Windows folder, the one form
  // the 98/Me loader is known to take; it names the same file.
  EXPECT_EQ("\\SystemRoot\\" + service98["ImagePath"], installed.at("ImagePath"));
  service98["ImagePath"] = installed.at("ImagePath");
  EXPECT_EQ(service98, installed);
  for (const std::string& line : inf.at("Pellinor.Service.98")) {
    EXPECT_EQ(Fields(line)[1], "System\\CurrentControlSet\\Services\\" +
                                   std::string(pellinorctl::kServiceName)) << line;
  }

  // The same settings for both families and in pellinor-defaults.reg.
  std::string settingsSection;
  for (const std::string& line : inf.at(nt)) {
    if (line.rfind("AddReg", 0) == 0) settingsSection = Trim(line.substr(line.find('=') + 1));
  }
  const Values settings = AddRegValues(inf, settingsSection);
  EXPECT_EQ(AddRegValues(inf, "Pellinor.Settings.98"), settings);
  Values reg;
  std::ifstream regFile(std::string(PELLINOR_SOURCE_DIR) + "/windows/pellinor-defaults.reg");
  std::string line;
  const std::regex dword("\"(\\w+)\"=dword:([0-9a-fA-F]{8})\r?"), text("\"(\\w+)\"=\"(.*)\"\r?");
  std::smatch m;
  while (std::getline(regFile, line)) {
    if (std::regex_match(line, m, dword)) reg[m[1]] = std::to_string(std::stoul(m[2], nullptr, 16));
    if (std::regex_match(line, m, text)) reg[m[1]] = std::regex_replace(m[2].str(), std::regex("\\\\\\\\"), "\\");
  }
  EXPECT_EQ(reg, settings);
  // Every setting the driver reads is there.
  for (const wchar_t* name : {FLAGS_VALUE_NAME, B3_BYTES_VALUE_NAME, LOG_VALUE_NAME,
                              TARGET_VALUE_NAME, LOG_LIMIT_VALUE_NAME, LOG_KEEP_VALUE_NAME,
                              CALLER_VALUE_NAME, USER_MESSAGES_VALUE_NAME}) {
    const std::string narrow(name, name + wcslen(name));
    EXPECT_EQ(settings.count(narrow), 1u) << narrow;
  }

  // Written into the service key, they are what the driver takes without
  // them: its defaults.
  const std::string defaults = Run({"show"}).out;
  for (const auto& [name, value] : settings) {
    const std::u16string wide(name.begin(), name.end());
    if (!value.empty() && std::all_of(value.begin(), value.end(), ::isdigit)) {
      emu::Registry::SetDword(kService, wide, uint32_t(std::stoul(value)));
    } else {
      std::u16string wideValue(value.begin(), value.end());
      emu::Registry::SetString(kService, wide, wideValue);
    }
  }
  EXPECT_EQ(Run({"show"}).out, defaults);

  EXPECT_EQ(Run({"uninstall"}).status, 0);
  EXPECT_FALSE(emu::Registry::KeyExists(source));
}

}  // namespace

// The settings word from the registry and its "Settings:" text.
#include <gtest/gtest.h>

#include <string>

#include <ntddk.h>

#include "control/TraceSettings.h"
#include "emu/Registry.h"
#include "framework/RegistryValue.h"
#include "framework/SystemRoutines.h"

namespace {

const WCHAR kService[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";
const std::u16string kService16 =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Registry::Clear();
    emu::Registry::ClearFaults();
    emu::Registry::CreateKey(kService16);
    RtlInitUnicodeString(&path, kService);
    SetServiceKeyPath(&path);
  }
  void TearDown() override {
    SetServiceKeyPath(nullptr);
    emu::Registry::ClearFaults();
  }
  // The settings word, the read expected to succeed.
  static TraceSettings Loaded() {
    TraceSettings settings = 0xDEADBEEF;
    EXPECT_EQ(LoadTraceSettings(&settings), STATUS_SUCCESS);
    return settings;
  }
  static ULONG Limit() {
    ULONG limit = 0xDEADBEEF;
    EXPECT_EQ(LoadLogLimit(&limit), STATUS_SUCCESS);
    return limit;
  }
  static std::string Text(TraceSettings settings) {
    char text[SETTINGS_TEXT_SIZE];
    ULONG n = DescribeSettings(settings, text);
    EXPECT_EQ(n, strlen(text));
    return text;
  }
  UNICODE_STRING path;
};

TEST_F(Settings, DefaultsWithoutValues) {
  TraceSettings settings = Loaded();
  EXPECT_EQ(settings, 0x00200003u);
  EXPECT_EQ(Text(settings),
            "Settings:\n"
            "  CAPI functions: YES\n"
            "  CAPI messages:  YES\n"
            "  MaxDataB3Bytes: 32\n"
            "  CAPI ManuMessages:   YES\n"
            "  UserMode Appls: YES\n");
}

// The caller ids and the user messages come from their own values alone,
// and only where the system gives what they need (not on Windows 98/Me,
// which give the driver no lookup of the ids, no current thread and no
// bound of user memory).
TEST_F(Settings, CallerIdsAndUserMessagesOnlyFromTheirValuesAndWhereTheSystemHasThem) {
  emu::Registry::SetDword(kService16, u"Pellinor_Caller", 1);
  emu::Registry::SetDword(kService16, u"Pellinor_UserMessages", 0x100);
  SystemRoutines::Forget();
  EXPECT_EQ(Loaded(), 0x00200003u);
  SystemRoutines::Resolve();
  ASSERT_TRUE(SystemRoutines::HasCallerIds());
  ASSERT_TRUE(SystemRoutines::CanCopyUserMemory());
  TraceSettings settings = Loaded();
  EXPECT_EQ(settings, 0x00200003u | TRACE_CALLER_IDS | TRACE_USER_MESSAGES);
  EXPECT_EQ(MaxDataB3Bytes(settings), 32u);
  // The longest text there is: every line with YES.
  const std::string text = Text(settings);
  EXPECT_EQ(text.substr(text.size() - 45),
            "\n  Caller ids:     YES\n  User messages:  YES\n");
  EXPECT_EQ(text.size(), 168u);
  emu::Registry::SetDword(kService16, u"Pellinor_UserMessages", 0);
  EXPECT_EQ(Loaded(), 0x00200003u | TRACE_CALLER_IDS);
  emu::Registry::DeleteValue(kService16, u"Pellinor_UserMessages");
  EXPECT_EQ(Loaded(), 0x00200003u | TRACE_CALLER_IDS);
  emu::Registry::SetDword(kService16, u"Pellinor_UserMessages", 1);
  emu::Registry::SetDword(kService16, u"Pellinor_Caller", 0);
  settings = Loaded();
  EXPECT_EQ(settings, 0x00200003u | TRACE_USER_MESSAGES);
  EXPECT_EQ(Text(settings).substr(Text(settings).size() - 44),
            "  UserMode Appls: YES\n  User messages:  YES\n");
  emu::Registry::SetDword(kService16, u"Pellinor_UserMessages", 0);
  emu::Registry::SetDword(kService16, u"Pellinor_Flags", 0x0403);
  EXPECT_EQ(Loaded(), 0x00200003u);
  SystemRoutines::Forget();
}

TEST_F(Settings, FlagsAreMaskedAndTheirUpperBitsDropped) {
  emu::Registry::SetDword(kService16, u"Pellinor_Flags", 0xFFFFFFFF);
  TraceSettings settings = Loaded();
  EXPECT_EQ(SettingsFlags(settings), 0xFACFu);
  EXPECT_EQ(settings & (TRACE_DETAILS | TRACE_ALL_REQUESTS | TRACE_NO_TIMESTAMP), 0u);
  EXPECT_EQ(settings >> 16, 32u);  // nothing of the flags' upper half
  EXPECT_EQ(MaxDataB3Bytes(settings), 32u);
  EXPECT_EQ(Text(settings),
            "Settings:\n"
            "  CAPI functions: YES\n"
            "  CAPI messages:  YES\n"
            "  MaxDataB3Bytes: 32\n"
            "  CAPI ManuMessages:   NO\n"
            "  UserMode Appls: NO\n");
  emu::Registry::SetDword(kService16, u"Pellinor_Flags", 0x00010203);
  EXPECT_EQ(Loaded(), 0x00200203u);
  EXPECT_EQ(MaskFlagsValue(0xFFFFFFFF), 0xFFFFFACFu);
}

TEST_F(Settings, B3BytesLimits) {
  emu::Registry::SetDword(kService16, u"Pellinor_B3Bytes", 0);
  EXPECT_EQ(Loaded(), 0x00000003u);
  EXPECT_NE(Text(Loaded()).find("  MaxDataB3Bytes: 0\n"), std::string::npos);
  emu::Registry::SetDword(kService16, u"Pellinor_B3Bytes", 100000);
  EXPECT_EQ(MaxDataB3Bytes(Loaded()), 32u);
  emu::Registry::SetDword(kService16, u"Pellinor_B3Bytes", 0x80000000);  // compared unsigned
  EXPECT_EQ(MaxDataB3Bytes(Loaded()), 32u);
  emu::Registry::SetDword(kService16, u"Pellinor_B3Bytes", 17);
  EXPECT_EQ(MaxDataB3Bytes(Loaded()), 17u);
}

// A missing or empty value takes its default; one that is there but cannot
// be read fails the read, so that no start goes ahead with a default in
// place of what is stored.
TEST_F(Settings, EmptyReadsGiveTheDefaultsAndFailedReadsFail) {
  emu::Registry::SetDword(kService16, u"Pellinor_Flags", 0);
  emu::Registry::SetDword(kService16, u"Pellinor_B3Bytes", 4);
  emu::Registry::FailValue(u"Pellinor_Flags", STATUS_ACCESS_DENIED, emu::Registry::kRead);
  TraceSettings settings = 0x12345678;
  EXPECT_EQ(LoadTraceSettings(&settings), STATUS_ACCESS_DENIED);
  EXPECT_EQ(settings, 0x12345678u);
  emu::Registry::ClearFaults();
  emu::Registry::FailValue(u"Pellinor_B3Bytes", STATUS_INSUFFICIENT_RESOURCES,
                           emu::Registry::kRead);
  EXPECT_EQ(LoadTraceSettings(&settings), STATUS_INSUFFICIENT_RESOURCES);
  emu::Registry::ClearFaults();
  emu::Registry::SetDword(kService16, u"Pellinor_UserMessages", 1);
  emu::Registry::FailValue(u"Pellinor_UserMessages", STATUS_ACCESS_DENIED, emu::Registry::kRead);
  EXPECT_EQ(LoadTraceSettings(&settings), STATUS_ACCESS_DENIED);
  EXPECT_EQ(settings, 0x12345678u);
  emu::Registry::ClearFaults();
  emu::Registry::DeleteValue(kService16, u"Pellinor_UserMessages");
  EXPECT_EQ(Loaded(), 0x00040000u);
  emu::Registry::SetValue(kService16, u"Pellinor_B3Bytes", REG_NONE, nullptr, 0);
  EXPECT_EQ(Loaded(), 0x00200000u);
  const unsigned char one = 0x01;  // shorter than a number: its byte, then zeros
  emu::Registry::SetValue(kService16, u"Pellinor_Flags", REG_BINARY, &one, 1);
  EXPECT_EQ(Loaded(), 0x00200001u);
}

}  // namespace

namespace {

// Pellinor_LogLimit: megabytes, 0 or missing is no limit,
// and no value reads as more than 4095 (the largest that fits 32 bits of
// bytes).
TEST_F(Settings, LogLimitInMegabytes) {
  EXPECT_EQ(Limit(), 0u);
  for (ULONG value : {0u, 1u, 4095u}) {
    emu::Registry::SetDword(kService16, u"Pellinor_LogLimit", value);
    EXPECT_EQ(Limit(), value);
  }
  for (ULONG value : {4096u, 100000u, 0xFFFFFFFFu}) {
    emu::Registry::SetDword(kService16, u"Pellinor_LogLimit", value);
    EXPECT_EQ(Limit(), 4095u) << value;
  }
  emu::Registry::FailValue(u"Pellinor_LogLimit", STATUS_ACCESS_DENIED, emu::Registry::kRead);
  ULONG limit = 7;
  EXPECT_EQ(LoadLogLimit(&limit), STATUS_ACCESS_DENIED);
  emu::Registry::ClearFaults();
  // The limit is apart from the settings word: it changes nothing there.
  EXPECT_EQ(Loaded(), 0x00200003u);
}

}  // namespace

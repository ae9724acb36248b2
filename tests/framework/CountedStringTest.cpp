// CountedString and RegistryValue.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "emu/Pool.h"
#include "emu/Registry.h"
#include "framework/CountedString.h"
#include "framework/Pool.h"
#include "framework/RegistryValue.h"

namespace {

TEST(CountedString, AppendsBuildAnExactTerminatedText) {
  CountedString s;
  EXPECT_EQ(s.Text(), nullptr);
  s.Append(L"\\Device\\");
  s.Append(L"CAPI201");
  EXPECT_EQ(s.Status(), STATUS_SUCCESS);
  EXPECT_EQ(s.Length(), 30);
  EXPECT_EQ(s.MaximumLength(), 32);
  EXPECT_EQ(s.Text()[15], 0);
  EXPECT_EQ(s.Unicode()->Length, 30);
  EXPECT_EQ(s.Unicode()->Buffer, s.Text());
  UNICODE_STRING expected;
  RtlInitUnicodeString(&expected, L"\\Device\\CAPI201");
  EXPECT_TRUE(RtlEqualUnicodeString(s.Unicode(), &expected, FALSE));
  // Appending the string to itself reads the old text before it is freed.
  CountedString twice(L"ab");
  twice.Append(twice.Text());
  EXPECT_EQ(twice.Length(), 8);
  EXPECT_EQ(twice.Text()[3], L'b');
}

TEST(CountedString, FailedAppendIsStickyUntilClear) {
  CountedString s(L"abc");
  emu::PoolFault fault;
  fault.tag = POOL_TAG;
  fault.poolType = PagedPool;
  emu::Pool::InjectFault(fault);
  s.Append(L"def");
  emu::Pool::ClearFaults();
  EXPECT_EQ(s.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(s.Text(), nullptr);
  s.Append(L"x");
  EXPECT_EQ(s.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(s.Length(), 0);
  s.Clear();
  EXPECT_EQ(s.Status(), STATUS_SUCCESS);
  s.Assign(L"ok");
  EXPECT_EQ(s.Length(), 4);
}

TEST(CountedString, TextTooLongForACountedStringFails) {
  static WCHAR big[0x8000];
  for (auto& c : big) c = L'a';
  big[0x7FFF] = 0;
  CountedString s;
  s.Append(big);  // 0xFFFE bytes: no room for the NUL in 16 bits
  EXPECT_EQ(s.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(s.Length(), 0);
}

TEST(CountedString, AssignFromACountedStringCopiesItsLengthOnly) {
  WCHAR text[] = L"abcdef";
  UNICODE_STRING u;
  u.Buffer = text;
  u.Length = 4;
  u.MaximumLength = 4;
  CountedString s(L"old");
  s.Assign(&u);
  EXPECT_EQ(s.Length(), 4);
  EXPECT_EQ(s.Text()[2], 0);
  s.AppendBytes(L"xyz", 3);  // half a character is dropped
  EXPECT_EQ(s.Length(), 6);
  EXPECT_EQ(s.Text()[2], L'x');
  EXPECT_EQ(s.Text()[3], 0);
}

const WCHAR kService[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";
const std::u16string kService16 =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

class RegistryValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Registry::Clear();
    RtlInitUnicodeString(&path, kService);
    SetServiceKeyPath(&path);
  }
  void TearDown() override { SetServiceKeyPath(nullptr); }
  UNICODE_STRING path;
};

TEST_F(RegistryValueTest, MissingValueFailsAndLeavesNoData) {
  RegistryValue value;
  value.SetKey(nullptr);
  EXPECT_EQ(value.Query(L"Start"), STATUS_OBJECT_NAME_NOT_FOUND);  // the key is missing too
  emu::Registry::CreateKey(kService16);
  EXPECT_EQ(value.Query(L"Start"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value.ValueLength(), 0u);
  EXPECT_EQ(value.DwordValue(), 0u);
  EXPECT_EQ(value.StringValue()[0], 0);
}

TEST_F(RegistryValueTest, WritesAndReadsBack) {
  emu::Registry::CreateKey(kService16);
  RegistryValue value;
  value.SetKey(nullptr);
  EXPECT_EQ(value.WriteString(L"Pellinor_Target", L"CAPI201"), STATUS_SUCCESS);
  EXPECT_EQ(value.WriteDword(L"Start", 2), STATUS_SUCCESS);
  uint32_t type;
  std::vector<uint8_t> data;
  ASSERT_TRUE(emu::Registry::GetValue(kService16, u"Pellinor_Target", &type, &data));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(data.size(), 16u);
  EXPECT_EQ(value.Query(L"Start"), STATUS_SUCCESS);
  EXPECT_EQ(value.ValueType(), ULONG(REG_DWORD));
  EXPECT_EQ(value.DwordValue(), 2u);
  EXPECT_EQ(value.Query(L"Pellinor_Target"), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.StringValue())), u"CAPI201");
}

TEST_F(RegistryValueTest, ShortEmptyAndUnterminatedValues) {
  const uint8_t five = 5;
  emu::Registry::SetValue(kService16, u"Short", REG_BINARY, &five, 1);
  emu::Registry::SetValue(kService16, u"None", REG_NONE, nullptr, 0);
  emu::Registry::SetValue(kService16, u"Empty", REG_DWORD, nullptr, 0);
  emu::Registry::SetValue(kService16, u"Open", REG_SZ, u"abc", 5);  // 2.5 characters, no NUL
  RegistryValue value;
  value.SetKey(nullptr);
  ASSERT_EQ(value.Query(L"Short"), STATUS_SUCCESS);
  EXPECT_EQ(value.DwordValue(), 5u);
  EXPECT_EQ(value.Query(L"None"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value.Query(L"Empty"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value.DwordValue(), 0u);
  ASSERT_EQ(value.Query(L"Open"), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.StringValue())),
            std::u16string(u"ab") + char16_t(u'c' & 0xFF));
}

TEST_F(RegistryValueTest, CopyFailureAndKeyFailureAreReported) {
  emu::Registry::SetDword(kService16, u"Start", 3);
  RegistryValue value;
  value.SetKey(nullptr);
  emu::PoolFault fault;
  fault.tag = POOL_TAG;
  fault.poolType = NonPagedPool;
  emu::Pool::InjectFault(fault);
  EXPECT_EQ(value.Query(L"Start"), STATUS_INSUFFICIENT_RESOURCES);
  emu::Pool::ClearFaults();
  // Without a service key path nothing reaches the registry.
  SetServiceKeyPath(nullptr);
  value.SetKey(nullptr);
  EXPECT_EQ(value.Query(L"Start"), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(value.WriteDword(L"Start", 1), STATUS_OBJECT_PATH_NOT_FOUND);
  // A key path that could not be built reports its status.
  SetServiceKeyPath(&path);
  fault.poolType = PagedPool;
  emu::Pool::InjectFault(fault);
  value.SetKey(L"Sub");
  emu::Pool::ClearFaults();
  EXPECT_EQ(value.Query(L"Start"), STATUS_INSUFFICIENT_RESOURCES);
  value.SetKey(L"Sub");
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.KeyPath())),
            kService16 + u"\\Sub");
}

}  // namespace

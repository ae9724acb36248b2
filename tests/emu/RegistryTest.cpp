// The emulated registry: the query and write services and the text file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <ntddk.h>

#include "emu/Registry.h"

namespace {

const WCHAR kKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RegTest";
const std::u16string kKey16 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RegTest";

struct Seen {
  std::vector<std::string> calls;
  NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                      PVOID entryContext) {
  auto* seen = static_cast<Seen*>(context);
  std::string line;
  for (PWSTR c = name; *c != 0; ++c) line += char(*c);
  line += " type " + std::to_string(type) + " length " + std::to_string(length) + " first " +
          std::to_string(data ? *static_cast<unsigned char*>(data) : 999u) +
          (entryContext ? " with entry context" : "");
  seen->calls.push_back(line);
  return seen->answer;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Registry::Clear();
    emu::Registry::ClearFaults();
    emu::Registry::SetDword(kKey16, u"Number", 0x11223344);
    emu::Registry::SetString(kKey16, u"Text", u"CAPI201");
    emu::Registry::SetValue(kKey16, u"Expand", REG_EXPAND_SZ, u"%X%", 8);
  }
  NTSTATUS Query(const WCHAR* name, ULONG flags, Seen* seen) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Record;
    table[0].Flags = flags;
    table[0].Name = name;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, seen, nullptr);
  }
};

TEST_F(Registry, QueryRoutineReceivesTheValue) {
  Seen seen;
  EXPECT_EQ(Query(L"number", RTL_QUERY_REGISTRY_REQUIRED, &seen), STATUS_SUCCESS);  // any case
  ASSERT_EQ(seen.calls.size(), 1u);
  EXPECT_EQ(seen.calls[0], "number type 4 length 4 first 68");
}

TEST_F(Registry, MissingValuesAndKeys) {
  Seen seen;
  EXPECT_EQ(Query(L"Nothing", RTL_QUERY_REGISTRY_REQUIRED, &seen), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query(L"Nothing", 0, &seen), STATUS_SUCCESS);  // not required: skipped
  EXPECT_TRUE(seen.calls.empty());
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].QueryRoutine = Record;
  table[0].Name = L"Number";
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Nope", table,
                                   &seen, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"RegTest", table, &seen, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(seen.calls.size(), 1u);
}

TEST_F(Registry, QueryRoutineStatusIsPassedThrough) {
  Seen seen;
  seen.answer = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(Query(L"Text", RTL_QUERY_REGISTRY_REQUIRED, &seen), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(Registry, ExpandStringsUnlessNoexpand) {
  Seen seen;
  Query(L"Expand", RTL_QUERY_REGISTRY_NOEXPAND, &seen);
  Query(L"Expand", 0, &seen);
  ASSERT_EQ(seen.calls.size(), 2u);
  EXPECT_EQ(seen.calls[0], "Expand type 2 length 8 first 37");
  EXPECT_EQ(seen.calls[1], "Expand type 1 length 8 first 37");
}

TEST_F(Registry, DirectEntriesAndDefaults) {
  ULONG number = 0;
  ULONG fallback = 0;
  ULONG deflt = 7;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = L"Number";
  table[0].EntryContext = &number;
  table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[1].Name = L"Missing";
  table[1].EntryContext = &fallback;
  table[1].DefaultType = REG_DWORD;
  table[1].DefaultData = &deflt;
  table[1].DefaultLength = 4;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(number, 0x11223344u);
  EXPECT_EQ(fallback, 7u);
}

TEST_F(Registry, WriteCreatesTheKeyButNotTheKeysAboveIt) {
  ULONG v = 2;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                  L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\New",
                                  L"Start", REG_DWORD, &v, 4),
            STATUS_SUCCESS);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(emu::Registry::GetValue(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\New", u"Start", &type, &data));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{2, 0, 0, 0}));
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\A\\B", L"X",
                                  REG_DWORD, &v, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(emu::Registry::KeyExists(u"\\Registry\\Machine\\A"));
}

TEST_F(Registry, FaultsFailTheNamedValueOnly) {
  emu::Registry::FailValue(u"Text", STATUS_ACCESS_DENIED, emu::Registry::kRead, 1);
  emu::Registry::FailValue(u"Number", STATUS_REGISTRY_IO_FAILED, emu::Registry::kWrite);
  Seen seen;
  EXPECT_EQ(Query(L"Text", RTL_QUERY_REGISTRY_REQUIRED, &seen), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Query(L"Text", RTL_QUERY_REGISTRY_REQUIRED, &seen), STATUS_SUCCESS);  // once only
  EXPECT_EQ(Query(L"Number", RTL_QUERY_REGISTRY_REQUIRED, &seen), STATUS_SUCCESS);
  ULONG v = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKey, L"Number", REG_DWORD, &v, 4),
            STATUS_REGISTRY_IO_FAILED);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKey, L"Text", REG_DWORD, &v, 4),
            STATUS_SUCCESS);
}

TEST_F(Registry, TextFileRoundTrip) {
  const uint8_t odd[] = {5, 0, 0xFF};
  emu::Registry::SetValue(kKey16, u"Binary", REG_BINARY, odd, 3);
  emu::Registry::SetString(kKey16, u"Quoted", u"C:\\a \"b\"\x00e9");
  emu::Registry::SetValue(kKey16, u"Empty", REG_NONE, nullptr, 0);
  std::string text = emu::Registry::SaveText();
  EXPECT_NE(text.find("[\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RegTest]\n"
                      "\"Number\"=dword:11223344\n"
                      "\"Text\"=sz:\"CAPI201\"\n"
                      "\"Expand\"=expand_sz:\"%X%\"\n"
                      "\"Binary\"=hex(3):05,00,ff\n"
                      "\"Quoted\"=sz:\"C:\\\\a \\\"b\\\"\\u00E9\"\n"
                      "\"Empty\"=hex(0):\n"),
            std::string::npos)
      << text;
  std::string path = ::testing::TempDir() + "registry-roundtrip.txt";
  ASSERT_TRUE(emu::Registry::Save(path));
  emu::Registry::Clear();
  EXPECT_FALSE(emu::Registry::KeyExists(kKey16));
  std::string error;
  ASSERT_TRUE(emu::Registry::Load(path, &error)) << error;
  EXPECT_EQ(emu::Registry::SaveText(), text);
  std::remove(path.c_str());

  EXPECT_FALSE(emu::Registry::LoadText("[\\Registry\\X]\n\"a\"=dword:zz\n", &error));
  EXPECT_EQ(error, "line 2: cannot read \"\"a\"=dword:zz\"");
  EXPECT_EQ(emu::Registry::SaveText(), text);  // a failed load changes nothing
}

}  // namespace

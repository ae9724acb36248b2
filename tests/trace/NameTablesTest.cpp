#include "trace/NameTables.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(NtStatusName, EdgeCases) {
  EXPECT_STREQ(ntStatusName(0), "STATUS_SUCCESS");
  EXPECT_STREQ(ntStatusName(0x00000103), "STATUS_PENDING");
  EXPECT_STREQ(ntStatusName(0xC0000008), "STATUS_INVALID_HANDLE");
  EXPECT_STREQ(ntStatusName(0xC0009898), "STATUS_WOW_ASSERTION");
  EXPECT_STREQ(ntStatusName(0xC0009899), "STATUS_???");
  EXPECT_STREQ(ntStatusName(0xFFFFFFFF), "STATUS_???");
  EXPECT_STREQ(ntStatusName(0x80000011), "STATUS_DEVICE_BUSY");
  EXPECT_STREQ(ntStatusName(0xC0000274), "STATUS_INVALID_VLM_OPERATION");
  EXPECT_STREQ(ntStatusName(0xC0000023), "STATUS_BUFFER_TOO_SMALL");
  EXPECT_STREQ(ntStatusName(0x00000118), "STATUS_REPARSE_OBJECT");
  EXPECT_STREQ(ntStatusName(0x40000025), "STATUS_TIMER_RESUME_IGNORED");
  EXPECT_STREQ(ntStatusName(0x80000026), "STATUS_LONGJUMP");
  EXPECT_STREQ(ntStatusName(0x00000004), "STATUS_???");
}

TEST(NtStatusTable, RowsPerClassOrderAndSentinel) {
  int success = 0, informational = 0, warning = 0, error = 0;
  std::set<std::string> names;
  for (size_t i = 0; i + 1 < kNtStatusRows; ++i) {
    uint32_t code = NtStatusTable[i].code;
    if (i > 0)
      EXPECT_LT(NtStatusTable[i - 1].code, code) << NtStatusTable[i].name;
    EXPECT_EQ(code & 0x0FFF0000u, 0u) << NtStatusTable[i].name;  // facility 0
    EXPECT_EQ(std::string(NtStatusTable[i].name).rfind("STATUS_", 0), 0u);
    names.insert(NtStatusTable[i].name);
    switch (code >> 30) {
      case 0:
        ++success;
        break;
      case 1:
        ++informational;
        break;
      case 2:
        ++warning;
        break;
      default:
        ++error;
        break;
    }
    // The scan finds every row by its own code.
    EXPECT_STREQ(ntStatusName(code), NtStatusTable[i].name);
  }
  EXPECT_EQ(success, 32);
  EXPECT_EQ(informational, 38);
  EXPECT_EQ(warning, 35);
  EXPECT_EQ(error, 516);
  EXPECT_EQ(names.size(), 621u);
  EXPECT_EQ(NtStatusTable[kNtStatusRows - 1].code, 0xFFFFFFFFu);
  EXPECT_STREQ(NtStatusTable[kNtStatusRows - 1].name, "STATUS_???");
  EXPECT_STREQ(NtStatusTable[0].name, "STATUS_SUCCESS");
  EXPECT_STREQ(NtStatusTable[32].name, "STATUS_OBJECT_NAME_EXISTS");
  EXPECT_STREQ(NtStatusTable[70].name, "STATUS_GUARD_PAGE_VIOLATION");
  EXPECT_STREQ(NtStatusTable[105].name, "STATUS_UNSUCCESSFUL");
}

TEST(NameTables, MajorFunctionsAndCapiIoctls) {
  EXPECT_STREQ(majorName(0x03), "MJ_READ");
  EXPECT_STREQ(majorName(0x04), "MJ_WRITE");
  EXPECT_STREQ(majorName(0x0E), "MJ_DEVICE_CONTROL");
  EXPECT_STREQ(majorName(0x0F), "MJ_INTL_DEVICE_CONTROL");
  EXPECT_STREQ(majorName(0x00), "MJ_???");

  const char* names[] = {"CAPI_REGISTER",    "CAPI_RELEASE",          "CAPI_PUT_MESSAGE",
                         "CAPI_GET_MESSAGE", "CAPI_GET_MANUFACTURER", "CAPI_GET_VERSION",
                         "CAPI_GET_SERIAL",  "CAPI_GET_PROFILE",      "CAPI_MANUFACTURER"};
  for (uint32_t function = 0x801; function <= 0x809; ++function) {
    uint32_t code = 0x80010000u | function << 2;  // device 0x8001, buffered, any access
    EXPECT_TRUE(isCapiIoctl(code));
    EXPECT_STREQ(capiIoctlName(code), names[function - 0x801]);
  }
  EXPECT_EQ(CAPI_GET_MESSAGE, 0x80012010u);
  EXPECT_FALSE(isCapiIoctl(0x80012000));
  EXPECT_FALSE(isCapiIoctl(0x80012028));
  EXPECT_STREQ(capiIoctlName(0x80012028), "CAPI_???");
}

}  // namespace

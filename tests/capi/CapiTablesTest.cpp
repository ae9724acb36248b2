#include "capi/CapiTables.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CapiMessageIndex, RowsAndFoldedCommands) {
  EXPECT_EQ(CapiMessageIndex(0x86, 0x82), 51u);
  EXPECT_EQ(CapiMessageIndex(0xFF, 0x83), 78u);
  EXPECT_EQ(CapiMessageIndex(0xFF, 0x80), 24u);
  EXPECT_EQ(CapiMessageIndex(0x41, 0x81), 28u);
  EXPECT_EQ(CapiMessageIndex(0x03, 0x80), 3u);
  // Only the two low bits of the subcommand count.
  EXPECT_EQ(CapiMessageIndex(0x02, 0x00), CapiMessageIndex(0x02, 0x80));
  EXPECT_EQ(CapiMessageIndex(0x02, 0x03), CapiMessageIndex(0x02, 0x83));
  // Other commands fold onto MANUFACTURER_REQ's index.
  EXPECT_EQ(CapiMessageIndex(0x06, 0x81), 24u);
  EXPECT_EQ(CapiMessageIndex(0x8F, 0x80), 24u);
  // Commands 0x10 to 0x7F other than 0x41 keep their value.
  EXPECT_EQ(CapiMessageIndex(0x10, 0x80), 0x10u);
  EXPECT_EQ(CapiMessageIndex(0x7F, 0x83), 0x7Fu + 54u);
}

TEST(CapiMessageTable, LookupByIndex) {
  ASSERT_NE(CapiMessageLookup(51), nullptr);
  EXPECT_STREQ(CapiMessageLookup(51)->name, "DATA_B3_IND");
  EXPECT_EQ(CapiMessageLookup(51)->params, capi_sequences::kDataB3);
  EXPECT_STREQ(CapiMessageLookup(78)->name, "MANUFACTURER_RESP");
  EXPECT_STREQ(CapiMessageLookup(28)->name, "SELECT_B_PROTOCOL_CONF");
  EXPECT_STREQ(CapiMessageLookup(24)->name, "MANUFACTURER_REQ");
  for (uint32_t empty : {0u, 3u, 6u, 7u, 14u, 18u, 25u, 32u, 36u, 43u, 50u, 54u, 61u, 68u, 72u, 77u,
                         79u, 200u, 0xFFFFFFFFu}) {
    EXPECT_EQ(CapiMessageLookup(empty), nullptr) << empty;
  }
}

TEST(CapiMessageTable, EveryNameEndsInItsSubcommand) {
  const char* suffixes[] = {"_REQ", "_CONF", "_IND", "_RESP"};
  int filled = 0;
  for (uint32_t i = 0; i < kCapiMessageCount; ++i) {
    const CapiMessage* m = CapiMessageLookup(i);
    if (m == nullptr)
      continue;
    ++filled;
    std::string name = m->name;
    std::string suffix = suffixes[m->subcommand & 3];
    ASSERT_GT(name.size(), suffix.size());
    EXPECT_EQ(name.substr(name.size() - suffix.size()), suffix) << name;
  }
  EXPECT_EQ(filled, 48);
}

TEST(CapiMessageFind, CommandMustMatchTheEntry) {
  ASSERT_NE(CapiMessageFind(0xFF, 0x80), nullptr);
  EXPECT_STREQ(CapiMessageFind(0xFF, 0x80)->name, "MANUFACTURER_REQ");
  EXPECT_EQ(CapiMessageFind(0x06, 0x81), nullptr);
  EXPECT_EQ(CapiMessageFind(0x8F, 0x80), nullptr);
  EXPECT_EQ(CapiMessageFind(0x03, 0x80), nullptr);
  EXPECT_STREQ(CapiMessageFind(0x86, 0x00)->name, "DATA_B3_REQ");
}

TEST(CapiParamTable, TypesAndNames) {
  EXPECT_EQ(CapiParamLookup(0x03).type, ParamDword);
  EXPECT_STREQ(CapiParamLookup(0x03).name, "Controller/PLCI/NCCI");
  EXPECT_EQ(CapiParamLookup(0x04).type, ParamGroup);
  EXPECT_EQ(CapiParamLookup(0x0D).type, ParamGroup);
  EXPECT_EQ(CapiParamLookup(0x1B).type, ParamStruct);
  EXPECT_STREQ(CapiParamLookup(0x1B).name, "FacilityConfirmationParameter");
  EXPECT_STREQ(CapiParamLookup(0x2E).name, "Reason_B3");
  EXPECT_EQ(CapiParamLookup(0x30).type, ParamStruct);
  for (uint8_t end : {0x00, 0x01, 0x02, 0x31, 0xFF}) {
    EXPECT_EQ(CapiParamLookup(end).type, ParamEnd) << int(end);
  }
}

TEST(CapiSequences, SharedAsListed) {
  // A few rows spelled out: the connect request's sequence in full, and
  // messages that share one stored sequence.
  const uint8_t connectReq[] = {0x03, 0x14, 0x0E, 0x10, 0x0F, 0x11, 0x0D, 0x06, 0x08,
                                0x0A, 0x05, 0x07, 0x09, 0x01, 0x0B, 0x29, 0x23, 0x04,
                                0x0C, 0x28, 0x30, 0x1C, 0x01, 0x01, 0x00};
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(CapiMessageFind(0x02, 0x80)->params)),
            std::string(reinterpret_cast<const char*>(connectReq)));
  EXPECT_EQ(CapiMessageFind(0x01, 0x80)->params, CapiMessageFind(0x04, 0x80)->params);
  EXPECT_EQ(CapiMessageFind(0x86, 0x80)->params, CapiMessageFind(0x86, 0x82)->params);
  for (uint8_t cmd : {0x01, 0x02, 0x04, 0x05, 0x08, 0x41, 0x82, 0x84, 0x87}) {
    EXPECT_EQ(CapiMessageFind(cmd, 0x81)->params, capi_sequences::kInfoConf) << int(cmd);
  }
}

}  // namespace

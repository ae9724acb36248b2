#include "trace/CapiMessageCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../capi/SinkCapture.h"

namespace {

constexpr uint32_t kMessages = 0x0001;

uint32_t Settings(uint32_t b3Bytes) {
  return kMessages | b3Bytes << 16;
}

// A DATA_B3 message (22 bytes) with its payload behind it.
std::vector<uint8_t> DataB3(uint8_t subcommand, uint16_t dataLength, size_t payload) {
  std::vector<uint8_t> m = {0x16,
                            0x00,
                            0x02,
                            0x00,
                            0x86,
                            subcommand,
                            0x34,
                            0x12,
                            0x01,
                            0x01,
                            0x01,
                            0x00,
                            0x00,
                            0x00,
                            0x00,
                            0x00,
                            uint8_t(dataLength),
                            uint8_t(dataLength >> 8),
                            0x03,
                            0x00,
                            0x00,
                            0x00};
  for (size_t i = 0; i < payload; ++i) m.push_back(uint8_t('a' + i % 26));
  return m;
}

// Runs the check on an exact-size copy of the captured bytes.
std::string Check(const std::vector<uint8_t>& captured, uint32_t available, uint32_t settings,
                  std::vector<uint32_t>* kinds = nullptr) {
  SinkCapture sink;
  std::vector<uint8_t> copy(captured);
  checkCapiMessage(copy.empty() ? nullptr : copy.data(), uint32_t(copy.size()), available,
                   settings);
  if (kinds != nullptr) {
    for (const SinkText& t : sink.texts()) kinds->push_back(t.kind);
  }
  return sink.All();
}

const char kDataB3Text[] =
    "DATA_B3_REQ                   22 Byte  ApplID: 2   MsgNr: 4660\n"
    "  Controller/PLCI/NCCI            = 0x00010101\n"
    "  Data                            = 0x00000000\n"
    "  DataLength                      = 0x0800\n"
    "  DataHandle                      = 0x0003\n"
    "  Flags                           = 0x0000\n";

TEST(CheckCapiMessage, DataB3PayloadDumpIsLimited) {
  std::vector<uint8_t> m = DataB3(0x80, 2048, 2048);
  std::vector<uint32_t> kinds;
  EXPECT_EQ(Check(m, uint32_t(m.size()), Settings(32), &kinds),
            std::string(kDataB3Text) +
                "61 62 63 64 65 66 67 68 - 69 6A 6B 6C 6D 6E 6F 70   abcdefghijklmnop\n"
                "71 72 73 74 75 76 77 78 - 79 7A 61 62 63 64 65 66   qrstuvwxyzabcdef\n");
  EXPECT_EQ(kinds, (std::vector<uint32_t>{TextKindMessage, TextKindPlain}));
  EXPECT_EQ(Check(m, uint32_t(m.size()), Settings(0)), kDataB3Text);
  EXPECT_EQ(Check(m, uint32_t(m.size()), Settings(3)),
            std::string(kDataB3Text) +
                "61 62 63 .. .. .. .. .. - .. .. .. .. .. .. .. ..   abc.............\n");
  // Never more than 32, whatever the settings word carries.
  EXPECT_EQ(Check(m, uint32_t(m.size()), Settings(0xFFFF)),
            Check(m, uint32_t(m.size()), Settings(32)));
}

TEST(CheckCapiMessage, PayloadDumpNeverPassesTheDataLengthOrTheCapture) {
  std::vector<uint8_t> m = DataB3(0x82, 5, 40);  // indication: 5 bytes of data, 40 captured
  std::string text = Check(m, uint32_t(m.size()), Settings(32));
  EXPECT_NE(text.find("DATA_B3_IND"), std::string::npos);
  EXPECT_NE(text.find("61 62 63 64 65 .. .. .. - "), std::string::npos);

  // The request says 2048 bytes and covers them, but only 10 were captured.
  m = DataB3(0x80, 2048, 10);
  text = Check(m, 22 + 2048, Settings(32));
  EXPECT_NE(text.find("\n61 62 63 64 65 66 67 68 - 69 6A .. .. .. .. .. ..   abcdefghij......\n"),
            std::string::npos);
}

TEST(CheckCapiMessage, MessageLongerThanTheBufferIsInvalid) {
  // Claims 40 bytes, the write holds 30.
  std::vector<uint8_t> m(30, 0x00);
  m[0] = 40;
  m[4] = 0x02;
  m[5] = 0x80;
  std::vector<uint32_t> kinds;
  EXPECT_EQ(Check(m, 30, Settings(32), &kinds),
            "Error: invalid CAPI message!\n"
            "28 00 00 00 02 80 00 00 - 00 00 00 00 00 00 00 00   ................\n"
            "00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 .. ..   ................\n");
  EXPECT_EQ(kinds, (std::vector<uint32_t>{TextKindPlain, TextKindPlain}));
}

TEST(CheckCapiMessage, DataB3PayloadMustBeCovered) {
  std::vector<uint8_t> m = DataB3(0x80, 5, 4);  // one payload byte short
  EXPECT_EQ(Check(m, uint32_t(m.size()), Settings(32)).substr(0, 29),
            "Error: invalid CAPI message!\n");
  // The raw dump shows the message itself, not the payload.
  EXPECT_EQ(Check(m, uint32_t(m.size()), Settings(32)).size(), 29 + 2 * 69u);
  // A confirmation carries no payload: its data-length position is not read.
  m = DataB3(0x81, 5, 0);
  m[0] = 16;
  EXPECT_NE(Check(m, 16, Settings(32)).find("DATA_B3_CONF"), std::string::npos);
}

TEST(CheckCapiMessage, ShortAvailableLengths) {
  std::vector<uint8_t> m = {0x0C, 0x00, 0x01, 0x00, 0x04, 0x83, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00};
  EXPECT_EQ(Check(m, 11, Settings(32)),
            "Error: invalid CAPI message!\n"
            "0C 00 01 00 04 83 01 00 - 01 01 00 .. .. .. .. ..   ................\n");
  EXPECT_EQ(Check(m, 0, Settings(32)), "Error: invalid CAPI message!\n");
  EXPECT_EQ(Check(m, 12, Settings(32)),
            "DISCONNECT_RESP               12 Byte  ApplID: 1   MsgNr: 1\n"
            "  Controller/PLCI/NCCI            = 0x00000101\n");
}

TEST(CheckCapiMessage, KernelCallerMessages) {
  std::vector<uint8_t> m = {0x0C, 0x00, 0x01, 0x00, 0x04, 0x83, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00};
  EXPECT_EQ(Check(m, kKernelCallerLength, Settings(32)).substr(0, 15), "DISCONNECT_RESP");
  m[0] = 8;  // a kernel-mode caller's message below 12 bytes is invalid
  EXPECT_EQ(Check(m, kKernelCallerLength, Settings(32)),
            "Error: invalid CAPI message!\n"
            "08 00 01 00 04 83 01 00 - .. .. .. .. .. .. .. ..   ................\n");
}

TEST(CheckCapiMessage, NothingIsReadBeyondTheCapture) {
  // The available length covers 40 bytes, 20 were captured: the decoding
  // ends with its cut mark.
  std::vector<uint8_t> m = {0x28, 0x00, 0x01, 0x00, 0x02, 0x80, 0x07, 0x00, 0x01, 0x00,
                            0x00, 0x00, 0x10, 0x00, 0x04, 0x81, 0x31, 0x32, 0x33, 0x04};
  EXPECT_EQ(Check(m, 40, Settings(32)),
            "CONNECT_REQ                   40 Byte  ApplID: 1   MsgNr: 7\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  CIPValue                        = 0x0010\n"
            "  CalledPartyNumber               = <81>123\n"
            "  CallingPartyNumber              = [cut]\n");
  // Invalid, and captured less than the available length: the dump stops
  // at the capture.
  m.resize(5);
  m[0] = 0x50;
  EXPECT_EQ(Check(m, 40, Settings(32)),
            "Error: invalid CAPI message!\n"
            "50 00 01 00 02 .. .. .. - .. .. .. .. .. .. .. ..   P...............\n");
  EXPECT_EQ(Check({}, 40, Settings(32)), "[cut]\n");
}

}  // namespace

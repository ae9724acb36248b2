#include "capi/CapiDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SinkCapture.h"

namespace {

std::string Decode(const std::vector<uint8_t>& message, size_t held) {
  SinkCapture sink;
  // An exact-size copy, so that a read past what is held is a read past the
  // block (caught by the sanitizer build).
  std::vector<uint8_t> copy(message.begin(), message.begin() + held);
  DecodeCapiMessage(copy.data(), uint32_t(held));
  EXPECT_EQ(sink.texts().size(), 1u);
  if (sink.texts().empty())
    return "";
  EXPECT_EQ(sink.texts()[0].kind, TextKindMessage);
  EXPECT_EQ(sink.texts()[0].message, copy.data());
  return sink.texts()[0].text;
}

std::string Decode(const std::vector<uint8_t>& message) {
  return Decode(message, message.size());
}

// The last n lines of a text.
std::string LastLines(const std::string& text, int n) {
  size_t at = text.size();
  for (int i = 0; i <= n && at != std::string::npos && at != 0; ++i) at = text.rfind('\n', at - 1);
  return at == std::string::npos ? text : text.substr(at + 1);
}

// A message with its length field set from its size.
std::vector<uint8_t> Message(uint8_t command, uint8_t subcommand, std::vector<uint8_t> params) {
  std::vector<uint8_t> m = {0, 0, 0x01, 0x00, command, subcommand, 0x05, 0x00};
  for (uint8_t byte : params) m.push_back(byte);
  m[0] = uint8_t(m.size());
  m[1] = uint8_t(m.size() >> 8);
  return m;
}

const std::vector<uint8_t> kConnectReq = {
    0x28, 0x00, 0x01, 0x00, 0x02, 0x80, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00,
    0x04, 0x81, 0x31, 0x32, 0x33, 0x04, 0x00, 0x80, 0x34, 0x35, 0x00, 0x00, 0x09, 0x01,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(DecodeCapiMessage, ConnectRequest) {
  EXPECT_EQ(Decode(kConnectReq),
            "CONNECT_REQ                   40 Byte  ApplID: 1   MsgNr: 7\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  CIPValue                        = 0x0010\n"
            "  CalledPartyNumber               = <81>123\n"
            "  CallingPartyNumber              = <00 80>45\n"
            "  CalledPartySubaddress           = default\n"
            "  CallingPartySubaddress          = default\n"
            "  BProtocol                      \n"
            "   B1protocol                     = 0x0001\n"
            "   B2protocol                     = 0x0001\n"
            "   B3protocol                     = 0x0000\n"
            "   B1configuration                = default\n"
            "   B2configuration                = default\n"
            "   B3configuration                = default\n"
            "  BC                              = default\n"
            "  LLC                             = default\n"
            "  HLC                             = default\n"
            "  AdditionalInfo                  = default\n");
}

TEST(DecodeCapiMessage, DataB3Request) {
  EXPECT_EQ(Decode({0x16, 0x00, 0x02, 0x00, 0x86, 0x80, 0x34, 0x12, 0x01, 0x01, 0x01,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x03, 0x00, 0x00, 0x00}),
            "DATA_B3_REQ                   22 Byte  ApplID: 2   MsgNr: 4660\n"
            "  Controller/PLCI/NCCI            = 0x00010101\n"
            "  Data                            = 0x00000000\n"
            "  DataLength                      = 0x0005\n"
            "  DataHandle                      = 0x0003\n"
            "  Flags                           = 0x0000\n");
}

TEST(DecodeCapiMessage, AddressOnlySequence) {
  EXPECT_EQ(Decode(Message(0x04, 0x83, {0x01, 0x01, 0x00, 0x00})),
            "DISCONNECT_RESP               12 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = 0x00000101\n");
}

TEST(DecodeCapiMessage, EmptyGroupSkipsItsMembers) {
  // SELECT_B_PROTOCOL_REQ with an empty BProtocol; with a word behind it, to
  // show nothing more is read.
  EXPECT_EQ(Decode(Message(0x41, 0x80, {0x01, 0x00, 0x00, 0x00, 0x00, 0x34, 0x12})),
            "SELECT_B_PROTOCOL_REQ         15 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  BProtocol                       = default\n");
  // ALERT_REQ: the empty AdditionalInfo group is the last parameter.
  EXPECT_EQ(Decode(Message(0x01, 0x80, {0x01, 0x01, 0x00, 0x00, 0x00})),
            "ALERT_REQ                     13 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = 0x00000101\n"
            "  AdditionalInfo                  = default\n");
}

TEST(DecodeCapiMessage, StructsWithTheLongPrefix) {
  // INFO_IND: InfoElement as FF 03 00 'A' 'B' 'C' (6 bytes); then a LISTEN_CONF
  // style check that the offset moved by 6 is implied by the message ending.
  EXPECT_EQ(
      Decode(Message(0x08, 0x82, {0x01, 0, 0, 0, 0x28, 0x00, 0xFF, 0x03, 0x00, 'A', 'B', 'C'})),
      "INFO_IND                      20 Byte  ApplID: 1   MsgNr: 5\n"
      "  Controller/PLCI/NCCI            = 0x00000001\n"
      "  InfoNumber                      = 0x0028\n"
      "  InfoElement                     = ABC\n");
  // FF 00 00: an empty struct, but not "default".
  EXPECT_EQ(Decode(Message(0x08, 0x82, {0x01, 0, 0, 0, 0x28, 0x00, 0xFF, 0x00, 0x00})),
            "INFO_IND                      17 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  InfoNumber                      = 0x0028\n"
            "  InfoElement                     = \n");
  // The long prefix moves the offset by 3 + length: FACILITY_CONF's last
  // struct after a FacilitySelector read from the right place.
  EXPECT_EQ(Decode(Message(0x80, 0x81,
                           {0x01, 0, 0, 0, 0x00, 0x00, 0x03, 0x00, 0xFF, 0x02, 0x00, 0x20, 0x7E})),
            "FACILITY_CONF                 21 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  Info                            = 0x0000\n"
            "  FacilitySelector                = 0x0003\n"
            "  FacilityConfirmationParameter   =  <7e>\n");
}

TEST(DecodeCapiMessage, GroupWithTheLongPrefixDecodesItsMembers) {
  // DISCONNECT_REQ with AdditionalInfo as FF 04 00 and four empty structs.
  EXPECT_EQ(
      Decode(Message(0x04, 0x80, {0x01, 0, 0, 0, 0xFF, 0x04, 0x00, 0x00, 0x00, 0x01, 'x', 0x00})),
      "DISCONNECT_REQ                20 Byte  ApplID: 1   MsgNr: 5\n"
      "  Controller/PLCI/NCCI            = 0x00000001\n"
      "  AdditionalInfo                 \n"
      "   BChannelinformation            = default\n"
      "   Keypadfacility                 = default\n"
      "   Useruserdata                   = x\n"
      "   Facilitydataarray              = default\n");
}

TEST(PrintStructBytes, HexRunsAndPlainCharacters) {
  SinkCapture sink;
  TraceTextReset();
  const uint8_t a[] = {0x81, 0x31, 0x32, 0x33};
  PrintStructBytes(a, 4);
  TraceAppend("|");
  const uint8_t b[] = {0x00, 0x80, 0x34, 0x35};
  PrintStructBytes(b, 4);
  TraceAppend("|");
  const uint8_t c[] = {'a', ' ', 'Z', '<', '>', '[', '9'};
  PrintStructBytes(c, 7);
  TraceAppend("|");
  PrintStructBytes(c, 0);
  EXPECT_STREQ(TraceTextBuffer(), "<81>123|<00 80>45|a Z<3c 3e 5b>9|");
}

TEST(DecodeCapiMessage, UnlistedMessagesPrintTheHeaderOnly) {
  EXPECT_EQ(Decode(Message(0x03, 0x80, {0x01, 0, 0, 0})),
            "UNKNOWN_03_80                 12 Byte  ApplID: 1   MsgNr: 5\n");
  EXPECT_EQ(Decode(Message(0x7F, 0x83, {0x01, 0, 0, 0})),
            "UNKNOWN_7F_83                 12 Byte  ApplID: 1   MsgNr: 5\n");
}

TEST(DecodeCapiMessage, CommandsFoldedOntoAnotherEntryAreUnlisted) {
  // 0x06/0x81 and 0x8F/0x80 give MANUFACTURER_REQ's index; they are not
  // manufacturer messages and must not be decoded as one.
  EXPECT_EQ(Decode(Message(0x06, 0x81, {0x01, 0, 0, 0})),
            "UNKNOWN_06_81                 12 Byte  ApplID: 1   MsgNr: 5\n");
  EXPECT_EQ(Decode(Message(0x8F, 0x80, {0x01, 0, 0, 0})),
            "UNKNOWN_8F_80                 12 Byte  ApplID: 1   MsgNr: 5\n");
  EXPECT_EQ(Decode(Message(0xFF, 0x80, {0x01, 0, 0, 0, 0x78, 0x56, 0x34, 0x12})).substr(0, 30),
            "MANUFACTURER_REQ              ");
}

TEST(DecodeCapiMessage, ParameterCutShortByTheHeldBytes) {
  // Held up to the middle of CalledPartyNumber (0x04 81 31 | 32 33).
  EXPECT_EQ(Decode(kConnectReq, 17),
            "CONNECT_REQ                   40 Byte  ApplID: 1   MsgNr: 7\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  CIPValue                        = 0x0010\n"
            "  CalledPartyNumber               = <81>1[cut]\n");
  // Held up to the middle of CIPValue.
  EXPECT_EQ(Decode(kConnectReq, 13),
            "CONNECT_REQ                   40 Byte  ApplID: 1   MsgNr: 7\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  CIPValue                        = [cut]\n");
  // Held up to the BProtocol group's first member.
  EXPECT_EQ(LastLines(Decode(kConnectReq, 27), 2),
            "  BProtocol                      \n"
            "   B1protocol                     = [cut]\n");
  // Held up to, not into, the group's length byte.
  EXPECT_EQ(LastLines(Decode(kConnectReq, 26), 1), "  BProtocol                       = [cut]\n");
}

TEST(DecodeCapiMessage, ParametersPastTheTotalLengthAreNotRead) {
  std::vector<uint8_t> m = Message(0x04, 0x82, {0x01, 0, 0, 0, 0x90, 0x34});
  m[0] = 13;  // says it ends in the middle of Reason
  EXPECT_EQ(Decode(m),
            "DISCONNECT_IND                13 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = 0x00000001\n"
            "  Reason                          = [cut]\n");
  m[0] = 3;  // shorter than the header
  EXPECT_EQ(Decode(m),
            "DISCONNECT_IND                 3 Byte  ApplID: 1   MsgNr: 5\n"
            "  Controller/PLCI/NCCI            = [cut]\n");
}

TEST(DecodeCapiMessage, HeaderNotHeld) {
  EXPECT_EQ(Decode(kConnectReq, 7), "[cut]\n");
  EXPECT_EQ(Decode(kConnectReq, 0), "[cut]\n");
}

TEST(DecodeCapiMessage, LongPrefixCutShort) {
  std::vector<uint8_t> m = Message(0x08, 0x82, {0x01, 0, 0, 0, 0x28, 0x00, 0xFF, 0x10});
  EXPECT_EQ(LastLines(Decode(m), 1), "  InfoElement                     = [cut]\n");
}

TEST(TraceText, HugeStructIsCutAtTheBufferWithAVisibleMark) {
  // MANUFACTURER_IND whose ManuData is 6000 non-printable bytes (three
  // characters each): far more text than the 9216-byte buffer holds.
  std::vector<uint8_t> params = {0x01, 0, 0, 0, 1, 0, 0,    0,    2,   0,
                                 0,    0, 3, 0, 0, 0, 0xFF, 0x70, 0x17};
  params.resize(params.size() + 6000, 0x01);
  std::vector<uint8_t> m = Message(0xFF, 0x82, params);
  SinkCapture sink;
  DecodeCapiMessage(m.data(), uint32_t(m.size()));
  ASSERT_EQ(sink.texts().size(), 1u);
  const std::string& text = sink.texts()[0].text;
  EXPECT_LT(text.size(), kTraceTextSize);
  EXPECT_EQ(text.substr(text.size() - 12), "\n[text cut]\n");
  EXPECT_EQ(sink.buffer()[text.size()], '\0');
  // Nothing was written behind the terminating NUL.
  for (size_t i = text.size() + 1; i < kTraceTextSize; ++i)
    ASSERT_EQ(sink.buffer()[i], '\x55') << i;
}

TEST(TraceText, CutMarkInASmallBuffer) {
  SinkCapture sink(kTraceTextMinSize);
  TracePrint("%s", std::string(100, 'a').c_str());
  ASSERT_EQ(sink.texts().size(), 1u);
  const std::string& text = sink.texts()[0].text;
  EXPECT_EQ(text.size(), kTraceTextMinSize - 1);
  EXPECT_EQ(text, std::string(kTraceTextMinSize - 13, 'a') + "\n[text cut]\n");
  // A line that ends exactly at the limit gets no extra line end.
  TracePrint("%s\n%s", std::string(kTraceTextMinSize - 14, 'b').c_str(), "c");
  EXPECT_EQ(sink.texts()[1].text, std::string(kTraceTextMinSize - 14, 'b') + "\n[text cut]\n");
}

TEST(TraceText, PrintReplacesTheTextAndAppendFollowsIt) {
  SinkCapture sink;
  TracePrint("first %d\n", 1);
  TracePrint("second\n");
  ASSERT_EQ(sink.texts().size(), 2u);
  EXPECT_EQ(sink.texts()[0].text, "first 1\n");
  EXPECT_EQ(sink.texts()[0].kind, TextKindPlain);
  EXPECT_EQ(sink.texts()[0].message, nullptr);
  EXPECT_EQ(sink.texts()[1].text, "second\n");
  TraceTextReset();
  TraceAppend("a");
  TraceAppend("%s", "b");
  EXPECT_STREQ(TraceTextBuffer(), "ab");
  EXPECT_EQ(TraceTextLength(), 2u);
  EXPECT_EQ(sink.texts().size(), 2u);  // appending does not call the sink
}

TEST(TraceText, NothingHappensWithoutASink) {
  TraceTextInit(nullptr, 0, nullptr);
  TracePrint("nothing\n");
  DecodeCapiMessage(kConnectReq.data(), uint32_t(kConnectReq.size()));
  TraceAppend("nothing");
  EXPECT_FALSE(TraceTextReady());
  // Too small a buffer leaves the sink unset as well.
  char small[kTraceTextMinSize - 1];
  TraceTextInit(small, sizeof(small), [](const char*, uint32_t, const void*) { FAIL(); });
  EXPECT_FALSE(TraceTextReady());
  TracePrint("nothing\n");
}

}  // namespace

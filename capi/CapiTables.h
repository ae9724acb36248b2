// The CAPI 2.0 vocabulary the decoder prints: every parameter's name and
// encoding, the parameter sequence of every known message, and the mapping
// of (command, subcommand) to a message index. Constant data only.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum ParamType : uint32_t {
  ParamByte = 1,    // one byte (no parameter uses it; the decoder supports it)
  ParamWord = 2,    // 16 bits, little-endian
  ParamDword = 3,   // 32 bits, little-endian
  ParamStruct = 4,  // CAPI struct, printed as its bytes
  ParamGroup = 5,   // CAPI struct of parameters; members follow, closed by an end code
  ParamEnd = 6,     // end of a sequence or of a group
};

struct CapiParam {
  uint32_t type;  // a ParamType
  const char* name;
};

#if defined(__i386__) || defined(_M_IX86)
// The driver's layout; the kernel-free code also builds for x86-64, where
// the name pointer is 8 bytes.
static_assert(sizeof(CapiParam) == 8, "CapiParam is a type word and a name pointer (i386)");
#endif

// Indexed by parameter code 0x00 to 0x30.
inline constexpr CapiParam CapiParamTable[] = {
    {ParamEnd, nullptr},
    {ParamEnd, nullptr},
    {ParamEnd, nullptr},
    {ParamDword, "Controller/PLCI/NCCI"},
    {ParamGroup, "AdditionalInfo"},
    {ParamStruct, "B1configuration"},
    {ParamWord, "B1protocol"},
    {ParamStruct, "B2configuration"},
    {ParamWord, "B2protocol"},
    {ParamStruct, "B3configuration"},
    {ParamWord, "B3protocol"},
    {ParamStruct, "BC"},
    {ParamStruct, "BChannelinformation"},
    {ParamGroup, "BProtocol"},
    {ParamStruct, "CalledPartyNumber"},
    {ParamStruct, "CalledPartySubaddress"},
    {ParamStruct, "CallingPartyNumber"},
    {ParamStruct, "CallingPartySubaddress"},
    {ParamDword, "CIPmask"},
    {ParamDword, "CIPmask2"},
    {ParamWord, "CIPValue"},
    {ParamDword, "Class"},
    {ParamStruct, "ConnectedNumber"},
    {ParamStruct, "ConnectedSubaddress"},
    {ParamDword, "Data"},
    {ParamWord, "DataHandle"},
    {ParamWord, "DataLength"},
    {ParamStruct, "FacilityConfirmationParameter"},
    {ParamStruct, "Facilitydataarray"},
    {ParamStruct, "FacilityIndicationParameter"},
    {ParamStruct, "FacilityRequestParameter"},
    {ParamStruct, "FacilityResponseParameters"},
    {ParamWord, "FacilitySelector"},
    {ParamWord, "Flags"},
    {ParamDword, "Function"},
    {ParamStruct, "HLC"},
    {ParamWord, "Info"},
    {ParamStruct, "InfoElement"},
    {ParamDword, "InfoMask"},
    {ParamWord, "InfoNumber"},
    {ParamStruct, "Keypadfacility"},
    {ParamStruct, "LLC"},
    {ParamStruct, "ManuData"},
    {ParamDword, "ManuID"},
    {ParamStruct, "NCPI"},
    {ParamWord, "Reason"},
    {ParamWord, "Reason_B3"},
    {ParamWord, "Reject"},
    {ParamStruct, "Useruserdata"},
};

inline constexpr size_t kCapiParamCount = sizeof(CapiParamTable) / sizeof(CapiParamTable[0]);
static_assert(kCapiParamCount == 49, "parameter codes run from 0x00 to 0x30");

// The end code of every sequence and group.
inline constexpr uint8_t kParamEndCode = 0x01;

// Parameter lookup by code. A code outside the table reads as an end code,
// so that a walk can never leave the table.
constexpr const CapiParam& CapiParamLookup(uint8_t code) {
  return code < kCapiParamCount ? CapiParamTable[code] : CapiParamTable[kParamEndCode];
}

// Parameter sequences, NUL-terminated strings of parameter codes. Several
// messages share one sequence.
namespace capi_sequences {
// Controller/PLCI/NCCI, DataHandle
inline constexpr uint8_t kDataB3Resp[] = {0x03, 0x19, 0x01, 0x00};
// Controller/PLCI/NCCI, Reject, NCPI
inline constexpr uint8_t kConnectB3Resp[] = {0x03, 0x2F, 0x2C, 0x01, 0x00};
// Controller/PLCI/NCCI, FacilitySelector, FacilityResponseParameters
inline constexpr uint8_t kFacilityResp[] = {0x03, 0x20, 0x1F, 0x01, 0x00};
// Controller/PLCI/NCCI
inline constexpr uint8_t kAddressOnly[] = {0x03, 0x01, 0x00};
// Controller/PLCI/NCCI, Reject, BProtocol(...), ConnectedNumber,
// ConnectedSubaddress, LLC, AdditionalInfo(...)
inline constexpr uint8_t kConnectResp[] = {0x03, 0x2F, 0x0D, 0x06, 0x08, 0x0A, 0x05,
                                           0x07, 0x09, 0x01, 0x16, 0x17, 0x29, 0x04,
                                           0x0C, 0x28, 0x30, 0x1C, 0x01, 0x01, 0x00};
// Controller/PLCI/NCCI, Reason_B3, NCPI
inline constexpr uint8_t kDisconnectB3Ind[] = {0x03, 0x2E, 0x2C, 0x01, 0x00};
// Controller/PLCI/NCCI, FacilitySelector, FacilityIndicationParameter
inline constexpr uint8_t kFacilityInd[] = {0x03, 0x20, 0x1D, 0x01, 0x00};
// Controller/PLCI/NCCI, InfoNumber, InfoElement
inline constexpr uint8_t kInfoInd[] = {0x03, 0x27, 0x25, 0x01, 0x00};
// Controller/PLCI/NCCI, Reason
inline constexpr uint8_t kDisconnectInd[] = {0x03, 0x2D, 0x01, 0x00};
// Controller/PLCI/NCCI, ConnectedNumber, ConnectedSubaddress, LLC
inline constexpr uint8_t kConnectActiveInd[] = {0x03, 0x16, 0x17, 0x29, 0x01, 0x00};
// Controller/PLCI/NCCI, CIPValue, CalledPartyNumber, CallingPartyNumber,
// CalledPartySubaddress, CallingPartySubaddress, BC, LLC, HLC, AdditionalInfo(...)
inline constexpr uint8_t kConnectInd[] = {0x03, 0x14, 0x0E, 0x10, 0x0F, 0x11, 0x0B, 0x29, 0x23,
                                          0x04, 0x0C, 0x28, 0x30, 0x1C, 0x01, 0x01, 0x00};
// Controller/PLCI/NCCI, DataHandle, Info
inline constexpr uint8_t kDataB3Conf[] = {0x03, 0x19, 0x24, 0x01, 0x00};
// Controller/PLCI/NCCI, Info, FacilitySelector, FacilityConfirmationParameter
inline constexpr uint8_t kFacilityConf[] = {0x03, 0x24, 0x20, 0x1B, 0x01, 0x00};
// Controller/PLCI/NCCI, ManuID, Class, Function, ManuData
inline constexpr uint8_t kManufacturer[] = {0x03, 0x2B, 0x15, 0x22, 0x2A, 0x01, 0x00};
// Controller/PLCI/NCCI, Info
inline constexpr uint8_t kInfoConf[] = {0x03, 0x24, 0x01, 0x00};
// Controller/PLCI/NCCI, Data, DataLength, DataHandle, Flags
inline constexpr uint8_t kDataB3[] = {0x03, 0x18, 0x1A, 0x19, 0x21, 0x01, 0x00};
// Controller/PLCI/NCCI, NCPI
inline constexpr uint8_t kNcpi[] = {0x03, 0x2C, 0x01, 0x00};
// Controller/PLCI/NCCI, BProtocol(...)
inline constexpr uint8_t kSelectBProtocolReq[] = {0x03, 0x0D, 0x06, 0x08, 0x0A, 0x05,
                                                  0x07, 0x09, 0x01, 0x01, 0x00};
// Controller/PLCI/NCCI, FacilitySelector, FacilityRequestParameter
inline constexpr uint8_t kFacilityReq[] = {0x03, 0x20, 0x1E, 0x01, 0x00};
// Controller/PLCI/NCCI, CalledPartyNumber, AdditionalInfo(...)
inline constexpr uint8_t kInfoReq[] = {0x03, 0x0E, 0x04, 0x0C, 0x28, 0x30, 0x1C, 0x01, 0x01, 0x00};
// Controller/PLCI/NCCI, InfoMask, CIPmask, CIPmask2, CallingPartyNumber,
// CallingPartySubaddress
inline constexpr uint8_t kListenReq[] = {0x03, 0x26, 0x12, 0x13, 0x10, 0x11, 0x01, 0x00};
// Controller/PLCI/NCCI, CIPValue, CalledPartyNumber, CallingPartyNumber,
// CalledPartySubaddress, CallingPartySubaddress, BProtocol(...), BC, LLC, HLC,
// AdditionalInfo(...)
inline constexpr uint8_t kConnectReq[] = {0x03, 0x14, 0x0E, 0x10, 0x0F, 0x11, 0x0D, 0x06, 0x08,
                                          0x0A, 0x05, 0x07, 0x09, 0x01, 0x0B, 0x29, 0x23, 0x04,
                                          0x0C, 0x28, 0x30, 0x1C, 0x01, 0x01, 0x00};
// Controller/PLCI/NCCI, AdditionalInfo(...)
inline constexpr uint8_t kAdditionalInfo[] = {0x03, 0x04, 0x0C, 0x28, 0x30, 0x1C, 0x01, 0x01, 0x00};
}  // namespace capi_sequences

// One entry of the message table. command and subcommand are those of the
// message the entry describes: the index alone is ambiguous (see
// CapiMessageIndex), so the decoder compares the command too.
struct CapiMessage {
  uint8_t command;
  uint8_t subcommand;
  bool listed;  // an entry with a name and a sequence
  const char* name;
  const uint8_t* params;
};

// (command, subcommand) to message index. Each subcommand owns a row of 18
// indexes (REQ, CONF, IND, RESP, by the two low bits); commands with bit 7
// set fold into slots 9 to 24, so MANUFACTURER (0xFF, slot 24) reaches six
// places into the following row. The index can exceed the table.
constexpr uint32_t CapiMessageIndex(uint8_t command, uint8_t subcommand) {
  uint32_t slot = (command & 0x80) != 0 ? (command & 0x0Fu) + 9u
                  : command <= 0x0F     ? command
                  : command == 0x41     ? 10u
                                        : command;
  return slot + 18u * (subcommand & 3u);
}

namespace capi_messages {
constexpr CapiMessage Entry(uint8_t command, uint8_t subcommand, const char* name,
                            const uint8_t* params) {
  return CapiMessage{command, subcommand, true, name, params};
}
inline constexpr CapiMessage kNone = {0, 0, false, nullptr, nullptr};
}  // namespace capi_messages

// Indexed by CapiMessageIndex.
inline constexpr CapiMessage CapiMessageTable[] = {
    // REQ (subcommand 0x80), indexes 0 to 17
    capi_messages::kNone,
    capi_messages::Entry(0x01, 0x80, "ALERT_REQ", capi_sequences::kAdditionalInfo),
    capi_messages::Entry(0x02, 0x80, "CONNECT_REQ", capi_sequences::kConnectReq),
    capi_messages::kNone,  // CONNECT_ACTIVE_REQ does not exist
    capi_messages::Entry(0x04, 0x80, "DISCONNECT_REQ", capi_sequences::kAdditionalInfo),
    capi_messages::Entry(0x05, 0x80, "LISTEN_REQ", capi_sequences::kListenReq),
    capi_messages::kNone,
    capi_messages::kNone,
    capi_messages::Entry(0x08, 0x80, "INFO_REQ", capi_sequences::kInfoReq),
    capi_messages::Entry(0x80, 0x80, "FACILITY_REQ", capi_sequences::kFacilityReq),
    capi_messages::Entry(0x41, 0x80, "SELECT_B_PROTOCOL_REQ", capi_sequences::kSelectBProtocolReq),
    capi_messages::Entry(0x82, 0x80, "CONNECT_B3_REQ", capi_sequences::kNcpi),
    capi_messages::kNone,  // CONNECT_B3_ACTIVE_REQ does not exist
    capi_messages::Entry(0x84, 0x80, "DISCONNECT_B3_REQ", capi_sequences::kNcpi),
    capi_messages::kNone,
    capi_messages::Entry(0x86, 0x80, "DATA_B3_REQ", capi_sequences::kDataB3),
    capi_messages::Entry(0x87, 0x80, "RESET_B3_REQ", capi_sequences::kNcpi),
    capi_messages::kNone,  // CONNECT_B3_T90_ACTIVE_REQ does not exist
    // CONF (0x81), indexes 18 to 35; MANUFACTURER_REQ sits at 24
    capi_messages::kNone,
    capi_messages::Entry(0x01, 0x81, "ALERT_CONF", capi_sequences::kInfoConf),
    capi_messages::Entry(0x02, 0x81, "CONNECT_CONF", capi_sequences::kInfoConf),
    capi_messages::kNone,
    capi_messages::Entry(0x04, 0x81, "DISCONNECT_CONF", capi_sequences::kInfoConf),
    capi_messages::Entry(0x05, 0x81, "LISTEN_CONF", capi_sequences::kInfoConf),
    capi_messages::Entry(0xFF, 0x80, "MANUFACTURER_REQ", capi_sequences::kManufacturer),
    capi_messages::kNone,
    capi_messages::Entry(0x08, 0x81, "INFO_CONF", capi_sequences::kInfoConf),
    capi_messages::Entry(0x80, 0x81, "FACILITY_CONF", capi_sequences::kFacilityConf),
    capi_messages::Entry(0x41, 0x81, "SELECT_B_PROTOCOL_CONF", capi_sequences::kInfoConf),
    capi_messages::Entry(0x82, 0x81, "CONNECT_B3_CONF", capi_sequences::kInfoConf),
    capi_messages::kNone,
    capi_messages::Entry(0x84, 0x81, "DISCONNECT_B3_CONF", capi_sequences::kInfoConf),
    capi_messages::kNone,
    capi_messages::Entry(0x86, 0x81, "DATA_B3_CONF", capi_sequences::kDataB3Conf),
    capi_messages::Entry(0x87, 0x81, "RESET_B3_CONF", capi_sequences::kInfoConf),
    capi_messages::kNone,
    // IND (0x82), indexes 36 to 53; MANUFACTURER_CONF sits at 42
    capi_messages::kNone,
    capi_messages::kNone,  // ALERT_IND does not exist
    capi_messages::Entry(0x02, 0x82, "CONNECT_IND", capi_sequences::kConnectInd),
    capi_messages::Entry(0x03, 0x82, "CONNECT_ACTIVE_IND", capi_sequences::kConnectActiveInd),
    capi_messages::Entry(0x04, 0x82, "DISCONNECT_IND", capi_sequences::kDisconnectInd),
    capi_messages::kNone,  // LISTEN_IND does not exist
    capi_messages::Entry(0xFF, 0x81, "MANUFACTURER_CONF", capi_sequences::kManufacturer),
    capi_messages::kNone,
    capi_messages::Entry(0x08, 0x82, "INFO_IND", capi_sequences::kInfoInd),
    capi_messages::Entry(0x80, 0x82, "FACILITY_IND", capi_sequences::kFacilityInd),
    capi_messages::kNone,  // SELECT_B_PROTOCOL_IND does not exist
    capi_messages::Entry(0x82, 0x82, "CONNECT_B3_IND", capi_sequences::kNcpi),
    capi_messages::Entry(0x83, 0x82, "CONNECT_B3_ACTIVE_IND", capi_sequences::kNcpi),
    capi_messages::Entry(0x84, 0x82, "DISCONNECT_B3_IND", capi_sequences::kDisconnectB3Ind),
    capi_messages::kNone,
    capi_messages::Entry(0x86, 0x82, "DATA_B3_IND", capi_sequences::kDataB3),
    capi_messages::Entry(0x87, 0x82, "RESET_B3_IND", capi_sequences::kNcpi),
    capi_messages::Entry(0x88, 0x82, "CONNECT_B3_T90_ACTIVE_IND", capi_sequences::kNcpi),
    // RESP (0x83), indexes 54 to 71; MANUFACTURER_IND sits at 60
    capi_messages::kNone,
    capi_messages::kNone,  // ALERT_RESP does not exist
    capi_messages::Entry(0x02, 0x83, "CONNECT_RESP", capi_sequences::kConnectResp),
    capi_messages::Entry(0x03, 0x83, "CONNECT_ACTIVE_RESP", capi_sequences::kAddressOnly),
    capi_messages::Entry(0x04, 0x83, "DISCONNECT_RESP", capi_sequences::kAddressOnly),
    capi_messages::kNone,  // LISTEN_RESP does not exist
    capi_messages::Entry(0xFF, 0x82, "MANUFACTURER_IND", capi_sequences::kManufacturer),
    capi_messages::kNone,
    capi_messages::Entry(0x08, 0x83, "INFO_RESP", capi_sequences::kAddressOnly),
    capi_messages::Entry(0x80, 0x83, "FACILITY_RESP", capi_sequences::kFacilityResp),
    capi_messages::kNone,  // SELECT_B_PROTOCOL_RESP does not exist
    capi_messages::Entry(0x82, 0x83, "CONNECT_B3_RESP", capi_sequences::kConnectB3Resp),
    capi_messages::Entry(0x83, 0x83, "CONNECT_B3_ACTIVE_RESP", capi_sequences::kAddressOnly),
    capi_messages::Entry(0x84, 0x83, "DISCONNECT_B3_RESP", capi_sequences::kAddressOnly),
    capi_messages::kNone,
    capi_messages::Entry(0x86, 0x83, "DATA_B3_RESP", capi_sequences::kDataB3Resp),
    capi_messages::Entry(0x87, 0x83, "RESET_B3_RESP", capi_sequences::kAddressOnly),
    capi_messages::Entry(0x88, 0x83, "CONNECT_B3_T90_ACTIVE_RESP", capi_sequences::kAddressOnly),
    // Beyond the RESP row: only MANUFACTURER_RESP, at 78
    capi_messages::kNone,
    capi_messages::kNone,
    capi_messages::kNone,
    capi_messages::kNone,
    capi_messages::kNone,
    capi_messages::kNone,
    capi_messages::Entry(0xFF, 0x83, "MANUFACTURER_RESP", capi_sequences::kManufacturer),
};

inline constexpr size_t kCapiMessageCount = sizeof(CapiMessageTable) / sizeof(CapiMessageTable[0]);
static_assert(kCapiMessageCount == 79, "message indexes run from 0 to 78");

// Message lookup by index: the entry, or null for an index without one.
constexpr const CapiMessage* CapiMessageLookup(uint32_t index) {
  return index < kCapiMessageCount && CapiMessageTable[index].listed ? &CapiMessageTable[index]
                                                                     : nullptr;
}

// The message a (command, subcommand) pair names: the entry at its index,
// provided the entry is for that command. Other commands that fold onto the
// same index (0x06/0x81 and 0x8F/0x80 both give 24, MANUFACTURER_REQ's
// index) are not that message, and get null like any unlisted one.
constexpr const CapiMessage* CapiMessageFind(uint8_t command, uint8_t subcommand) {
  const CapiMessage* entry = CapiMessageLookup(CapiMessageIndex(command, subcommand));
  return entry != nullptr && entry->command == command ? entry : nullptr;
}

// Compile-time checks of the tables' invariants, which the decoder relies on.
// They compare no pointers: under the sanitizers GCC does not take a
// comparison of an object's address with null as a constant expression.
namespace capi_checks {

// A sequence is items closed by an end code; an item is a code of type 1 to
// 4, or a group: a code of type 5, at least one member that is not a group,
// more members that are not groups, and an end code. It begins with
// Controller/PLCI/NCCI and the string ends behind the closing end code.
constexpr bool SequenceIsValid(const uint8_t* s) {
  if (s[0] != 0x03)
    return false;
  size_t i = 0;
  for (;;) {
    uint32_t type = CapiParamLookup(s[i]).type;
    if (s[i] >= kCapiParamCount)
      return false;
    if (type == ParamEnd)
      return s[i] == kParamEndCode && s[i + 1] == 0x00;
    if (type == ParamGroup) {
      ++i;
      if (CapiParamLookup(s[i]).type == ParamEnd)
        return false;  // empty group
      while (CapiParamLookup(s[i]).type != ParamEnd) {
        if (CapiParamLookup(s[i]).type == ParamGroup)
          return false;  // nested group
        if (s[i] >= kCapiParamCount)
          return false;
        ++i;
      }
      if (s[i] != kParamEndCode)
        return false;
    }
    ++i;
  }
}

constexpr bool MessageTableIsValid() {
  size_t filled = 0;
  for (size_t i = 0; i < kCapiMessageCount; ++i) {
    const CapiMessage& m = CapiMessageTable[i];
    if (!m.listed)
      continue;
    ++filled;
    if (m.name[0] == '\0')
      return false;
    if (CapiMessageIndex(m.command, m.subcommand) != i)
      return false;
    if (!SequenceIsValid(m.params))
      return false;
  }
  return filled == 48;
}

static_assert(MessageTableIsValid(),
              "48 entries, each at its own index, with a well-formed sequence");

}  // namespace capi_checks

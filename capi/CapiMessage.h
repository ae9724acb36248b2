// The fixed part of a CAPI 2.0 message, as the decoder, the message check and
// the capture read it, and the little-endian reads of its fields.
#pragma once

#include <stdint.h>

inline constexpr uint32_t kCapiMessageLength = 0;       // u16: total length, header included
inline constexpr uint32_t kCapiMessageApplication = 2;  // u16: application ID
inline constexpr uint32_t kCapiMessageCommand = 4;      // u8
inline constexpr uint32_t kCapiMessageSubcommand = 5;   // u8
inline constexpr uint32_t kCapiMessageNumber = 6;       // u16
inline constexpr uint32_t kCapiMessageHeaderSize = 8;   // the parameters start here
inline constexpr uint32_t kCapiDataB3Length = 16;       // u16: payload length of DATA_B3

// The shortest message there is (header and a controller), and the shortest
// DATA_B3_REQ or _IND, whose data length field can be trusted only then.
inline constexpr uint32_t kCapiMinimumMessage = 12;
inline constexpr uint32_t kCapiMinimumDataB3 = 22;

inline constexpr uint8_t kCapiCommandDataB3 = 0x86;
inline constexpr uint8_t kCapiCommandManufacturer = 0xFF;
inline constexpr uint8_t kCapiSubcommandReq = 0x80;
inline constexpr uint8_t kCapiSubcommandInd = 0x82;

inline uint16_t ReadWord(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t ReadDword(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

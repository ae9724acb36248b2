// The provider's side of the CAPI 2.0 interface: the I/O control codes its
// device answers, the message commands and subcommands of the line model,
// and the Info values it puts into confirmations. Kept apart from the
// tracer's own tables on purpose: the provider is another driver, and a
// slip in either must show up as a difference, not be shared.
#pragma once

#include <cstdint>

// Statuses the provider returns that the emulated kernel's header does not
// name (the platform's values).
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#ifndef STATUS_INVALID_DEVICE_STATE
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#endif
#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#endif

namespace sim {

// Device type 0x8001, functions 0x801 to 0x809, buffered, any access.
constexpr uint32_t CapiIoctl(uint32_t function) {
  return 0x80010000u | (function << 2);
}
inline constexpr uint32_t kCapiRegister = CapiIoctl(0x801);
inline constexpr uint32_t kCapiRelease = CapiIoctl(0x802);
inline constexpr uint32_t kCapiPutMessage = CapiIoctl(0x803);
inline constexpr uint32_t kCapiGetMessage = CapiIoctl(0x804);
inline constexpr uint32_t kCapiGetManufacturer = CapiIoctl(0x805);
inline constexpr uint32_t kCapiGetVersion = CapiIoctl(0x806);
inline constexpr uint32_t kCapiGetSerial = CapiIoctl(0x807);
inline constexpr uint32_t kCapiGetProfile = CapiIoctl(0x808);
inline constexpr uint32_t kCapiManufacturer = CapiIoctl(0x809);
static_assert(kCapiRegister == 0x80012004 && kCapiManufacturer == 0x80012024,
              "the nine CAPI codes run from 0x80012004 to 0x80012024");

// The fixed sizes of the information answers and of the register block.
inline constexpr uint32_t kManufacturerBytes = 64;
inline constexpr uint32_t kSerialBytes = 8;
inline constexpr uint32_t kVersionBytes = 8;
inline constexpr uint32_t kProfileBytes = 64;
inline constexpr uint32_t kRegisterBytes = 8;
inline constexpr uint32_t kParameterBlockBytes = 8;

// The block of CAPI_PUT_MESSAGE and CAPI_GET_MESSAGE: 32-bit pointers to
// the message and to its DATA_B3 payload.
struct ParameterBlock {
  uint32_t message;
  uint32_t b3Data;
};
static_assert(sizeof(ParameterBlock) == kParameterBlockBytes, "ParameterBlock");

// Commands.
inline constexpr uint8_t kAlert = 0x01;
inline constexpr uint8_t kConnect = 0x02;
inline constexpr uint8_t kConnectActive = 0x03;
inline constexpr uint8_t kDisconnect = 0x04;
inline constexpr uint8_t kListen = 0x05;
inline constexpr uint8_t kInfo = 0x08;
inline constexpr uint8_t kSelectBProtocol = 0x41;
inline constexpr uint8_t kFacility = 0x80;
inline constexpr uint8_t kConnectB3 = 0x82;
inline constexpr uint8_t kConnectB3Active = 0x83;
inline constexpr uint8_t kDisconnectB3 = 0x84;
inline constexpr uint8_t kDataB3 = 0x86;
inline constexpr uint8_t kResetB3 = 0x87;
inline constexpr uint8_t kManufacturerCommand = 0xFF;

// Subcommands.
inline constexpr uint8_t kReq = 0x80;
inline constexpr uint8_t kConf = 0x81;
inline constexpr uint8_t kInd = 0x82;
inline constexpr uint8_t kResp = 0x83;

// Info values of confirmations (class 0x2xxx: the message was not
// accepted in this state; 0x3xxx: the parameters were not).
inline constexpr uint16_t kInfoOk = 0x0000;
inline constexpr uint16_t kInfoWrongState = 0x2001;
inline constexpr uint16_t kInfoIllegalAddress = 0x2002;  // controller, PLCI or NCCI
inline constexpr uint16_t kInfoOutOfPlci = 0x2003;
inline constexpr uint16_t kInfoDataLengthNotSupported = 0x300C;

// Offsets of fixed parameters inside messages (after the 8-byte header).
inline constexpr uint32_t kAddressOffset = 8;  // Controller/PLCI/NCCI, u32
inline constexpr uint32_t kDataB3DataOffset = 12;
inline constexpr uint32_t kDataB3LengthOffset = 16;
inline constexpr uint32_t kDataB3HandleOffset = 18;
inline constexpr uint32_t kDataB3FlagsOffset = 20;
inline constexpr uint32_t kDataB3Bytes = 22;

}  // namespace sim

// The test client of capisim.sys: a kernel-mode CAPI application for the
// Wine job, driven from user mode by capiapp.exe (`app NAME open kernel`).
// Under Wine a driver cannot open another driver's device in its own
// driver host through the documented calls (windows/wine/DIFFERENCES.md
// 14), so the provider driver carries the client itself: its device
// \Device\CapiSimClient takes, by I/O control, what a kernel-mode client
// would send, and sends it to the top of \Device\CAPI201's stack from
// kernel mode: a create, internal I/O controls with kernel buffers behind
// Type3InputBuffer and UserBuffer, the cleanup and the close. Every code is
// METHOD_BUFFERED; every answer begins with a ClientResult, the status and
// information of the request sent.
#pragma once

#include <cstdint>

namespace capisim {

inline constexpr wchar_t kClientDeviceName[] = L"\\Device\\CapiSimClient";
inline constexpr wchar_t kClientLinkName[] = L"\\DosDevices\\CapiSimClient";
inline constexpr char16_t kClientObjectPath[] = u"\\??\\CapiSimClient";

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr uint32_t ClientCode(uint32_t function) {
  return (0x22u << 16) | (function << 2);
}
// Opens \Device\CAPI201 from kernel mode for this handle. No input.
inline constexpr uint32_t kClientOpen = ClientCode(0xA00);
// An internal I/O control: input ClientControl, then its input bytes;
// answer: then the output bytes.
inline constexpr uint32_t kClientControl = ClientCode(0xA01);
// CAPI_PUT_MESSAGE with a parameter block of kernel pointers: input
// ClientMessage, then the message and the payload.
inline constexpr uint32_t kClientPut = ClientCode(0xA02);
// CAPI_GET_MESSAGE: answer: then ClientMessage, the message and the payload
// the block pointed to (lengths 0 when none came).
inline constexpr uint32_t kClientGet = ClientCode(0xA03);
// Cleanup and close of the kernel-mode open. No input.
inline constexpr uint32_t kClientClose = ClientCode(0xA04);

struct ClientResult {
  uint32_t status;
  uint32_t information;
};
struct ClientControl {
  uint32_t code;
  uint32_t inputLength;
  uint32_t outputLength;
};
struct ClientMessage {
  uint32_t messageLength;
  uint32_t payloadLength;
};
static_assert(sizeof(ClientResult) == 8 && sizeof(ClientControl) == 12 &&
                  sizeof(ClientMessage) == 8,
              "the client's records as both sides lay them out");

// The most any length may be: a message and the largest DATA_B3 payload.
inline constexpr uint32_t kClientMaxData = 0x12000;

}  // namespace capisim

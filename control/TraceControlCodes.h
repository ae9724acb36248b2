// The control device's I/O control codes and the state word of its state
// request: the one definition that the driver (ControlDevice.h) and the
// control tool (host and Win32 user mode) both compile. Plain constants and
// no kernel or Win32 header, so that either side can include it; the driver
// checks the pieces against the kernel's own CTL_CODE in ControlDevice.h.
#pragma once

#include <stdint.h>

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS):
// input and output share the request's one system buffer.
constexpr uint32_t kTraceControlDeviceType = 0x22;  // FILE_DEVICE_UNKNOWN
constexpr uint32_t kTraceControlAccess = 0;         // FILE_ANY_ACCESS
constexpr uint32_t kTraceControlMethod = 0;         // METHOD_BUFFERED

constexpr uint32_t TraceControlCode(uint32_t function) {
  // cppcheck-suppress badBitmaskCheck ; every field of the layout, the zero ones too
  return (kTraceControlDeviceType << 16) | (kTraceControlAccess << 14) | (function << 2) |
         kTraceControlMethod;
}

// Control requests 0xF0x, value writes 0xF1x, value reads 0xF2x, each in the
// order flags, DATA_B3 bytes, log file, target; the log size limit
// (megabytes) and the older generations kept came last, after the four
// first settings.
constexpr uint32_t IOCTL_TRACE_GET_STATE = TraceControlCode(0xF00);
constexpr uint32_t IOCTL_TRACE_START = TraceControlCode(0xF01);
constexpr uint32_t IOCTL_TRACE_STOP = TraceControlCode(0xF02);
constexpr uint32_t IOCTL_TRACE_SET_FLAGS = TraceControlCode(0xF11);
constexpr uint32_t IOCTL_TRACE_SET_B3BYTES = TraceControlCode(0xF12);
constexpr uint32_t IOCTL_TRACE_SET_LOG = TraceControlCode(0xF13);
constexpr uint32_t IOCTL_TRACE_SET_TARGET = TraceControlCode(0xF14);
constexpr uint32_t IOCTL_TRACE_SET_LOGLIMIT = TraceControlCode(0xF15);
constexpr uint32_t IOCTL_TRACE_SET_LOGKEEP = TraceControlCode(0xF16);
constexpr uint32_t IOCTL_TRACE_GET_FLAGS = TraceControlCode(0xF21);
constexpr uint32_t IOCTL_TRACE_GET_B3BYTES = TraceControlCode(0xF22);
constexpr uint32_t IOCTL_TRACE_GET_LOG = TraceControlCode(0xF23);
constexpr uint32_t IOCTL_TRACE_GET_TARGET = TraceControlCode(0xF24);
constexpr uint32_t IOCTL_TRACE_GET_LOGLIMIT = TraceControlCode(0xF25);
constexpr uint32_t IOCTL_TRACE_GET_LOGKEEP = TraceControlCode(0xF26);

// The published numbers: a tool built against an older driver sends these.
static_assert(IOCTL_TRACE_GET_STATE == 0x223C00, "IOCTL_TRACE_GET_STATE");
static_assert(IOCTL_TRACE_START == 0x223C04, "IOCTL_TRACE_START");
static_assert(IOCTL_TRACE_STOP == 0x223C08, "IOCTL_TRACE_STOP");
static_assert(IOCTL_TRACE_SET_FLAGS == 0x223C44, "IOCTL_TRACE_SET_FLAGS");
static_assert(IOCTL_TRACE_SET_B3BYTES == 0x223C48, "IOCTL_TRACE_SET_B3BYTES");
static_assert(IOCTL_TRACE_SET_LOG == 0x223C4C, "IOCTL_TRACE_SET_LOG");
static_assert(IOCTL_TRACE_SET_TARGET == 0x223C50, "IOCTL_TRACE_SET_TARGET");
static_assert(IOCTL_TRACE_SET_LOGLIMIT == 0x223C54, "IOCTL_TRACE_SET_LOGLIMIT");
static_assert(IOCTL_TRACE_SET_LOGKEEP == 0x223C58, "IOCTL_TRACE_SET_LOGKEEP");
static_assert(IOCTL_TRACE_GET_FLAGS == 0x223C84, "IOCTL_TRACE_GET_FLAGS");
static_assert(IOCTL_TRACE_GET_B3BYTES == 0x223C88, "IOCTL_TRACE_GET_B3BYTES");
static_assert(IOCTL_TRACE_GET_LOG == 0x223C8C, "IOCTL_TRACE_GET_LOG");
static_assert(IOCTL_TRACE_GET_TARGET == 0x223C90, "IOCTL_TRACE_GET_TARGET");
static_assert(IOCTL_TRACE_GET_LOGLIMIT == 0x223C94, "IOCTL_TRACE_GET_LOGLIMIT");
static_assert(IOCTL_TRACE_GET_LOGKEEP == 0x223C98, "IOCTL_TRACE_GET_LOGKEEP");

// Whether request summaries carry the requester's process and thread ids
// (Pellinor_Caller, 0 or 1): a write 0xF17 and a read 0xF27, after the six
// settings above. A driver older than it answers STATUS_NOT_IMPLEMENTED.
constexpr uint32_t IOCTL_TRACE_SET_CALLER = TraceControlCode(0xF17);
constexpr uint32_t IOCTL_TRACE_GET_CALLER = TraceControlCode(0xF27);
static_assert(IOCTL_TRACE_SET_CALLER == 0x223C5C, "IOCTL_TRACE_SET_CALLER");
static_assert(IOCTL_TRACE_GET_CALLER == 0x223C9C, "IOCTL_TRACE_GET_CALLER");

// Whether the messages of a user-mode caller's CAPI_PUT_MESSAGE and
// CAPI_GET_MESSAGE I/O controls are copied into the log
// (Pellinor_UserMessages, 0 or 1): a write 0xF18 and a read 0xF28, after
// the caller ids. A driver older than it answers STATUS_NOT_IMPLEMENTED.
constexpr uint32_t IOCTL_TRACE_SET_USERMESSAGES = TraceControlCode(0xF18);
constexpr uint32_t IOCTL_TRACE_GET_USERMESSAGES = TraceControlCode(0xF28);
static_assert(IOCTL_TRACE_SET_USERMESSAGES == 0x223C60, "IOCTL_TRACE_SET_USERMESSAGES");
static_assert(IOCTL_TRACE_GET_USERMESSAGES == 0x223CA0, "IOCTL_TRACE_GET_USERMESSAGES");

// What the driver tells of itself, 0xF3x: its name, version and build date
// (the first line of its banner) as a zero-terminated 8-bit string. Added
// after the codes above, which stay as they were; a driver older than it
// answers STATUS_NOT_IMPLEMENTED.
constexpr uint32_t IOCTL_TRACE_GET_VERSION = TraceControlCode(0xF30);
static_assert(IOCTL_TRACE_GET_VERSION == 0x223CC0, "IOCTL_TRACE_GET_VERSION");

// The state word of IOCTL_TRACE_GET_STATE.
constexpr uint32_t TRACE_STATE_NONE = 0;     // no trace device
constexpr uint32_t TRACE_STATE_RUNNING = 1;  // the trace device traces
constexpr uint32_t TRACE_STATE_STOPPED = 2;  // the trace device exists, quiet

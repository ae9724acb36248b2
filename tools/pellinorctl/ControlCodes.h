// The control device's I/O controls as the tool sends them: device type 0x22
// (FILE_DEVICE_UNKNOWN), buffered, any access. Control requests in the 0xF0x
// functions, value writes in 0xF1x and value reads in 0xF2x, each in the order
// flags, DATA_B3 bytes, log file, target, log size limit.
#pragma once

#include <cstdint>

namespace pellinorctl {

constexpr uint32_t ControlCode(uint32_t function) {
  // CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
  return (0x22u << 16) | (0u << 14) | (function << 2) | 0u;
}

constexpr uint32_t IOCTL_TRACE_GET_STATE = ControlCode(0xF00);
constexpr uint32_t IOCTL_TRACE_START = ControlCode(0xF01);
constexpr uint32_t IOCTL_TRACE_STOP = ControlCode(0xF02);
constexpr uint32_t IOCTL_TRACE_SET_FLAGS = ControlCode(0xF11);
constexpr uint32_t IOCTL_TRACE_SET_B3BYTES = ControlCode(0xF12);
constexpr uint32_t IOCTL_TRACE_SET_LOG = ControlCode(0xF13);
constexpr uint32_t IOCTL_TRACE_SET_TARGET = ControlCode(0xF14);
constexpr uint32_t IOCTL_TRACE_SET_LOGLIMIT = ControlCode(0xF15);
constexpr uint32_t IOCTL_TRACE_GET_FLAGS = ControlCode(0xF21);
constexpr uint32_t IOCTL_TRACE_GET_B3BYTES = ControlCode(0xF22);
constexpr uint32_t IOCTL_TRACE_GET_LOG = ControlCode(0xF23);
constexpr uint32_t IOCTL_TRACE_GET_TARGET = ControlCode(0xF24);
constexpr uint32_t IOCTL_TRACE_GET_LOGLIMIT = ControlCode(0xF25);

static_assert(IOCTL_TRACE_GET_STATE == 0x223C00, "IOCTL_TRACE_GET_STATE");
static_assert(IOCTL_TRACE_START == 0x223C04, "IOCTL_TRACE_START");
static_assert(IOCTL_TRACE_STOP == 0x223C08, "IOCTL_TRACE_STOP");
static_assert(IOCTL_TRACE_SET_FLAGS == 0x223C44, "IOCTL_TRACE_SET_FLAGS");
static_assert(IOCTL_TRACE_SET_B3BYTES == 0x223C48, "IOCTL_TRACE_SET_B3BYTES");
static_assert(IOCTL_TRACE_SET_LOG == 0x223C4C, "IOCTL_TRACE_SET_LOG");
static_assert(IOCTL_TRACE_SET_TARGET == 0x223C50, "IOCTL_TRACE_SET_TARGET");
static_assert(IOCTL_TRACE_GET_FLAGS == 0x223C84, "IOCTL_TRACE_GET_FLAGS");
static_assert(IOCTL_TRACE_GET_B3BYTES == 0x223C88, "IOCTL_TRACE_GET_B3BYTES");
static_assert(IOCTL_TRACE_GET_LOG == 0x223C8C, "IOCTL_TRACE_GET_LOG");
static_assert(IOCTL_TRACE_GET_TARGET == 0x223C90, "IOCTL_TRACE_GET_TARGET");
static_assert(IOCTL_TRACE_SET_LOGLIMIT == 0x223C54, "IOCTL_TRACE_SET_LOGLIMIT");
static_assert(IOCTL_TRACE_GET_LOGLIMIT == 0x223C94, "IOCTL_TRACE_GET_LOGLIMIT");

// The state word of IOCTL_TRACE_GET_STATE.
constexpr uint32_t TRACE_STATE_NONE = 0;
constexpr uint32_t TRACE_STATE_RUNNING = 1;
constexpr uint32_t TRACE_STATE_STOPPED = 2;

// The name under which user mode opens the control device.
constexpr const char kControlDevicePath[] = "\\\\.\\PellinorWin32CTL";

// The kernel service that install registers and uninstall removes.
constexpr const char kServiceName[] = "Pellinor";
constexpr const char kServiceDisplayName[] = "Pellinor CAPI trace driver";
// Relative to the system root, as the kernel resolves a driver's image path.
constexpr const char kServiceImagePath[] = "System32\\drivers\\pellinor.sys";
constexpr uint32_t kServiceTypeKernelDriver = 1;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceStartAuto = 2;
constexpr uint32_t kServiceStartDemand = 3;

}  // namespace pellinorctl

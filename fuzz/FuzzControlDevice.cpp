// Fuzz target for the control device's Dispatch: device I/O controls with
// arbitrary codes, input and output lengths and contents, sent from user mode
// through the emulated I/O manager (buffered I/O: a system buffer of the
// larger length; METHOD_NEITHER and direct codes carry user addresses the
// device must not touch). The driver is loaded once per process with its
// registry in memory; the emulated kernel stops the process on a claim of
// more output bytes than the caller's buffer holds, on a dereference of user
// memory and on a leaked or overrun pool block.
//
// Besides, every answer is checked: a refused request (an error status)
// changes no registry value, and the stored flags and DATA_B3 byte limit
// stay within their limits.
//
// Input:
//   0       code: below 0xC0 one of the device's codes; 0xC0-0xDF one of
//           them with the method bits replaced; 0xE0 and above, bytes 1-4
//   1-4     an arbitrary code
//   5-6     input length, 7-8 output length
//   9       bit 0: the input length is the content's size; bits 2 and 3:
//           input and output lengths over the whole range (else up to 255)
//   10-     input content
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emu/Io.h"
#include "emu/Registry.h"

#include <ntddk.h>

#include "control/ControlDevice.h"
#include "control/TraceSettings.h"
#include "framework/EntryPoints.h"
#include "framework/Pool.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

constexpr ULONG kCodes[] = {
    IOCTL_TRACE_GET_STATE, IOCTL_TRACE_STOP,        IOCTL_TRACE_SET_FLAGS,
    IOCTL_TRACE_SET_B3BYTES, IOCTL_TRACE_SET_LOG,   IOCTL_TRACE_SET_TARGET,
    IOCTL_TRACE_GET_FLAGS, IOCTL_TRACE_GET_B3BYTES, IOCTL_TRACE_GET_LOG,
    IOCTL_TRACE_GET_TARGET, IOCTL_TRACE_SET_LOGLIMIT, IOCTL_TRACE_GET_LOGLIMIT,
    IOCTL_TRACE_SET_LOGKEEP, IOCTL_TRACE_GET_LOGKEEP,
    IOCTL_TRACE_SET_CALLER, IOCTL_TRACE_GET_CALLER,
    IOCTL_TRACE_SET_USERMESSAGES, IOCTL_TRACE_GET_USERMESSAGES,
    IOCTL_TRACE_GET_VERSION, TraceControlCode(0xF03), TraceControlCode(0xF20),
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
// More than a counted string's 16-bit capacity, so that its wrap is tried.
constexpr ULONG kMaxLength = 0x10100;

HANDLE handle = nullptr;

uint32_t Dword(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

// Demand start (no tracing at load, so no trace device and no log), and
// IOCTL_TRACE_START left out of the chosen codes: a start would look for a
// CAPI device on every run (an arbitrary code may still be a start, which
// fails for want of the device). The state of the driver is the registry
// alone.
void LoadOnce() {
  emu::Registry::Clear();
  emu::Registry::SetDword(kService, u"Start", 3);
  PDRIVER_OBJECT driver = nullptr;
  if (emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver) != STATUS_SUCCESS)
    __builtin_trap();
  if (emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &handle) != STATUS_SUCCESS)
    __builtin_trap();
}

bool StoredDword(const std::u16string& name, uint32_t* value) {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!emu::Registry::GetValue(kService, name, &type, &data))
    return false;
  if (type != REG_DWORD || data.size() != 4)
    __builtin_trap();
  *value = Dword(data.data());
  return true;
}

// The values the control device reads and writes, as stored.
std::vector<std::vector<uint8_t>> Settings() {
  std::vector<std::vector<uint8_t>> values;
  for (const char16_t* name : {u"Start", u"Pellinor_Flags", u"Pellinor_B3Bytes", u"Pellinor_Log",
                               u"Pellinor_Target", u"Pellinor_LogLimit", u"Pellinor_LogKeep",
                               u"Pellinor_Caller", u"Pellinor_UserMessages"}) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (emu::Registry::GetValue(kService, name, &type, &data))
      data.push_back(uint8_t(type));
    values.push_back(data);
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool loaded = (LoadOnce(), true);
  (void)loaded;
  if (size < 10)
    return 0;
  ULONG code;
  if (data[0] < 0xC0) {
    code = kCodes[data[0] % kCodeCount];
  } else if (data[0] < 0xE0) {
    code = (kCodes[data[0] % kCodeCount] & ~ULONG(3)) | (data[0] & 3);
  } else {
    code = Dword(data + 1);
  }
  std::vector<uint8_t> input(data + 10, data + size);
  // Lengths up to 255 unless bit 2 (input) or bit 3 (output) of byte 9
  // asks for the whole range: every large request costs the I/O manager a
  // copy in and out of user memory.
  ULONG inputLength = (data[9] & 1) ? ULONG(input.size())
                                    : (ULONG(data[5]) | ULONG(data[6]) << 8) * 2 % kMaxLength;
  ULONG outputLength = (ULONG(data[7]) | ULONG(data[8]) << 8) * 2 % kMaxLength;
  if (!(data[9] & 5))
    inputLength &= 0xFF;
  if (!(data[9] & 8))
    outputLength &= 0xFF;
  if (input.size() < inputLength)
    input.resize(inputLength, data[9]);
  std::vector<uint8_t> output(outputLength, 0xEE);

  const std::vector<std::vector<uint8_t>> before = Settings();
  emu::IoResult result =
      emu::DeviceIoControl(handle, code, inputLength != 0 ? input.data() : nullptr, inputLength,
                           outputLength != 0 ? output.data() : nullptr, outputLength);
  bool error = (ULONG(result.status) >> 30) == 3;
  // Start and stop write the Start value whatever their status.
  bool startOrStop = code == IOCTL_TRACE_START || code == IOCTL_TRACE_STOP;
  if (error && !startOrStop && Settings() != before)
    __builtin_trap();  // a refused request changed the settings
  uint32_t value;
  if (StoredDword(u"Pellinor_Flags", &value) && value != MaskFlagsValue(value))
    __builtin_trap();
  if (StoredDword(u"Pellinor_B3Bytes", &value) && value > MAX_DATA_B3_BYTES_LIMIT)
    __builtin_trap();
  if (StoredDword(u"Pellinor_LogLimit", &value) && value > MAX_LOG_LIMIT_MB)
    __builtin_trap();
  if (StoredDword(u"Pellinor_LogKeep", &value) && value != LimitLogKeepValue(value))
    __builtin_trap();
  if (StoredDword(u"Pellinor_Caller", &value) && value > 1)
    __builtin_trap();
  if (StoredDword(u"Pellinor_UserMessages", &value) && value > 1)
    __builtin_trap();
  return 0;
}

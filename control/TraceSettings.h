// The settings word that a trace device holds and copies into every trace
// record: trace flags in the low 16 bits, MaxDataB3Bytes (0 to 32) in bits
// 16 to 23, TRACE_USER_MESSAGES in bit 31; and the registry values it is
// built from.
#pragma once

#include <ntddk.h>

typedef ULONG TraceSettings;

constexpr ULONG TRACE_CAPI_MESSAGES = 0x0001;
constexpr ULONG TRACE_CAPI_FUNCTIONS = 0x0002;
constexpr ULONG TRACE_DETAILS = 0x0010;
constexpr ULONG TRACE_ALL_REQUESTS = 0x0020;
constexpr ULONG TRACE_NO_TIMESTAMP = 0x0100;
constexpr ULONG TRACE_HIDE_MANU_MESSAGES = 0x0200;
constexpr ULONG TRACE_HIDE_USER_MODE = 0x0800;
// The requester's process and thread ids in each request's summary line.
// Never from Pellinor_Flags (SETTINGS_FLAG_MASK clears the bit there): only
// Pellinor_Caller sets it, and only on a system that tells the ids.
constexpr ULONG TRACE_CALLER_IDS = 0x0400;
// The messages of user-mode callers that put and get them with the CAPI I/O
// controls, copied from the caller's memory under an exception frame. In
// the high half: every bit of the low half is either Pellinor_Flags's or
// cleared from it for good, and Pellinor_Flags must not reach this one.
// Only Pellinor_UserMessages sets it, and only on NT.
constexpr ULONG TRACE_USER_MESSAGES = 0x80000000;

// Clears TRACE_DETAILS, TRACE_ALL_REQUESTS, TRACE_NO_TIMESTAMP and
// TRACE_CALLER_IDS: Pellinor_Flags can never switch them on.
constexpr ULONG SETTINGS_FLAG_MASK = 0xFACF;
static_assert((SETTINGS_FLAG_MASK ^ 0xFFFF) ==
                  (TRACE_DETAILS | TRACE_ALL_REQUESTS | TRACE_NO_TIMESTAMP | TRACE_CALLER_IDS),
              "SETTINGS_FLAG_MASK clears exactly these bits");

constexpr ULONG DEFAULT_TRACE_FLAGS = TRACE_CAPI_MESSAGES | TRACE_CAPI_FUNCTIONS;
constexpr ULONG MAX_DATA_B3_BYTES_LIMIT = 32;
constexpr ULONG DEFAULT_MAX_DATA_B3_BYTES = 32;

// Registry values of the driver's service key.
#define START_VALUE_NAME L"Start"
#define FLAGS_VALUE_NAME L"Pellinor_Flags"
#define B3_BYTES_VALUE_NAME L"Pellinor_B3Bytes"
#define LOG_VALUE_NAME L"Pellinor_Log"
#define TARGET_VALUE_NAME L"Pellinor_Target"
#define LOG_LIMIT_VALUE_NAME L"Pellinor_LogLimit"
#define LOG_KEEP_VALUE_NAME L"Pellinor_LogKeep"
#define CALLER_VALUE_NAME L"Pellinor_Caller"
#define USER_MESSAGES_VALUE_NAME L"Pellinor_UserMessages"
#define DEFAULT_LOG_PATH L"C:\\Pellinor.log"
#define DEFAULT_TARGET_NAME L"CAPI201"

// The size callers give DescribeSettings; the text is at most 168 characters
// (124 without the caller ids and user messages lines, 22 each).
constexpr ULONG SETTINGS_TEXT_SIZE = 300;

constexpr ULONG SettingsFlags(TraceSettings settings) {
  return settings & 0xFFFF;
}
constexpr ULONG MaxDataB3Bytes(TraceSettings settings) {
  return (settings >> 16) & 0xFF;
}

// What a Pellinor_Flags value becomes when it is stored or read: the low 16
// bits masked, the upper 16 bits kept as they are (they are never used).
constexpr ULONG MaskFlagsValue(ULONG value) {
  return value & (0xFFFF0000 | SETTINGS_FLAG_MASK);
}
// What a Pellinor_B3Bytes value becomes: at most 32.
constexpr ULONG LimitB3BytesValue(ULONG value) {
  return value > MAX_DATA_B3_BYTES_LIMIT ? MAX_DATA_B3_BYTES_LIMIT : value;
}

// The log size limit in megabytes: 0 (or a missing value) is no limit, and
// no value reads as more than MAX_LOG_LIMIT_MB.
constexpr ULONG MAX_LOG_LIMIT_MB = 4095;
constexpr ULONG DEFAULT_LOG_LIMIT_MB = 0;
// What a Pellinor_LogLimit value becomes when it is stored or read.
constexpr ULONG LimitLogLimitValue(ULONG value) {
  return value > MAX_LOG_LIMIT_MB ? MAX_LOG_LIMIT_MB : value;
}

// How many older generations of a size-limited log are kept (NAME.old,
// then NAME.old.2 and so on, newest first): at least one, at most
// MAX_LOG_KEEP. A missing value keeps one, as the driver always did.
constexpr ULONG MAX_LOG_KEEP = 9;
constexpr ULONG DEFAULT_LOG_KEEP = 1;
// What a Pellinor_LogKeep value becomes when it is stored or read: 0 keeps
// one too (a rotation that kept nothing would lose the start of the calls).
constexpr ULONG LimitLogKeepValue(ULONG value) {
  if (value < 1)
    return 1;
  return value > MAX_LOG_KEEP ? MAX_LOG_KEEP : value;
}

// Pellinor_Caller: 0 (or a missing value) leaves the caller ids out of the
// log, anything else puts them in; stored and read as 0 or 1.
constexpr ULONG DEFAULT_CALLER_IDS = 0;
constexpr ULONG LimitCallerValue(ULONG value) {
  return value != 0 ? 1 : 0;
}

// Pellinor_UserMessages: 0 (or a missing value) leaves a user-mode
// caller's CAPI_PUT_MESSAGE and CAPI_GET_MESSAGE I/O controls with their
// parameter block alone, anything else copies the messages they point to;
// stored and read as 0 or 1.
constexpr ULONG DEFAULT_USER_MESSAGES = 0;
constexpr ULONG LimitUserMessagesValue(ULONG value) {
  return value != 0 ? 1 : 0;
}

// Read Pellinor_LogLimit (0 when the value is missing) and Pellinor_LogKeep
// (1 when it is missing), limited as above; read with the other settings
// when a trace device is built. PASSIVE_LEVEL. A value that is there but
// cannot be read fails the read: a start must not go ahead with a default
// in place of what the user stored.
NTSTATUS LoadLogLimit(ULONG* megabytes);
NTSTATUS LoadLogKeep(ULONG* generations);

// Reads Pellinor_Flags and Pellinor_B3Bytes (defaults 3 and 32 when missing)
// into a settings word, with TRACE_CALLER_IDS when Pellinor_Caller asks for
// it and the system tells the ids (SystemRoutines::HasCallerIds), and with
// TRACE_USER_MESSAGES when Pellinor_UserMessages asks for it and the driver
// can copy user memory (SystemRoutines::CanCopyUserMemory).
// PASSIVE_LEVEL; fails as the reads above.
NTSTATUS LoadTraceSettings(TraceSettings* settings);

// Writes the "Settings:" text of a settings word into `text` (room for
// SETTINGS_TEXT_SIZE characters) and returns its length without the NUL.
ULONG DescribeSettings(TraceSettings settings, char* text);

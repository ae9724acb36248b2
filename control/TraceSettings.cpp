#include "control/TraceSettings.h"

#include "framework/RegistryValue.h"
#include "framework/SystemRoutines.h"

namespace {

NTSTATUS ReadNumber(PCWSTR name, ULONG defaultValue, ULONG* number) {
  RegistryValue value;
  value.SetKey(NULL);
  bool present = false;
  NTSTATUS status = value.QuerySetting(name, &present);
  if (!NT_SUCCESS(status))
    return status;
  *number = present ? value.DwordValue() : defaultValue;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS LoadTraceSettings(TraceSettings* settings) {
  ULONG flags = 0;
  NTSTATUS status = ReadNumber(FLAGS_VALUE_NAME, DEFAULT_TRACE_FLAGS, &flags);
  if (!NT_SUCCESS(status))
    return status;
  ULONG b3Bytes = 0;
  status = ReadNumber(B3_BYTES_VALUE_NAME, DEFAULT_MAX_DATA_B3_BYTES, &b3Bytes);
  if (!NT_SUCCESS(status))
    return status;
  ULONG caller = 0;
  status = ReadNumber(CALLER_VALUE_NAME, DEFAULT_CALLER_IDS, &caller);
  if (!NT_SUCCESS(status))
    return status;
  ULONG userMessages = 0;
  status = ReadNumber(USER_MESSAGES_VALUE_NAME, DEFAULT_USER_MESSAGES, &userMessages);
  if (!NT_SUCCESS(status))
    return status;
  *settings = (LimitB3BytesValue(b3Bytes) << 16) | (flags & SETTINGS_FLAG_MASK & 0xFFFF);
  // Windows 98/Me give no lookup of the id routines: the setting is stored
  // but has no effect there, and the settings text does not claim it.
  if (LimitCallerValue(caller) != 0 && SystemRoutines::HasCallerIds())
    *settings |= TRACE_CALLER_IDS;
  // Copying a user-mode caller's memory needs the current thread (is this
  // the requester's address space?) and the user range's bound: NT only.
  // Elsewhere the setting is stored and the messages stay uncopied.
  if (LimitUserMessagesValue(userMessages) != 0 && SystemRoutines::CanCopyUserMemory())
    *settings |= TRACE_USER_MESSAGES;
  return STATUS_SUCCESS;
}

NTSTATUS LoadLogLimit(ULONG* megabytes) {
  NTSTATUS status = ReadNumber(LOG_LIMIT_VALUE_NAME, DEFAULT_LOG_LIMIT_MB, megabytes);
  if (NT_SUCCESS(status))
    *megabytes = LimitLogLimitValue(*megabytes);
  return status;
}

NTSTATUS LoadLogKeep(ULONG* generations) {
  NTSTATUS status = ReadNumber(LOG_KEEP_VALUE_NAME, DEFAULT_LOG_KEEP, generations);
  if (NT_SUCCESS(status))
    *generations = LimitLogKeepValue(*generations);
  return status;
}

ULONG DescribeSettings(TraceSettings settings, char* text) {
  int n = 0;
  n += sprintf(text + n, "Settings:\n");
  n +=
      sprintf(text + n, "  CAPI functions: %s\n", (settings & TRACE_CAPI_FUNCTIONS) ? "YES" : "NO");
  n += sprintf(text + n, "  CAPI messages:  %s\n", (settings & TRACE_CAPI_MESSAGES) ? "YES" : "NO");
  n += sprintf(text + n, "  MaxDataB3Bytes: ");
  n += sprintf(text + n, "%d\n", int(MaxDataB3Bytes(settings)));
  n += sprintf(text + n, "  CAPI ManuMessages:   %s\n",
               (settings & TRACE_HIDE_MANU_MESSAGES) ? "NO" : "YES");
  n +=
      sprintf(text + n, "  UserMode Appls: %s\n", (settings & TRACE_HIDE_USER_MODE) ? "NO" : "YES");
  if (settings & TRACE_CALLER_IDS)
    n += sprintf(text + n, "  Caller ids:     YES\n");
  if (settings & TRACE_USER_MESSAGES)
    n += sprintf(text + n, "  User messages:  YES\n");
  return ULONG(n);
}

#include "control/TraceSettings.h"

#include "framework/RegistryValue.h"

namespace {

ULONG ReadNumber(PCWSTR name, ULONG defaultValue) {
  RegistryValue value;
  value.SetKey(NULL);
  if (!NT_SUCCESS(value.Query(name)))
    return defaultValue;
  return value.DwordValue();
}

}  // namespace

TraceSettings LoadTraceSettings() {
  ULONG flags = ReadNumber(FLAGS_VALUE_NAME, DEFAULT_TRACE_FLAGS);
  ULONG b3Bytes = LimitB3BytesValue(ReadNumber(B3_BYTES_VALUE_NAME, DEFAULT_MAX_DATA_B3_BYTES));
  return (b3Bytes << 16) | (flags & SETTINGS_FLAG_MASK & 0xFFFF);
}

ULONG LoadLogLimit() {
  return LimitLogLimitValue(ReadNumber(LOG_LIMIT_VALUE_NAME, DEFAULT_LOG_LIMIT_MB));
}

ULONG LoadLogKeep() {
  return LimitLogKeepValue(ReadNumber(LOG_KEEP_VALUE_NAME, DEFAULT_LOG_KEEP));
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
  return ULONG(n);
}

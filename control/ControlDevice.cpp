#include "control/ControlDevice.h"

#include "control/ControlAccess.h"
#include "control/DriverIdentity.h"
#include "control/TraceSettings.h"
#include "framework/RegistryValue.h"
#include "framework/RequestView.h"
#include "framework/SystemRoutines.h"
#include "framework/TraceDriver.h"

namespace {

constexpr ULONG START_AUTOMATIC = 2;  // trace from the next load on
constexpr ULONG START_SYSTEM = 1;     // load at boot, without tracing

// A number travels as 4 little-endian bytes at the start of the buffer.
constexpr ULONG NUMBER_LENGTH = sizeof(ULONG);

// The longest 8-bit string a counted string can describe.
constexpr ULONG MAX_COUNTED_CHARS = 0xFFFE;

enum ValueKind : UCHAR { WRITE_NUMBER, WRITE_STRING, READ_NUMBER, READ_STRING };

constexpr ULONG LimitB3Bytes(ULONG value) {
  // 0xFFFF first, as the 16-bit field of the settings word would, then 32.
  return LimitB3BytesValue(value > 0xFFFF ? 0xFFFF : value);
}

TraceDriver* Owner() {
  return static_cast<TraceDriver*>(theDriver);
}

ULONG ReadNumber(const UCHAR* buffer) {
  return ULONG(buffer[0]) | ULONG(buffer[1]) << 8 | ULONG(buffer[2]) << 16 |
         ULONG(buffer[3]) << 24;
}

void WriteNumber(UCHAR* buffer, ULONG value) {
  for (ULONG i = 0; i < NUMBER_LENGTH; ++i) buffer[i] = UCHAR(value >> (8 * i));
}

// The "Start" value decides whether tracing begins at the next load. Its
// write's status is not the request's: the start or stop itself happened.
void WriteStartValue(ULONG start) {
  RegistryValue value;
  value.SetKey(NULL);
  value.WriteDword(START_VALUE_NAME, start);
}

// One value of the service key that the control device reads or writes.
struct ValueRequest {
  ULONG code;
  ValueKind kind;
  PCWSTR valueName;
  // Reads: what a missing or unreadable value gives.
  ULONG defaultNumber;
  PCWSTR defaultText;
  // Numbers: applied before a write and after a read.
  ULONG (*limit)(ULONG);
};

constexpr ValueRequest valueRequests[] = {
    {IOCTL_TRACE_SET_FLAGS, WRITE_NUMBER, FLAGS_VALUE_NAME, 0, NULL, MaskFlagsValue},
    {IOCTL_TRACE_SET_B3BYTES, WRITE_NUMBER, B3_BYTES_VALUE_NAME, 0, NULL, LimitB3Bytes},
    {IOCTL_TRACE_SET_LOG, WRITE_STRING, LOG_VALUE_NAME, 0, NULL, NULL},
    {IOCTL_TRACE_SET_TARGET, WRITE_STRING, TARGET_VALUE_NAME, 0, NULL, NULL},
    // Stored limited, as B3Bytes is: the caller sees the megabytes that will
    // be in force, and the registry never holds what the reader would change.
    {IOCTL_TRACE_SET_LOGLIMIT, WRITE_NUMBER, LOG_LIMIT_VALUE_NAME, 0, NULL, LimitLogLimitValue},
    {IOCTL_TRACE_SET_LOGKEEP, WRITE_NUMBER, LOG_KEEP_VALUE_NAME, 0, NULL, LimitLogKeepValue},
    {IOCTL_TRACE_GET_FLAGS, READ_NUMBER, FLAGS_VALUE_NAME, DEFAULT_TRACE_FLAGS, NULL,
     MaskFlagsValue},
    {IOCTL_TRACE_GET_B3BYTES, READ_NUMBER, B3_BYTES_VALUE_NAME, DEFAULT_MAX_DATA_B3_BYTES, NULL,
     LimitB3Bytes},
    {IOCTL_TRACE_GET_LOG, READ_STRING, LOG_VALUE_NAME, 0, DEFAULT_LOG_PATH, NULL},
    {IOCTL_TRACE_GET_TARGET, READ_STRING, TARGET_VALUE_NAME, 0, DEFAULT_TARGET_NAME, NULL},
    // A value stored by hand above the limit reads as the writer uses it.
    {IOCTL_TRACE_GET_LOGLIMIT, READ_NUMBER, LOG_LIMIT_VALUE_NAME, DEFAULT_LOG_LIMIT_MB, NULL,
     LimitLogLimitValue},
    {IOCTL_TRACE_GET_LOGKEEP, READ_NUMBER, LOG_KEEP_VALUE_NAME, DEFAULT_LOG_KEEP, NULL,
     LimitLogKeepValue},
    {IOCTL_TRACE_SET_CALLER, WRITE_NUMBER, CALLER_VALUE_NAME, 0, NULL, LimitCallerValue},
    {IOCTL_TRACE_GET_CALLER, READ_NUMBER, CALLER_VALUE_NAME, DEFAULT_CALLER_IDS, NULL,
     LimitCallerValue},
    {IOCTL_TRACE_SET_USERMESSAGES, WRITE_NUMBER, USER_MESSAGES_VALUE_NAME, 0, NULL,
     LimitUserMessagesValue},
    {IOCTL_TRACE_GET_USERMESSAGES, READ_NUMBER, USER_MESSAGES_VALUE_NAME, DEFAULT_USER_MESSAGES,
     NULL, LimitUserMessagesValue},
};
static_assert(sizeof(valueRequests) / sizeof(valueRequests[0]) == 16,
              "a write and a read for each of the eight settings");
static_assert(sizeof(ValueRequest) == 24, "ValueRequest layout (i386)");

NTSTATUS WriteNumberValue(const ValueRequest& request, PVOID buffer,
                          ULONG inputLength, ULONG outputLength, ULONG_PTR* information) {
  *information = NUMBER_LENGTH;
  if (buffer == NULL || inputLength < NUMBER_LENGTH)
    return STATUS_INVALID_USER_BUFFER;
  // The limit applies in the buffer itself: the caller gets back what was
  // stored.
  UCHAR* bytes = static_cast<UCHAR*>(buffer);
  ULONG number = request.limit(ReadNumber(bytes));
  WriteNumber(bytes, number);
  // The I/O manager copies `information` bytes into the caller's output
  // buffer: never claim more than it holds.
  if (outputLength < NUMBER_LENGTH)
    *information = 0;
  RegistryValue value;
  value.SetKey(NULL);
  return value.WriteDword(request.valueName, number);
}

NTSTATUS ReadNumberValue(const ValueRequest& request, PVOID buffer,
                         ULONG outputLength, ULONG_PTR* information) {
  *information = NUMBER_LENGTH;
  if (buffer == NULL || outputLength < NUMBER_LENGTH)
    return STATUS_INVALID_USER_BUFFER;
  RegistryValue value;
  value.SetKey(NULL);
  // The default stands for a missing value only: one that is there but
  // cannot be read is a failure, never answered with what is not stored.
  bool present = false;
  NTSTATUS status = value.QuerySetting(request.valueName, &present);
  if (!NT_SUCCESS(status)) {
    *information = 0;
    return status;
  }
  ULONG number = present ? value.DwordValue() : request.defaultNumber;
  WriteNumber(static_cast<UCHAR*>(buffer), request.limit(number));
  return STATUS_SUCCESS;
}

// The caller's string is measured inside the system buffer only (input and
// output share it, so it holds max(input, output) bytes): a string whose
// terminator lies beyond the buffer is refused without a byte read past it.
NTSTATUS WriteStringValue(const ValueRequest& request, PVOID buffer,
                          ULONG inputLength, ULONG outputLength, ULONG_PTR* information) {
  *information = 0;
  if (buffer == NULL)
    return STATUS_INVALID_USER_BUFFER;
  const char* text = static_cast<const char*>(buffer);
  const ULONG bufferLength = inputLength > outputLength ? inputLength : outputLength;
  ULONG length = 0;
  while (length < bufferLength && text[length] != '\0') ++length;
  if (length == bufferLength)
    return STATUS_INVALID_USER_BUFFER;
  *information = length + 1;
  if (inputLength < length + 1)
    return STATUS_INVALID_USER_BUFFER;
  // As for numbers: the I/O manager copies `information` bytes into an
  // output buffer the caller gave, so never claim more than it holds.
  if (outputLength != 0 && outputLength < length + 1)
    *information = 0;
  // A counted string holds at most 0xFFFE characters; the conversion refuses
  // a longer one the same way.
  if (length > MAX_COUNTED_CHARS)
    return STATUS_INVALID_PARAMETER;
  ANSI_STRING ansi;
  ansi.Buffer = const_cast<PCHAR>(text);
  ansi.Length = USHORT(length);
  ansi.MaximumLength = USHORT(length + 1);
  UNICODE_STRING unicode;
  unicode.Length = unicode.MaximumLength = 0;
  unicode.Buffer = NULL;
  NTSTATUS status = RtlAnsiStringToUnicodeString(&unicode, &ansi, TRUE);
  if (!NT_SUCCESS(status))
    return status;
  RegistryValue value;
  value.SetKey(NULL);
  status = value.WriteString(request.valueName, unicode.Buffer);
  RtlFreeUnicodeString(&unicode);
  return status;
}

NTSTATUS ReadStringValue(const ValueRequest& request, PVOID buffer,
                         ULONG outputLength, ULONG_PTR* information) {
  *information = 1;
  if (buffer == NULL)
    return STATUS_INVALID_USER_BUFFER;
  RegistryValue value;
  value.SetKey(NULL);
  bool present = false;
  NTSTATUS read = value.QuerySetting(request.valueName, &present);
  if (!NT_SUCCESS(read)) {
    *information = 0;
    return read;
  }
  UNICODE_STRING unicode;
  RtlInitUnicodeString(&unicode, present ? value.StringValue() : request.defaultText);
  // The capacity is a counted string's: the output length's low 16 bits.
  const USHORT capacity = USHORT(outputLength);
  ANSI_STRING ansi;
  ansi.Buffer = static_cast<PCHAR>(buffer);
  ansi.Length = 0;
  ansi.MaximumLength = capacity;
  NTSTATUS status = RtlUnicodeStringToAnsiString(&ansi, &unicode, FALSE);
  // A string that fills the whole capacity has no room for its terminator:
  // that is an overflow too. What the caller gets back is always a
  // terminated string within its output buffer.
  if (NT_SUCCESS(status) && ansi.Length >= capacity)
    status = STATUS_BUFFER_OVERFLOW;
  if (!NT_SUCCESS(status)) {
    if (capacity == 0) {
      ansi.Length = 0;
    } else if (ansi.Length >= capacity) {
      ansi.Length = USHORT(capacity - 1);
    }
    if (outputLength != 0)
      ansi.Buffer[ansi.Length] = '\0';
  }
  *information = ULONG_PTR(ansi.Length) + 1;
  return status;
}

const ValueRequest* FindValueRequest(ULONG code) {
  for (const ValueRequest& request : valueRequests) {
    if (request.code == code)
      return &request;
  }
  return NULL;
}

}  // namespace

ControlDevice::ControlDevice(NTSTATUS* status)
    : SymlinkDevice(L"PellinorIOCTL", L"PellinorWin32CTL", FILE_DEVICE_UNKNOWN, 0, TRUE,
                    DO_BUFFERED_IO, status),
      shutdownRegistered(false) {}

void ControlDevice::RegisterForShutdown() {
  SystemRoutines::ShutdownNotificationRoutine reg = SystemRoutines::RegisterShutdownNotification();
  if (reg == NULL || shutdownRegistered)
    return;
  shutdownRegistered = NT_SUCCESS(reg(DeviceObject()));
}

void ControlDevice::UnregisterForShutdown() {
  if (!shutdownRegistered)
    return;
  shutdownRegistered = false;
  SystemRoutines::UnregisterShutdownNotification()(DeviceObject());
}

ControlDevice::~ControlDevice() {
  // The base destructors wait for requests in Dispatch, delete the link and
  // then the device object.
}

NTSTATUS ControlDevice::Dispatch(PIRP irp) {
  RequestView view(irp);
  const UCHAR major = view.MajorFunction();
  if (major == IRP_MJ_POWER)
    PoStartNextPowerIrp(irp);
  // Closing a handle changes nothing and always succeeds, also while the
  // device goes away.
  if (major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP) {
    NTSTATUS status = view.SetResult(STATUS_SUCCESS, 0);
    view.Complete();
    return status;
  }
  // The driver's dispatch routine calls Dispatch even when it could not hold
  // the device: once destruction has begun nothing is done any more (a start
  // now would build a trace device after unload destroyed the last one).
  if (!NT_SUCCESS(deviceGuard.Acquire())) {
    NTSTATUS status = view.SetResult(STATUS_DELETE_PENDING, 0);
    view.Complete();
    return status;
  }
  NTSTATUS status;
  ULONG_PTR information = 0;
  // Every user-mode open and control request is checked, not only the open:
  // the codes need no access, and a handle may reach another process.
  if (major == IRP_MJ_CREATE || major == IRP_MJ_DEVICE_CONTROL) {
    status = ControlAccess::Check(irp);
    if (!NT_SUCCESS(status)) {
      deviceGuard.Release();
      view.SetResult(status, 0);
      view.Complete();
      return status;
    }
  }
  switch (major) {
    case IRP_MJ_CREATE:
      // A tool has taken over: the load-time start is not retried again.
      Owner()->StopRetrying();
      status = STATUS_SUCCESS;
      break;
    case IRP_MJ_DEVICE_CONTROL:
      status = DeviceControl(irp, &information);
      break;
    case IRP_MJ_SHUTDOWN:
      // The last moment the log file can still be written.
      Owner()->ShutdownTracing();
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  deviceGuard.Release();
  view.SetResult(status, information);
  view.Complete();
  return status;
}

NTSTATUS ControlDevice::DeviceControl(PIRP irp, ULONG_PTR* information) {
  RequestView view(irp);
  PVOID buffer = view.SystemBuffer();
  const ULONG inputLength = view.InputLength();
  const ULONG outputLength = view.OutputLength();
  *information = 0;
  switch (view.IoControlCode()) {
    case IOCTL_TRACE_GET_STATE:
      if (buffer == NULL || outputLength < NUMBER_LENGTH)
        return STATUS_INVALID_USER_BUFFER;
      WriteNumber(static_cast<UCHAR*>(buffer), Owner()->TraceState());
      *information = NUMBER_LENGTH;
      return STATUS_SUCCESS;
    case IOCTL_TRACE_START: {
      NTSTATUS status = Owner()->RestartTracing();
      WriteStartValue(NT_SUCCESS(status) ? START_AUTOMATIC : START_SYSTEM);
      return status;
    }
    case IOCTL_TRACE_STOP: {
      // Byte 0 of a 4-byte input is the force flag; a shorter input is no
      // error, only no force.
      UCHAR force = 0;
      if (buffer != NULL && inputLength >= NUMBER_LENGTH)
        force = static_cast<const UCHAR*>(buffer)[0];
      WriteStartValue(START_SYSTEM);
      return Owner()->StopTraceDevice(force);
    }
    case IOCTL_TRACE_GET_VERSION:
      // The whole line with its terminator or nothing: a version cut short
      // would read as another one.
      if (buffer == NULL || outputLength < DRIVER_IDENTITY_LENGTH + 1)
        return STATUS_BUFFER_TOO_SMALL;
      RtlCopyMemory(buffer, kDriverIdentity, DRIVER_IDENTITY_LENGTH + 1);
      *information = DRIVER_IDENTITY_LENGTH + 1;
      return STATUS_SUCCESS;
  }
  const ValueRequest* request = FindValueRequest(view.IoControlCode());
  if (request == NULL)
    return STATUS_NOT_IMPLEMENTED;
  switch (request->kind) {
    case WRITE_NUMBER:
      return WriteNumberValue(*request, buffer, inputLength, outputLength, information);
    case WRITE_STRING:
      return WriteStringValue(*request, buffer, inputLength, outputLength, information);
    case READ_NUMBER:
      return ReadNumberValue(*request, buffer, outputLength, information);
    case READ_STRING:
      return ReadStringValue(*request, buffer, outputLength, information);
  }
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CreateControlDevice(ControlDevice** device) {
  *device = NULL;
  NTSTATUS status = STATUS_SUCCESS;
  ControlDevice* created = new ControlDevice(&status);
  if (created == NULL)
    return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) {
    delete created;
    return status;
  }
  created->RegisterForShutdown();
  *device = created;
  return STATUS_SUCCESS;
}

void DestroyControlDevice(ControlDevice* device) {
  if (device == NULL)
    return;
  device->UnregisterForShutdown();
  delete device;
}

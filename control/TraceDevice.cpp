#include "control/TraceDevice.h"

#include "capi/TextFormat.h"
#include "control/DriverIdentity.h"
#include "control/TargetQuery.h"
#include "filter/RequestSelection.h"
#include "framework/Interlocked.h"
#include "framework/Pool.h"
#include "framework/RegistryValue.h"
#include "log/LogWriter.h"
#include "trace/RequestCapture.h"
#include "trace/TraceRecord.h"

namespace {

constexpr ULONG BANNER_SIZE = 800;
constexpr ULONG START_BLOCK_SIZE = 556;
// The start block's area: the block, then the settings text it includes.
constexpr ULONG START_AREA_SIZE = START_BLOCK_SIZE + SETTINGS_TEXT_SIZE;
static_assert(START_AREA_SIZE == 856, "start block area");

#define RULE "--------------------------------------------------------------------------------\n"
static_assert(sizeof(RULE) == 82, "a rule is 80 minus signs and a line end");

// The banner: a rule, the driver's identity (the line the control tool's
// version request also gives), this text, and the target's name in quotes.
const char kBannerIntro[] =
    "\n"
    "\n"
    "Traces CAPI 2.0 requests as they pass; the traced requests are not changed.\n" RULE
    "Tracing CAPI device \"";
const char kBannerTail[] = "\"\n";
static_assert(sizeof(RULE) + DRIVER_IDENTITY_LENGTH + sizeof(kBannerIntro) + sizeof(kBannerTail) <
                  BANNER_SIZE / 2,
              "the banner leaves room for a target name");

const char kStartFormat[] = RULE "Start Tracing\n%s\n" RULE;
const char kStopText[] = RULE "Stop Tracing\n" RULE;
const char kRemovedText[] = RULE "Traced Device Removed\n" RULE;

}  // namespace

TraceDevice::TraceDevice(PCWSTR targetName, TraceSettings initial, NTSTATUS* status)
    : FilterDevice(NULL, targetName, status),
      logWriter(NULL),
      failed(FAILED_NONE),
      settings(LONG(initial)) {
  if (!NT_SUCCESS(*status)) {
    failed = TargetFile() == NULL ? FAILED_TARGET : FAILED_DEVICE_OBJECT;
    return;
  }
  *status = OpenLog();
  if (!NT_SUCCESS(*status))
    return;
  WriteBanner(targetName);
  QueryTarget();
  // A refused attach still hands the device over, with tracing off.
  StartTracing(initial);
}

TraceDevice::~TraceDevice() {
  if (IsTracing())
    StopTracing();
  if (IsAttached())
    Detach();
  RetireDeviceObject();
  // Every Dispatch and every watched request may use the log writer: they
  // end before it goes.
  deviceGuard.ReleaseAndWait();
  if (logWriter != NULL) {
    delete logWriter;
    logWriter = NULL;
  }
}

NTSTATUS TraceDevice::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  // The device below goes away: the filter lets go of it, and nothing of
  // it is traced from here on. Said in the log, where the requests stop,
  // while tracing (it reaches the filter only while attached).
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE &&
      IsTracing())
    QueueText(kRemovedText, true);
  return FilterDevice::Dispatch(irp);
}

NTSTATUS TraceDevice::OpenLog() {
  RegistryValue value;
  value.SetKey(NULL);
  PCWSTR name = NULL;
  failed = FAILED_SETTING;
  NTSTATUS read = value.QueryStringSetting(LOG_VALUE_NAME, DEFAULT_LOG_PATH, &name);
  if (!NT_SUCCESS(read))
    return read;
  ULONG limit = 0;
  read = LoadLogLimit(&limit);
  if (!NT_SUCCESS(read))
    return read;
  ULONG keep = 0;
  read = LoadLogKeep(&keep);
  if (!NT_SUCCESS(read))
    return read;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  // Without a writer nothing could be logged: that is a failure, not a
  // device that silently traces into nothing.
  failed = FAILED_LOG;
  logWriter = new LogWriter(&status, name, limit, keep);
  if (logWriter == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status))
    failed = FAILED_NONE;
  return status;
}

void TraceDevice::QueueText(const char* text, bool timeStamped, TextRole role) {
  if (logWriter == NULL)
    return;
  TraceRecord* record = timeStamped ? makeTextRecord(text, Settings()) : makeTextRecord(text);
  if (record != NULL)
    record->textRole = role;
  // A record that could not be built is counted, and told in the log.
  logWriter->Submit(record);
}

void TraceDevice::WriteBanner(PCWSTR target) {
  char* banner = static_cast<char*>(PoolAlloc(BANNER_SIZE, NonPagedPool));
  if (banner == NULL)
    return;
  FormatResult head = FormatText(banner, BANNER_SIZE, RULE "%s%s", kDriverIdentity, kBannerIntro);
  // The name is cut where it would push the closing quote out of the
  // buffer.
  int room = int(BANNER_SIZE - head.length - sizeof(kBannerTail));
  FormatText(banner + head.length, BANNER_SIZE - head.length, "%.*ls%s", room,
             target != NULL ? target : L"", kBannerTail);
  QueueText(banner, false, TEXT_ROLE_SESSION_BEGIN);
  PoolFree(banner);
}

void TraceDevice::QueryTarget() {
  if (logWriter == NULL || TargetFile() == NULL)
    return;
  queryTargetDevice(LowerDevice(), TargetFile(), DeviceObject(), logWriter, Settings());
}

NTSTATUS TraceDevice::StartTracing(TraceSettings newSettings) {
  EnableTracing();
  if (!IsTracing())
    return STATUS_DELETE_PENDING;
  Interlocked::Exchange(&settings, LONG(newSettings));
  char* area = static_cast<char*>(PoolAlloc(START_AREA_SIZE, NonPagedPool));
  if (area == NULL)
    return STATUS_SUCCESS;
  char* described = area + START_BLOCK_SIZE;
  DescribeSettings(newSettings, described);
  FormatText(area, START_BLOCK_SIZE, kStartFormat, described);
  QueueText(area, true, TEXT_ROLE_TRACING_STARTED);
  PoolFree(area);
  return STATUS_SUCCESS;
}

void TraceDevice::Shutdown() {
  StopTracing();
  if (logWriter != NULL)
    logWriter->Close();
}

NTSTATUS TraceDevice::StopTracing() {
  if (!IsTracing())
    return STATUS_SUCCESS;
  DisableTracing();
  QueueText(kStopText, true, TEXT_ROLE_TRACING_STOPPED);
  return STATUS_SUCCESS;
}

bool TraceDevice::OnRequest(PIRP irp) {
  TraceSettings current = Settings();
  if (irp->RequestorMode == UserMode && (SettingsFlags(current) & TRACE_HIDE_USER_MODE))
    return false;
  bool watch;
  bool capture;
  if (shouldTrace(irp, current)) {
    capture = true;
    watch = true;
  } else {
    capture = carriesCapiMessage(irp, current, false);
    watch = wantsCompletion(irp, current);
  }
  if (capture && logWriter != NULL) {
    logWriter->Submit(captureRequest(irp, current));
  }
  return watch;
}

NTSTATUS TraceDevice::OnCompletion(PIRP irp) {
  TraceSettings current = Settings();
  if (logWriter != NULL && (shouldTrace(irp, current) || carriesCapiMessage(irp, current, true))) {
    logWriter->Submit(captureCompletion(irp, current));
  }
  return STATUS_SUCCESS;
}

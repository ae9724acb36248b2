// The trace device: the filter above the traced CAPI device that records its
// traffic. Tracing, seen from the driver, is the life of one TraceDevice:
// built when tracing is first asked for (it opens the target, starts its log
// writer, writes the banner and the target query, and starts tracing),
// switched off and on again by the control device, and destroyed when
// tracing is stopped for good or the driver unloads.
#pragma once

#include <ntddk.h>

#include "control/TraceSettings.h"
#include "filter/FilterDevice.h"
#include "trace/TraceRecord.h"

class LogWriter;

class TraceDevice : public FilterDevice {
 public:
  // Opens the target (`targetName` as Pellinor_Target names it), the log,
  // writes the banner and the target query and starts tracing with
  // `initial`. *status: the target's or the log's failure, else success
  // (also when the attach is refused: tracing is off then). The creator
  // destroys the object whatever the status. PASSIVE_LEVEL.
  TraceDevice(PCWSTR targetName, TraceSettings initial, NTSTATUS* status);
  // Stops tracing, detaches (waiting for kernel-mode opens to close), waits
  // until no request is dispatched or watched here, and only then shuts the
  // log writer down, which writes everything still queued.
  ~TraceDevice() override;

  // Slot 1: the filter's pass-through; a Plug and Play removal of the
  // traced device is told in the log first.
  NTSTATUS Dispatch(PIRP irp) override;
  // Slot 2: records the request if selected; whether to watch it.
  bool OnRequest(PIRP irp) override;
  // Slot 3: records the completion if selected; always STATUS_SUCCESS.
  NTSTATUS OnCompletion(PIRP irp) override;

  // Starts the log writer on Pellinor_Log (or C:\Pellinor.log).
  NTSTATUS OpenLog();
  // Queues the description of the target; runs once, before attaching.
  void QueryTarget();
  // Attaches if need be, takes the new settings and queues "Start Tracing".
  // STATUS_DELETE_PENDING (settings unchanged) when the attach is refused.
  NTSTATUS StartTracing(TraceSettings newSettings);
  // Queues "Stop Tracing" if tracing was on. Always STATUS_SUCCESS.
  NTSTATUS StopTracing();
  // At system shutdown: stops tracing and closes the log (everything queued,
  // "Stop Tracing" last, is written first). Requests still pass through;
  // what they would record is dropped. PASSIVE_LEVEL.
  void Shutdown();

  TraceSettings Settings() const { return TraceSettings(__atomic_load_n(&settings, __ATOMIC_SEQ_CST)); }
  LogWriter* Writer() const { return logWriter; }

  // After a construction that failed: the step that failed, so that the
  // event log can say why tracing could not start.
  enum FailedStep : UCHAR {
    FAILED_NONE,
    FAILED_TARGET,         // the traced device could not be opened
    FAILED_DEVICE_OBJECT,  // opened, but the filter's device object not made
    FAILED_SETTING,        // a setting of the log could not be read
    FAILED_LOG,            // the log writer could not start or open the file
  };
  FailedStep Failed() const { return failed; }

 private:
  void WriteBanner(PCWSTR target);
  void QueueText(const char* text, bool timeStamped, TextRole role = TEXT_ROLE_NONE);

  LogWriter* logWriter;
  FailedStep failed;
  // Replaced whole by one interlocked exchange; read once per hook call.
  volatile LONG settings;
};

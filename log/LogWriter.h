// The one way trace records leave the request paths: Queue appends a record
// and wakes the writer thread, which formats the records in queue order and
// appends their text to the log file. The traced paths pay for one
// spin-locked list insert and one semaphore release; all formatting and file
// output happen on the writer thread.
//
// The text sink and the log file are single global objects, so at most one
// LogWriter may exist at a time.
#pragma once

#include <ntddk.h>

#include "framework/CountedString.h"
#include "framework/Event.h"
#include "framework/LockedList.h"
#include "framework/PoolObject.h"
#include "framework/Semaphore.h"
#include "framework/SystemThread.h"

class TraceRecord;

// The writer's text buffer: every text of one record part is formatted here.
constexpr ULONG LOG_TEXT_BUFFER_SIZE = 9216;

class LogWriter : public PoolObject {
 public:
  // Starts the writer thread and returns once it has tried to open the log
  // file `logFileName` (a DOS path such as "C:\Pellinor.log"). *status: the
  // open's status, or why there is no thread. The caller keeps the object
  // whatever the status and destroys it later. PASSIVE_LEVEL.
  LogWriter(NTSTATUS* status, PCWSTR logFileName);

  // Stops the thread after every record queued before has been formatted
  // and written, then closes the file. PASSIVE_LEVEL.
  ~LogWriter();

  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Takes ownership of `record` and wakes the writer. Up to DISPATCH_LEVEL.
  NTSTATUS Queue(TraceRecord* record);

  // A record that could not be built (its allocation failed): counted, and
  // told in one time-stamped line "*** N trace records lost ***" in front of
  // the next record queued (or before the file closes), so that a reader can
  // tell a quiet line from a lost record. Up to DISPATCH_LEVEL.
  void CountLost();
  // Queue for what a capture returned: the record, or null when it could
  // not be allocated, which is counted as lost. STATUS_SUCCESS when
  // queued, else STATUS_INSUFFICIENT_RESOURCES. Up to DISPATCH_LEVEL.
  NTSTATUS Submit(TraceRecord* record);

  // Set by the target query when the traced device is the maker's own; read
  // by the formatting of CAPI_MANUFACTURER and version buffers.
  bool NrxTarget() const { return nrxTarget != 0; }
  void SetNrxTarget() { nrxTarget = 1; }

 private:
  static VOID NTAPI ThreadEntry(PVOID context);
  void Run();
  // Destroys every record still queued (only after the thread is gone).
  void DiscardQueued();
  // The lost-records line for `lost` records, if any.
  static void ReportLost(ULONG lost);

  SystemThread* thread;
  Semaphore items;
  Event opened;
  Event start;
  NTSTATUS openStatus;
  LockedList queue;
  char* textBuffer;
  UCHAR nrxTarget;
  CountedString logFileName;
  // Records lost since the last lost-records line; bumped by any thread,
  // taken by the writer thread with one exchange.
  LONG volatile lostRecords;
};

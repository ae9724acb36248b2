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

  // Set by the target query when the traced device is the maker's own; read
  // by the formatting of CAPI_MANUFACTURER and version buffers.
  bool NrxTarget() const { return nrxTarget != 0; }
  void SetNrxTarget() { nrxTarget = 1; }

 private:
  static VOID NTAPI ThreadEntry(PVOID context);
  void Run();
  // Destroys every record still queued (only after the thread is gone).
  void DiscardQueued();

  SystemThread* thread;
  Semaphore items;
  Event opened;
  Event start;
  NTSTATUS openStatus;
  LockedList queue;
  char* textBuffer;
  UCHAR nrxTarget;
  CountedString logFileName;
};

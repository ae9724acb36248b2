// The one way trace records leave the request paths: Queue appends a record
// and wakes the writer thread, which formats the records in queue order and
// appends their text to the log file. The traced paths pay for one
// spin-locked list insert and one semaphore release; all formatting and file
// output happen on the writer thread.
//
// The text of one record is gathered (line ends made CR LF) and written to
// the file in one piece, so that a record is never split between two files
// when the log reaches its size limit: before a record whose text would take
// the file past the limit, the older generations move one place (NAME.old
// to NAME.old.2 and so on, the oldest dropped), the file becomes NAME.old,
// and a fresh file is started. It opens with a line that numbers it (part N
// of the log begun at a time) and names where the older parts are kept,
// then repeats the session's start (the banner, the target query and the
// "Start Tracing" block in force), so that each file can be read alone.
//
// The text sink and the log file are single global objects, so at most one
// LogWriter may exist at a time.
#pragma once

#include <stdint.h>

#include <ntddk.h>

#include "framework/CountedString.h"
#include "framework/Event.h"
#include "framework/LockedList.h"
#include "framework/PoolObject.h"
#include "framework/Semaphore.h"
#include "framework/SystemThread.h"
#include "log/TimeStamp.h"

class TraceRecord;

// The writer's text buffer: every text of one record part is formatted here.
constexpr ULONG LOG_TEXT_BUFFER_SIZE = 9216;
// Where a record's text is gathered before it is written (paged: only the
// writer thread touches it). A record longer than this is written in
// several pieces, to the same file.
constexpr ULONG LOG_RECORD_BUFFER_SIZE = 0x8000;
// Where the session's start is kept for the next generation (paged: only
// the writer thread touches it). A start that does not fit is kept as far
// as whole texts fit.
constexpr ULONG LOG_SESSION_TEXT_SIZE = 0x4000;
// What LogFile::Rename appends to the log's name for the newest older
// generation; the generations behind it are NAME.old.2 to NAME.old.9.
#define LOG_OLD_SUFFIX L".old"

class LogWriter : public PoolObject {
 public:
  // Starts the writer thread and returns once it has tried to open the log
  // file `logFileName` (a DOS path such as "C:\Pellinor.log"). *status: the
  // open's status, or why there is no thread. `limitMegabytes`: the log's
  // size limit (0: none, the file grows for ever); `keep`: the older
  // generations kept (1 to 9). The caller keeps the object whatever the
  // status and destroys it later. PASSIVE_LEVEL.
  LogWriter(NTSTATUS* status, PCWSTR logFileName, ULONG limitMegabytes = 0, ULONG keep = 1);

  // Stops the thread after every record queued before has been formatted
  // and written, then closes the file. PASSIVE_LEVEL.
  ~LogWriter();
  // The same ending without destroying the object: the thread writes what
  // is queued, closes the file and ends. A record queued afterwards is
  // freed at once; counted losses are no longer told. Once only takes
  // effect. PASSIVE_LEVEL.
  void Close();

  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Takes ownership of `record` and wakes the writer. Up to DISPATCH_LEVEL.
  NTSTATUS Queue(TraceRecord* record);

  // A record that could not be built (its allocation failed): counted, and
  // told in one time-stamped line "*** N trace records lost ***" in front of
  // the next record queued (or before the file closes), so that a reader can
  // tell a quiet line from a lost record. Records whose text could not be
  // written (a full disk) are counted the same way, and told once writing
  // succeeds again. Up to DISPATCH_LEVEL.
  void CountLost();
  // Queue for what a capture returned: the record, or null when it could
  // not be allocated, which is counted as lost. STATUS_SUCCESS when
  // queued, else STATUS_INSUFFICIENT_RESOURCES. Up to DISPATCH_LEVEL.
  NTSTATUS Submit(TraceRecord* record);

  // Set by the target query when the traced device is the maker's own; read
  // by the formatting of CAPI_MANUFACTURER and version buffers.
  // The log file's name as given (null when its copy could not be made).
  PCWSTR FileName() const { return logFileName.Text(); }

  bool NrxTarget() const { return nrxTarget != 0; }
  void SetNrxTarget() { nrxTarget = 1; }

  // The text sink's text (`length` characters; it ends at the first NUL
  // among them), gathered for the record being formatted. Writer thread
  // only.
  void Gather(const char* text, ULONG length);

 private:
  static VOID NTAPI ThreadEntry(PVOID context);
  void Run();
  // Destroys every record still queued (only after the thread is gone).
  void DiscardQueued();
  // The lost-records line for `lost` records, if any, stamped with `when`:
  // the capture time of the record it stands in front of (the losses came
  // before that record was queued), so that the line does not depend on how
  // far behind the writer runs.
  // The first report of a trace device's losses is also an entry of the
  // system event log (once per writer: the log tells every later one).
  void ReportLost(ULONG lost, const TimeStamp& when);
  // Formats one record (after the line of the losses before it) and writes
  // its text; a record whose text could not be written is counted lost.
  void WriteRecord(TraceRecord* record);
  // Writes what is gathered; before the first write of a record, rotates
  // the file when the text would take it past the limit.
  void WriteGathered();
  bool PastLimit(ULONG pending) const;
  // Close, move the older generations on, rename to NAME.old, open afresh,
  // and begin the new file with its part line and the session's start; a
  // failed rename keeps the file and says so once, in the log and in the
  // system event log.
  void Rotate();
  // Moves NAME.old.(keep-1) to NAME.old.keep, ..., NAME.old to NAME.old.2;
  // a generation that is not there is no failure. The first failure's
  // status, else STATUS_SUCCESS.
  NTSTATUS ShiftGenerations();
  // The start of the session as a new generation repeats it: `role` (a
  // TextRole) and the text as written, or null when it was written in
  // pieces and cannot be kept.
  void KeepSessionText(ULONG role, const char* text, ULONG length);
  // The part line of a new generation, then the kept start between its two
  // notices.
  void BeginGeneration();
  // A time-stamped notice written straight to the file: "\n" (unless first
  // in the file), the stamp, the notice; line ends CR LF.
  static void WriteNotice(const char* notice, bool first);

  SystemThread* thread;
  LONG volatile closed;
  Semaphore items;
  Event opened;
  Event start;
  NTSTATUS openStatus;
  LockedList queue;
  char* textBuffer;
  UCHAR nrxTarget;
  CountedString logFileName;
  // Records lost since the last lost-records line; bumped by any thread,
  // taken by Queue with one exchange.
  LONG volatile lostRecords;
  // The rest belongs to the writer thread.
  ULONGLONG limitBytes;
  ULONG keep;
  ULONG partNumber;                  // of this writer's log: 1 for the file it opened
  char begun[TimeStamp::kTextSize];  // when it opened it
  // The session's start: the head (banner and target query, headLength
  // bytes), then the start block in force (startLength bytes).
  char* sessionText;
  ULONG headLength;
  ULONG startLength;
  bool keepingHead;  // between the banner and the first start
  char* recordText;
  ULONG gathered;
  bool recordWritten;  // some of the record's text is in the file already
  bool writeFailed;    // some of the record's text could not be written
  bool renameFailed;   // the limit no longer applies: said so once
  bool lostReported;   // the event log has been told of lost records
  bool generationLossReported;  // ... and of a generation not kept
  ULONG writeLost;     // records whose text was lost, not yet told
};

// The text sink of the log writer: gathers the sink's text for the running
// writer, each "\n" becoming CR LF. `kind` and `message` are not used.
void WriteLogLines(const char* text, uint32_t kind, const void* message);

#include "log/LogWriter.h"

#include "capi/TraceText.h"
#include "framework/Interlocked.h"
#include "framework/Pool.h"
#include "log/LogFile.h"
#include "log/TimeStamp.h"
#include "trace/RecordText.h"
#include "trace/TraceRecord.h"

LogWriter::LogWriter(NTSTATUS* status, PCWSTR logFileName)
    : thread(NULL),
      items(0, 0x7FFFFFFF),
      opened(NotificationEvent, false),
      start(NotificationEvent, false),
      openStatus(STATUS_UNSUCCESSFUL),
      queue(),
      textBuffer(NULL),
      nrxTarget(0),
      logFileName(logFileName),
      lostRecords(0) {
  *status = STATUS_INSUFFICIENT_RESOURCES;
  // Without its copy of the name the thread would have no file to open.
  if (!NT_SUCCESS(this->logFileName.Status())) {
    return;
  }
  textBuffer = static_cast<char*>(PoolAlloc(LOG_TEXT_BUFFER_SIZE, NonPagedPool));
  if (textBuffer == NULL) {
    return;
  }
  SystemThread* created = new SystemThread(&LogWriter::ThreadEntry, this, status);
  if (created == NULL) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  thread = created;
  // The thread reads `thread` when it ends, so it starts only now.
  start.Set(0);
  if (!NT_SUCCESS(*status)) {
    return;
  }
  opened.Wait();
  *status = openStatus;
}

LogWriter::~LogWriter() {
  // The stop signal: one more count than records queued, so the thread meets
  // the empty queue only after it has formatted everything queued before.
  items.Release(1, 0);
  if (thread != NULL) {
    delete thread;
    thread = NULL;
  }
  // A writer whose file never opened had no thread to drain its queue.
  DiscardQueued();
  PoolFree(textBuffer);
  textBuffer = NULL;
}

NTSTATUS LogWriter::Queue(TraceRecord* record) {
  // The losses counted so far are told in front of this record, so that the
  // line stands where they happened in queue order.
  LONG lost = Interlocked::Exchange(&lostRecords, 0);
  if (lost > 0xFFFF) {
    Interlocked::ExchangeAdd(&lostRecords, lost - 0xFFFF);
    lost = 0xFFFF;
  }
  record->lostBefore = USHORT(lost);
  queue.InsertTail(&record->link);
  items.Release(1, 0);
  return STATUS_SUCCESS;
}

void LogWriter::CountLost() {
  Interlocked::Increment(&lostRecords);
}

NTSTATUS LogWriter::Submit(TraceRecord* record) {
  if (record == NULL) {
    CountLost();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return Queue(record);
}

void LogWriter::ReportLost(ULONG lost) {
  if (lost == 0) {
    return;
  }
  // Stamped with the time it is written: the losses happened before it.
  char stamp[TimeStamp::kTextSize];
  TimeStamp().Format(stamp, kTraceStampFormat);
  TracePrint("\n%s\n*** %u trace records lost ***\n", stamp, unsigned(lost));
}

VOID NTAPI LogWriter::ThreadEntry(PVOID context) {
  static_cast<LogWriter*>(context)->Run();
}

void LogWriter::Run() {
  start.Wait();
  LogFile& file = LogFile::Instance();
  openStatus = file.Open(logFileName.Text(), false);
  opened.Set(0);
  if (NT_SUCCESS(openStatus)) {
    TraceTextInit(textBuffer, LOG_TEXT_BUFFER_SIZE, &WriteLogLines);
    for (;;) {
      items.Wait();
      PLIST_ENTRY entry = queue.RemoveHead();
      if (entry == NULL) {
        break;
      }
      TraceRecord* record = CONTAINING_RECORD(entry, TraceRecord, link);
      ReportLost(record->lostBefore);
      formatRecord(*this, record);
      delete record;
    }
    // Losses after the last record are still told before the file closes.
    ReportLost(ULONG(Interlocked::Exchange(&lostRecords, 0)));
    // The sink's buffer belongs to this writer and is freed with it.
    TraceTextInit(NULL, 0, NULL);
    file.Close();
  }
  thread->Exit();
}

void LogWriter::DiscardQueued() {
  for (PLIST_ENTRY entry = queue.RemoveHead(); entry != NULL; entry = queue.RemoveHead()) {
    delete CONTAINING_RECORD(entry, TraceRecord, link);
  }
}

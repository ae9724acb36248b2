#include "log/LogWriter.h"

#include "capi/TraceText.h"
#include "control/TraceSettings.h"
#include "framework/ErrorLogEntry.h"
#include "framework/EventCodes.h"
#include "framework/Interlocked.h"
#include "framework/Pool.h"
#include "log/LogFile.h"
#include "log/TimeStamp.h"
#include "trace/RecordText.h"
#include "trace/TraceRecord.h"

namespace {

// The writer whose thread has installed the text sink. The sink is global
// and has no context of its own; at most one writer runs at a time.
LogWriter* sinkWriter;

constexpr ULONGLONG kMegabyte = 0x100000;

// A notice line: its words and up to two copies of the log's name, cut to
// fit (a name runs to 32,767 characters).
constexpr ULONG kNoticeSize = 720;

// The suffix of older generation `generation` (1 to 9): ".old", ".old.2" to
// ".old.9".
void GenerationSuffix(ULONG generation, WCHAR* suffix) {
  const WCHAR old[] = LOG_OLD_SUFFIX;
  ULONG n = 0;
  for (; old[n] != 0; ++n) {
    suffix[n] = old[n];
  }
  if (generation > 1) {
    suffix[n++] = L'.';
    suffix[n++] = WCHAR(L'0' + generation);
  }
  suffix[n] = 0;
}

// Appends `text` to `to` (n characters so far, room for `room`) as 8-bit
// text: a character beyond 7 bits shows as '?'; what does not fit is cut.
void AppendNarrow(char* to, ULONG room, ULONG* n, const WCHAR* text) {
  for (ULONG i = 0; text[i] != 0 && *n < room; ++i) {
    to[(*n)++] = text[i] < 0x80 ? char(text[i]) : '?';
  }
  to[*n] = '\0';
}

// Copies `count` bytes, four at a time. The pieces gathered are lines of
// tens of bytes, for which a call of the run-time library's memcpy costs
// more than the copy itself; no loop here is one a compiler would turn into
// such a call.
void CopyText(char* to, const char* from, ULONG count) {
  ULONG i = 0;
  for (; count - i >= 4; i += 4) {
    uint32_t word;
    __builtin_memcpy(&word, from + i, sizeof word);
    __builtin_memcpy(to + i, &word, sizeof word);
  }
  if (count - i >= 2) {
    to[i] = from[i];
    to[i + 1] = from[i + 1];
    i += 2;
  }
  if (i < count) {
    to[i] = from[i];
  }
}

// The first '\n' or NUL in [from, to), or `to`. Whole 32-bit words are
// tested while they lie inside the range: a word holds neither when no byte
// of it, nor of it XOR "\n\n\n\n", is zero. Lines run to tens of
// characters, so most of the text is passed four bytes at a time.
const char* FindLineEnd(const char* from, const char* to) {
  const char* p = from;
  while (to - p >= 4) {
    uint32_t word;
    __builtin_memcpy(&word, p, sizeof word);
    uint32_t newlines = word ^ 0x0A0A0A0Au;
    if ((((word - 0x01010101u) & ~word) | ((newlines - 0x01010101u) & ~newlines)) & 0x80808080u) {
      break;
    }
    p += 4;
  }
  while (p < to && *p != '\n' && *p != '\0') {
    ++p;
  }
  return p;
}

}  // namespace

void WriteLogLines(const char* text, uint32_t kind, const void* message) {
  UNREFERENCED_PARAMETER(kind);
  UNREFERENCED_PARAMETER(message);
  if (sinkWriter == NULL) {
    return;
  }
  // The sink is handed the text buffer: TraceTextLength characters and the
  // NUL behind them. Any other text is measured here.
  ULONG length = 0;
  if (text == TraceTextBuffer()) {
    length = ULONG(TraceTextLength());
  } else {
    while (text[length] != '\0') {
      ++length;
    }
  }
  sinkWriter->Gather(text, length);
}

LogWriter::LogWriter(NTSTATUS* status, PCWSTR logFileName, ULONG limitMegabytes, ULONG keep)
    : thread(NULL),
      closed(0),
      items(0, 0x7FFFFFFF),
      opened(NotificationEvent, false),
      start(NotificationEvent, false),
      openStatus(STATUS_UNSUCCESSFUL),
      queue(),
      textBuffer(NULL),
      nrxTarget(0),
      logFileName(logFileName),
      lostRecords(0),
      limitBytes(limitMegabytes * kMegabyte),
      keep(LimitLogKeepValue(keep)),
      partNumber(1),
      begun(),
      sessionText(NULL),
      headLength(0),
      startLength(0),
      keepingHead(false),
      recordText(NULL),
      gathered(0),
      recordWritten(false),
      writeFailed(false),
      renameFailed(false),
      lostReported(false),
      generationLossReported(false),
      writeLost(0) {
  *status = STATUS_INSUFFICIENT_RESOURCES;
  // Without its copy of the name the thread would have no file to open.
  if (!NT_SUCCESS(this->logFileName.Status())) {
    return;
  }
  textBuffer = static_cast<char*>(PoolAlloc(LOG_TEXT_BUFFER_SIZE, NonPagedPool));
  if (textBuffer == NULL) {
    return;
  }
  recordText = static_cast<char*>(PoolAlloc(LOG_RECORD_BUFFER_SIZE, PagedPool));
  if (recordText == NULL) {
    return;
  }
  // Only a log that rotates repeats the session's start. Without the
  // buffer it still rotates, its new files without the start.
  if (limitBytes != 0) {
    sessionText = static_cast<char*>(PoolAlloc(LOG_SESSION_TEXT_SIZE, PagedPool));
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
  Close();
  // A writer whose file never opened had no thread to drain its queue.
  DiscardQueued();
  PoolFree(sessionText);
  sessionText = NULL;
  PoolFree(recordText);
  recordText = NULL;
  PoolFree(textBuffer);
  textBuffer = NULL;
}

void LogWriter::Close() {
  if (Interlocked::Exchange(&closed, 1) != 0)
    return;
  // The stop signal: one more count than records queued, so the thread meets
  // the empty queue only after it has formatted everything queued before.
  items.Release(1, 0);
  if (thread != NULL) {
    delete thread;
    thread = NULL;
  }
}

NTSTATUS LogWriter::Queue(TraceRecord* record) {
  // After Close no thread takes it. One queued in the instant Close begins
  // is freed with the writer (DiscardQueued).
  if (closed != 0) {
    delete record;
    return STATUS_SUCCESS;
  }
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

void LogWriter::ReportLost(ULONG lost, const TimeStamp& when) {
  if (lost == 0) {
    return;
  }
  char stamp[TimeStamp::kTextSize];
  when.Format(stamp, kTraceStampFormat);
  TracePrint("\n%s\n*** %u trace records lost ***\n", stamp, unsigned(lost));
  // Not told when the entry could not be allocated: the next report tries
  // again.
  if (!lostReported)
    lostReported = ErrorLogEntry::WriteWithCount(PELLINOR_EVENT_RECORDS_LOST, FileName(), lost);
}

VOID NTAPI LogWriter::ThreadEntry(PVOID context) {
  static_cast<LogWriter*>(context)->Run();
}

void LogWriter::Run() {
  start.Wait();
  LogFile& file = LogFile::Instance();
  openStatus = file.Open(logFileName.Text(), false);
  TimeStamp().Format(begun, kTraceStampFormat);
  opened.Set(0);
  if (NT_SUCCESS(openStatus)) {
    sinkWriter = this;
    TraceTextInit(textBuffer, LOG_TEXT_BUFFER_SIZE, &WriteLogLines);
    for (;;) {
      items.Wait();
      PLIST_ENTRY entry = queue.RemoveHead();
      if (entry == NULL) {
        break;
      }
      TraceRecord* record = CONTAINING_RECORD(entry, TraceRecord, link);
      WriteRecord(record);
      delete record;
    }
    // Losses after the last record are still told before the file closes.
    recordWritten = false;
    // No record follows: these are stamped with the time they are told.
    ReportLost(ULONG(Interlocked::Exchange(&lostRecords, 0)) + writeLost, TimeStamp());
    writeLost = 0;
    WriteGathered();
    // The sink's buffer belongs to this writer and is freed with it.
    TraceTextInit(NULL, 0, NULL);
    sinkWriter = NULL;
    file.CloseIfOpen();
  }
  thread->Exit();
}

void LogWriter::WriteRecord(TraceRecord* record) {
  ULONG lost = record->lostBefore + writeLost;
  writeLost = 0;
  recordWritten = false;
  writeFailed = false;
  ReportLost(lost, record->captureTime);
  ULONG from = gathered;
  formatRecord(*this, record);
  // Kept only once written: a rotation before it must not repeat it too.
  // The text stays in the buffer until the next record is gathered.
  bool whole = !recordWritten;
  ULONG to = gathered;
  WriteGathered();
  if (record->kind == TRACE_RECORD_TEXT && sessionText != NULL) {
    KeepSessionText(record->textRole, whole ? recordText + from : NULL, to - from);
  }
  if (writeFailed) {
    // The text is gone, and with it the line that told earlier losses: they
    // are told with this record once a write succeeds again.
    writeLost = lost + 1;
  }
}

void LogWriter::Gather(const char* text, ULONG textLength) {
  if (recordText == NULL) {
    return;
  }
  const char* limit = text + textLength;
  for (const char* piece = text;;) {
    const char* end = FindLineEnd(piece, limit);
    ULONG length = ULONG(end - piece);
    bool lineEnd = end != limit && *end == '\n';
    ULONG need = length + (lineEnd ? 2 : 0);
    // A record longer than the buffer is written in pieces, to one file.
    if (need > LOG_RECORD_BUFFER_SIZE - gathered) {
      WriteGathered();
    }
    while (length > LOG_RECORD_BUFFER_SIZE - 2) {
      ULONG part = LOG_RECORD_BUFFER_SIZE - 2;
      CopyText(recordText + gathered, piece, part);
      gathered += part;
      WriteGathered();
      piece += part;
      length -= part;
    }
    CopyText(recordText + gathered, piece, length);
    gathered += length;
    if (!lineEnd) {
      return;
    }
    recordText[gathered++] = '\r';
    recordText[gathered++] = '\n';
    piece = end + 1;
  }
}

void LogWriter::WriteGathered() {
  if (gathered == 0) {
    return;
  }
  LogFile& file = LogFile::Instance();
  if (!file.IsOpen()) {
    // A rotation that could not open the fresh file: try again now.
    file.Open(logFileName.Text(), false);
  }
  if (!recordWritten && PastLimit(gathered)) {
    Rotate();
  }
  recordWritten = true;
  if (!file.IsOpen() || !NT_SUCCESS(file.Write(recordText, gathered))) {
    writeFailed = true;
  }
  gathered = 0;
}

bool LogWriter::PastLimit(ULONG pending) const {
  if (limitBytes == 0 || renameFailed) {
    return false;
  }
  const LogFile& file = LogFile::Instance();
  // An empty file takes the record whatever its size: a fresh file cannot
  // be made any emptier.
  return file.IsOpen() && file.EndOfFile() != 0 && file.EndOfFile() + pending > limitBytes;
}

void LogWriter::Rotate() {
  LogFile& file = LogFile::Instance();
  NTSTATUS status = file.Close();
  NTSTATUS shifted = STATUS_SUCCESS;
  if (NT_SUCCESS(status)) {
    shifted = ShiftGenerations();
    status = LogFile::Rename(logFileName.Text(), L"", LOG_OLD_SUFFIX);
    // Afresh after a rename; the same file again when the rename failed.
    NTSTATUS reopened = file.Open(logFileName.Text(), false);
    if (!NT_SUCCESS(reopened)) {
      // Nothing to write to: the records are counted lost until an open
      // succeeds (tried again before each later write).
      renameFailed = !NT_SUCCESS(status);
      if (renameFailed)
        ErrorLogEntry::WriteWithStatus(PELLINOR_EVENT_ROTATION_FAILED, FileName(), status);
      return;
    }
  }
  char notice[100];
  if (!NT_SUCCESS(status)) {
    // Never a loop of failed renames: the limit is given up for this log.
    renameFailed = true;
    sprintf(notice, "*** log limit reached, could not rename: 0x%08X ***", unsigned(status));
    WriteNotice(notice, false);
    ErrorLogEntry::WriteWithStatus(PELLINOR_EVENT_ROTATION_FAILED, FileName(), status);
    return;
  }
  BeginGeneration();
  if (!NT_SUCCESS(shifted)) {
    // The rename above replaced NAME.old: that generation is gone.
    sprintf(notice, "*** older generation not kept, could not rename: 0x%08X ***",
            unsigned(shifted));
    WriteNotice(notice, false);
    if (!generationLossReported)
      generationLossReported =
          ErrorLogEntry::WriteWithStatus(PELLINOR_EVENT_GENERATION_LOST, FileName(), shifted);
  }
}

NTSTATUS LogWriter::ShiftGenerations() {
  NTSTATUS first = STATUS_SUCCESS;
  for (ULONG generation = keep; generation > 1; --generation) {
    WCHAR from[8];
    WCHAR to[8];
    GenerationSuffix(generation - 1, from);
    GenerationSuffix(generation, to);
    NTSTATUS status = LogFile::Rename(logFileName.Text(), from, to);
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND && NT_SUCCESS(first)) {
      first = status;
    }
  }
  return first;
}

void LogWriter::BeginGeneration() {
  ++partNumber;
  char notice[kNoticeSize];
  // Part numbers, not file names: every rotation renames the older files,
  // so a name written here would soon be that of another part.
  ULONG n = ULONG(
      sprintf(notice, "*** log continued: part %u of the log begun %s; older parts are kept in ",
              unsigned(partNumber), begun));
  const ULONG room = kNoticeSize - 40;
  AppendNarrow(notice, room, &n, logFileName.Text());
  AppendNarrow(notice, room, &n, LOG_OLD_SUFFIX);
  if (keep > 1) {
    n += ULONG(sprintf(notice + n, " to "));
    AppendNarrow(notice, room, &n, logFileName.Text());
    WCHAR last[8];
    GenerationSuffix(keep, last);
    AppendNarrow(notice, room, &n, last);
    n += ULONG(sprintf(notice + n, ", newest first"));
  }
  sprintf(notice + n, " ***");
  WriteNotice(notice, true);
  if (headLength + startLength == 0) {
    return;
  }
  WriteNotice("*** the start of the session, repeated ***", false);
  LogFile::Instance().Write(sessionText, headLength + startLength);
  WriteNotice("*** end of the repeated start ***", false);
}

void LogWriter::KeepSessionText(ULONG role, const char* text, ULONG length) {
  switch (role) {
    case TEXT_ROLE_SESSION_BEGIN:
      headLength = 0;
      startLength = 0;
      keepingHead = true;
      break;
    case TEXT_ROLE_TRACING_STARTED:
      keepingHead = false;
      startLength = 0;
      if (text != NULL && length <= LOG_SESSION_TEXT_SIZE - headLength) {
        CopyText(sessionText + headLength, text, length);
        startLength = length;
      }
      return;
    case TEXT_ROLE_TRACING_STOPPED:
      // Stopped: a new generation shows the head alone, no tracing in force.
      keepingHead = false;
      startLength = 0;
      return;
    default:
      break;
  }
  if (!keepingHead) {
    return;
  }
  // The head ends with the last whole text that fits.
  if (text == NULL || length > LOG_SESSION_TEXT_SIZE - headLength) {
    keepingHead = false;
    return;
  }
  CopyText(sessionText + headLength, text, length);
  headLength += length;
}

void LogWriter::WriteNotice(const char* notice, bool first) {
  char stamp[TimeStamp::kTextSize];
  TimeStamp().Format(stamp, kTraceStampFormat);
  char line[kNoticeSize + TimeStamp::kTextSize + 8];
  int n = sprintf(line, "%s%s\r\n%s\r\n", first ? "" : "\r\n", stamp, notice);
  // A notice that cannot be written is not a record: nothing is counted.
  LogFile::Instance().Write(line, ULONG(n));
}

void LogWriter::DiscardQueued() {
  for (PLIST_ENTRY entry = queue.RemoveHead(); entry != NULL; entry = queue.RemoveHead()) {
    delete CONTAINING_RECORD(entry, TraceRecord, link);
  }
}

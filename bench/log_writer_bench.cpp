// The log writer against a busy line, and the pool memory the queued
// records hold. Every record is captured from a real IRP through the traced
// test stack (bench/TraceMix.h).
//
//   log_writer_bench [rounds, default 100]
//
// 1. Writer: the records of `rounds` rounds of a busy primary-rate line (30
//    B channels, DATA_B3 of 2048 bytes both ways with confirmations and
//    responses; 240 records a round) queued at once to a real LogWriter
//    writing a log file; records per second from the first Queue until the
//    writer has drained its queue and closed the file (best of 3, by the
//    process's processor time, so that other work on the machine and
//    waits do not count), against
//    what such a line produces (about 120 DATA_B3 a second each way: 960
//    records a second); target at least 100 times. Then the share of that
//    time spent formatting (formatRecord of the same records into a sink
//    that only counts), destroying them (the emulated pool's frees), and
//    appending the same bytes to a file in one write per record, each the
//    best of 3 as well; the rest is the queue, the waits and the writer's
//    own bookkeeping (gathering the text with CR LF line ends).
// 2. Memory: the pool a queued record holds beyond the bytes it copied
//    (target at most 96), for the connection mix and the line's mix, and
//    where it goes; then the peak pool of a burst of 100,000 records queued
//    at once against the bytes they copied.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/TraceMix.h"

#include "capi/TraceText.h"
#include "emu/Pool.h"
#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "trace/RecordText.h"

namespace {

// Processor time of the whole process (the writer thread, the queueing
// thread and the emulated kernel's threads), in seconds: on a machine shared
// with other work, what the writing itself took, waits left out.
double ProcessSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

size_t Captured(const std::vector<TraceRecord*>& records) {
  size_t bytes = 0;
  for (const TraceRecord* record : records) bytes += record->message.size + record->ioBuffer.size;
  return bytes;
}

// The lower of two times, 0 standing for none yet.
double Best(double sofar, double seconds) {
  return sofar == 0 || seconds < sofar ? seconds : sofar;
}

uint32_t Tag() {
  return emu::MakePoolTag("NRXc");
}

// Queues the records to a new writer and returns the seconds until it has
// drained the queue and closed the file; the writer owns the records.
double lastWall;  // the wall-clock seconds of the last WriteAll

double WriteAll(const std::vector<TraceRecord*>& records, const wchar_t* log) {
  NTSTATUS status;
  auto wall = std::chrono::steady_clock::now();
  double start = ProcessSeconds();
  auto* writer = new LogWriter(&status, log);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "cannot open the log: 0x%08lX\n", status);
    std::exit(1);
  }
  for (TraceRecord* record : records) writer->Queue(record);
  delete writer;
  lastWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  return ProcessSeconds() - start;
}

uint64_t formattedBytes;
void CountingSink(const char*, uint32_t, const void*) {
  formattedBytes += TraceTextLength();
}

// The seconds formatRecord takes for the records alone, into a sink that
// only counts.
double FormatAll(const std::vector<TraceRecord*>& records) {
  NTSTATUS status;
  // formatRecord reads only NrxTarget of the writer: one whose log cannot
  // be opened serves.
  auto* writer = new LogWriter(&status, L"Q:\\no-such-drive.log");
  static char buffer[kTraceTextSize];
  TraceTextInit(buffer, sizeof buffer, CountingSink);
  formattedBytes = 0;
  double start = ProcessSeconds();
  for (const TraceRecord* record : records) formatRecord(*writer, record);
  double seconds = ProcessSeconds() - start;
  TraceTextInit(nullptr, 0, nullptr);
  delete writer;
  return seconds;
}

void Overhead(const char* name, const std::vector<TraceRecord*>& records, size_t held) {
  size_t captured = Captured(records);
  std::printf("%-28s %8zu %12zu %12zu %10.1f\n", name, records.size(), held, captured,
              double(held - captured) / double(records.size()));
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
  tracetest::TempDriveC drive;
  tracemix::Capture capture;

  // 1. The writer.
  double best = 0;
  double bestWall = 0;
  size_t count = 0;
  for (int run = 0; run < 3; ++run) {
    std::vector<TraceRecord*> records = tracemix::PrimaryRateMix(capture, rounds);
    count = records.size();
    best = Best(best, WriteAll(records, L"C:\\line.log"));
    bestWall = Best(bestWall, lastWall);
  }
  std::string log = drive.Read("line.log");
  // The pieces, each the best of 3 like the whole, so that the shares
  // compare like with like on a machine shared with other work.
  size_t perRun = log.size() / 3;
  size_t piece = perRun / count;
  LogFile& file = LogFile::Instance();
  double formatting = 0;
  double freeing = 0;
  double writing = 0;
  std::vector<TraceRecord*> records;
  for (int run = 0; run < 3; ++run) {
    records = tracemix::PrimaryRateMix(capture, rounds);
    formatting = Best(formatting, FormatAll(records));
    double start = ProcessSeconds();
    for (TraceRecord* record : records) delete record;
    freeing = Best(freeing, ProcessSeconds() - start);
    // The file writes alone: the same bytes, appended in one write per
    // record (the fewest the writer can make), through the same file object.
    if (!NT_SUCCESS(file.Open(L"C:\\plain.log", false)))
      return 1;
    start = ProcessSeconds();
    for (size_t at = 0; at + piece <= perRun; at += piece) {
      ULONG written;
      file.Append(log.data() + at, ULONG(piece), &written);
    }
    writing = Best(writing, ProcessSeconds() - start);
    file.Close();
  }
  double rate = double(count) / best;
  std::printf("Log writer, busy primary-rate line (30 B channels, DATA_B3 of 2048 bytes both ways)\n");
  std::printf("records per run:              %zu (%d rounds of 30 channels)\n", count, rounds);
  std::printf("log text per run:             %zu bytes\n", log.size() / 3);
  std::printf("formatted and written:        %.0f records/s (best of 3, processor time)\n", rate);
  std::printf("  by the wall clock:           %.0f records/s (best of 3; other work shares the machine)\n",
              double(count) / bestWall);
  std::printf("the line produces:            %.0f records/s\n", tracemix::kLineRecordsPerSecond);
  std::printf("headroom:                     %.0fx the line (target >= 100)\n",
              rate / tracemix::kLineRecordsPerSecond);
  std::printf("formatting share:             %.0f%% (%.0f records/s formatted alone)\n",
              100 * formatting / best, double(count) / formatting);
  std::printf("record destruction share:     %.0f%% (the emulated pool's frees, with its checks)\n",
              100 * freeing / best);
  std::printf("file writes alone:            %.0f%% (the same bytes, one %zu-byte append a record)\n",
              100 * writing / best, piece);
  std::printf("queue, waits and the rest:    %.0f%%\n",
              100 * (1 - (formatting + freeing + writing) / best));

  // 2. Memory.
  std::printf("\nPool held by queued records beyond the bytes they copied (target <= 96)\n");
  std::printf("%-28s %8s %12s %12s %10s\n", "mix", "records", "pool bytes", "copied", "per record");
  uint32_t tag = Tag();
  size_t before = emu::Pool::Report(tag).chargedBytes;
  records = tracemix::ConnectionMix(capture, 200);
  Overhead("connection", records, emu::Pool::Report(tag).chargedBytes - before);
  for (TraceRecord* record : records) delete record;
  before = emu::Pool::Report(tag).chargedBytes;
  records = tracemix::PrimaryRateMix(capture, rounds);
  Overhead("primary rate", records, emu::Pool::Report(tag).chargedBytes - before);
  for (TraceRecord* record : records) delete record;

  std::printf("where it goes (i386 pool: 8-byte header, 8-byte granules):\n");
  std::printf("  record object               %zu bytes (sizeof %zu; the %zu bytes of the stack location\n"
              "                              that the text reads are kept inside it)\n",
              emu::Pool::BlockCost(sizeof(TraceRecord)), sizeof(TraceRecord), sizeof(StackCopy));
  std::printf("  each message or buffer      8-byte header and up to 7 bytes of rounding; a read's\n"
              "                              or write's message is copied with at most\n"
              "                              MaxDataB3Bytes of its payload, as far as the log shows it\n");

  // The burst: 100,000 records queued at once.
  int burstRounds = (100000 + 239) / 240;
  emu::Pool::ResetPeaks();
  before = emu::Pool::Report(tag).chargedBytes;
  records = tracemix::PrimaryRateMix(capture, burstRounds);
  size_t captured = Captured(records);
  size_t burst = records.size();
  double seconds = WriteAll(records, L"C:\\burst.log");
  size_t peak = emu::Pool::Report(tag).peakChargedBytes - before;
  std::printf("burst of %zu records: peak pool %zu bytes for %zu bytes copied (%.2fx), "
              "written in %.2f s of processor time\n",
              burst, peak, captured, double(peak) / double(captured), seconds);
  return 0;
}

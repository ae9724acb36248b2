// How fast trace records become text: formatRecord (time stamp, summary,
// buffer lines, the checked and decoded message and its payload dump),
// today's code against the code before it was made faster
// (bench/baseline), on the same records in one run, into a sink that only
// counts (no file).
//
//   record_text_bench [seconds per measurement, default 0.3]
//
// Two mixes of records captured from real IRPs (bench/TraceMix.h): a
// connection's life (set-up, DATA_B3 requests and confirmations, an I/O
// control, tear-down) and a busy primary-rate line (DATA_B3 both ways with
// confirmations and responses). Prints records per second, bytes of text
// per second and the speed-up (target: at least 3), by processor time.
// i386 only (the records need the driver); run it under qemu-i386 too.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench/TraceMix.h"

#include "bench/baseline/RecordText.h"
#include "bench/baseline/TraceText.h"
#include "capi/TraceText.h"
#include "log/LogWriter.h"
#include "trace/RecordText.h"

namespace {

uint64_t textBytes;
std::string* kept;

void NewSink(const char* text, uint32_t, const void*) {
  textBytes += TraceTextLength();
  if (kept != nullptr)
    kept->append(text);
}

void OldSink(const char* text, uint32_t, const void*) {
  textBytes += pellinor_baseline::TraceTextLength();
  if (kept != nullptr)
    kept->append(text);
}

using FormatFunction = void (*)(const LogWriter&, const TraceRecord*);

double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Rate {
  double records;
  double bytes;
};

Rate MeasureOnce(FormatFunction format, const LogWriter& writer,
                 const std::vector<TraceRecord*>& records, double seconds) {
  textBytes = 0;
  uint64_t count = 0;
  double start = ThreadSeconds();
  double elapsed = 0;
  do {
    for (const TraceRecord* record : records) format(writer, record);
    count += records.size();
    elapsed = ThreadSeconds() - start;
  } while (elapsed < seconds);
  return Rate{count / elapsed, textBytes / elapsed};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 0.3;
  tracetest::TempDriveC drive;
  emu::Clock::Fix(tracetest::GoldenTime());

  // formatRecord reads only the writer's NrxTarget: a writer whose log
  // cannot be opened serves, and installs no sink of its own.
  NTSTATUS status;
  LogWriter* writer = new LogWriter(&status, L"Q:\\no-such-drive.log");

  struct Mix {
    const char* name;
    std::vector<TraceRecord*> records;
  };
  tracemix::Capture capture;
  std::vector<Mix> mixes = {{"connection", tracemix::ConnectionMix(capture, 20)},
                            {"primary rate", tracemix::PrimaryRateMix(capture, 4)}};
  // And records whose capture times differ, a tick or a fraction apart, so
  // that the comparison covers every stamp of a busy trace.
  Mix ticking{"ticking", {}};
  for (int i = 0; i < 200; ++i) {
    emu::Clock::Advance(i % 3 == 0 ? 156250 : i % 3 == 1 ? 1 : 0);
    for (TraceRecord* record : tracemix::PrimaryRateMix(capture, 0 + (i % 7 == 0)))
      ticking.records.push_back(record);
    for (TraceRecord* record : tracemix::ConnectionMix(capture, i % 11 == 0))
      ticking.records.push_back(record);
  }

  static char newBuffer[kTraceTextSize];
  static char oldBuffer[pellinor_baseline::kTraceTextSize];
  TraceTextInit(newBuffer, sizeof newBuffer, NewSink);
  pellinor_baseline::TraceTextInit(oldBuffer, sizeof oldBuffer, OldSink);

  for (const Mix& mix : {mixes[0], mixes[1], ticking}) {
    std::string newText, oldText;
    kept = &newText;
    for (const TraceRecord* record : mix.records) formatRecord(*writer, record);
    kept = &oldText;
    for (const TraceRecord* record : mix.records) pellinor_baseline::formatRecord(*writer, record);
    kept = nullptr;
    if (newText != oldText) {
      std::fprintf(stderr, "%s: today's text differs from the baseline's\n", mix.name);
      return 1;
    }
  }

  std::printf("Trace record text (formatRecord), %s build, best of 5 x %.2f s of processor time\n",
              sizeof(void*) == 8 ? "x86-64" : "i386", seconds);
  std::printf("%-13s %-9s %8s %12s %10s %9s\n", "mix", "code", "records", "records/s",
              "text MB/s", "speed-up");
  for (const Mix& mix : mixes) {
    Rate before{0, 0}, after{0, 0};
    for (int round = 0; round < 5; ++round) {
      Rate b = MeasureOnce(pellinor_baseline::formatRecord, *writer, mix.records, seconds);
      Rate a = MeasureOnce(formatRecord, *writer, mix.records, seconds);
      if (b.records > before.records)
        before = b;
      if (a.records > after.records)
        after = a;
    }
    std::printf("%-13s %-9s %8zu %12.0f %10.1f\n", mix.name, "baseline", mix.records.size(),
                before.records, before.bytes / 1e6);
    std::printf("%-13s %-9s %8zu %12.0f %10.1f %8.2fx (target >= 3)\n", mix.name, "today",
                mix.records.size(), after.records, after.bytes / 1e6,
                after.records / before.records);
  }

  TraceTextInit(nullptr, 0, nullptr);
  pellinor_baseline::TraceTextInit(nullptr, 0, nullptr);
  for (Mix& mix : mixes) {
    for (TraceRecord* record : mix.records) delete record;
  }
  for (TraceRecord* record : ticking.records) delete record;
  delete writer;
  return 0;
}

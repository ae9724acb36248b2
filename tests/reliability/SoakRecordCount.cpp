#include "tests/reliability/SoakRecordCount.h"

#include <atomic>

#include "log/LogWriter.h"
#include "trace/TraceRecord.h"

namespace reliability {
namespace {

std::atomic<uint64_t> textRecords{0};
std::atomic<uint64_t> requestRecords{0};
std::atomic<uint64_t> completionRecords{0};
std::atomic<uint64_t> lostRecords{0};

}  // namespace

SubmittedRecords SubmittedRecordCounts() {
  SubmittedRecords counts;
  counts.text = textRecords.load();
  counts.request = requestRecords.load();
  counts.completion = completionRecords.load();
  counts.lost = lostRecords.load();
  return counts;
}

void ResetSubmittedRecordCounts() {
  textRecords = 0;
  requestRecords = 0;
  completionRecords = 0;
  lostRecords = 0;
}

}  // namespace reliability

// The linker sends the driver's calls of LogWriter::Submit(TraceRecord*)
// here (tests.cmake: --wrap=_ZN9LogWriter6SubmitEP11TraceRecord), and
// __real_ to the driver's own function. A member function takes `this` as
// its first argument in the i386 System V convention, as a plain function.
extern "C" NTSTATUS __real__ZN9LogWriter6SubmitEP11TraceRecord(LogWriter* writer,
                                                               TraceRecord* record);

extern "C" NTSTATUS __wrap__ZN9LogWriter6SubmitEP11TraceRecord(LogWriter* writer,
                                                               TraceRecord* record) {
  // Counted before the record is handed on: once queued it belongs to the
  // writer thread, which may have freed it by the time Submit returns.
  if (record == nullptr) {
    ++reliability::lostRecords;
  } else if (record->kind == TRACE_RECORD_REQUEST) {
    ++reliability::requestRecords;
  } else if (record->kind == TRACE_RECORD_COMPLETION) {
    ++reliability::completionRecords;
  } else {
    ++reliability::textRecords;
  }
  return __real__ZN9LogWriter6SubmitEP11TraceRecord(writer, record);
}

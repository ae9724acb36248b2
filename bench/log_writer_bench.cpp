// The log writer's sustained rate and the pool memory a queued record holds,
// for a realistic mix of traced CAPI traffic: connection set-up, DATA_B3
// requests with 2048 payload bytes and their confirmations, I/O controls and
// the tear-down, every record captured from a real IRP.
//
//   log_writer_bench [cycles]
//
// Prints the rate of formatting and writing the records, the rate of writing
// the same bytes with the same number of write calls without formatting,
// and their ratio (target: at least 0.67, so formatting costs at most a
// third of the writer's time); then the pool bytes held per queued record
// beyond the captured message and buffer bytes (target: at most 192).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/pipeline/TraceHarness.h"

#include "emu/Pool.h"
#include "log/LogFile.h"
#include "trace/CapiIoctl.h"

namespace {

using tracetest::Hex;

std::vector<TraceRecord*> CaptureMix(int cycles) {
  std::vector<TraceRecord*> records;
  tracetest::TracedStack stack;
  stack.SetRecordSink([&records](TraceRecord* record) { records.push_back(record); });
  HANDLE h = stack.Open(UserMode);

  const std::vector<uint8_t> connectReq =
      Hex("28 00 01 00 02 80 07 00 01 00 00 00 10 00 04 81 31 32 33 04 00 80 34 35 "
          "00 00 09 01 00 01 00 00 00 00 00 00 00 00 00 00");
  const std::vector<uint8_t> connectConf = Hex("0E 00 01 00 02 81 07 00 01 01 00 00 00 00");
  const std::vector<uint8_t> connectB3ActiveInd = Hex("0D 00 01 00 83 82 08 00 01 01 01 00 00");
  const std::vector<uint8_t> dataB3Conf = Hex("10 00 01 00 86 81 09 00 01 01 01 00 03 00 00 00");
  const std::vector<uint8_t> disconnectReq = Hex("0D 00 01 00 04 80 0A 00 01 01 00 00 00");
  const std::vector<uint8_t> disconnectInd = Hex("0E 00 01 00 04 82 0B 00 01 01 00 00 90 34");
  std::vector<uint8_t> dataB3Req = tracetest::DataB3(0x80, 2048);
  for (int i = 0; i < 2048; ++i) dataB3Req.push_back(uint8_t(i));

  std::vector<uint8_t> answer;
  stack.SetResponder([&answer](PIRP irp, PIO_STACK_LOCATION stack) {
    if (!answer.empty())
      std::memcpy(irp->AssociatedIrp.SystemBuffer, answer.data(), answer.size());
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = answer.size();
    (void)stack;
    return STATUS_SUCCESS;
  });
  uint8_t buffer[256];
  auto write = [&](const std::vector<uint8_t>& message) {
    answer.clear();
    emu::Write(h, message.data(), ULONG(message.size()));
  };
  auto read = [&](const std::vector<uint8_t>& message) {
    answer = message;
    emu::Read(h, buffer, sizeof buffer);
  };
  for (int cycle = 0; cycle < cycles; ++cycle) {
    write(connectReq);
    read(connectConf);
    read(connectB3ActiveInd);
    for (int i = 0; i < 8; ++i) {
      write(dataB3Req);
      read(dataB3Conf);
    }
    uint8_t controller[4] = {1, 0, 0, 0};
    answer = {0x02, 0x00, 0x00, 0x00, 0x35, 0x00, 0x12, 0x00};
    emu::DeviceIoControl(h, CAPI_GET_VERSION, controller, 4, buffer, 8);
    write(disconnectReq);
    read(disconnectInd);
  }
  return records;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = argc > 1 ? std::atoi(argv[1]) : 200;
  tracetest::TempDriveC drive;

  // Memory: pool held by the queued records against the bytes they copied.
  uint32_t tag = emu::MakePoolTag("NRXc");
  size_t before = emu::Pool::Report(tag).chargedBytes;
  std::vector<TraceRecord*> records = CaptureMix(cycles);
  size_t held = emu::Pool::Report(tag).chargedBytes - before;
  size_t captured = 0;
  for (TraceRecord* record : records) captured += record->message.size + record->ioBuffer.size;
  double perRecord = double(held - captured) / double(records.size());
  std::printf("records:                      %zu\n", records.size());
  std::printf("pool held by queued records:  %zu bytes\n", held);
  std::printf("captured message/buffer bytes %zu bytes\n", captured);
  std::printf("overhead per record:          %.1f bytes (target <= 192)\n", perRecord);

  // The writer: format and write every record.
  NTSTATUS status;
  auto* writer = new LogWriter(&status, L"C:\\bench.log");
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "cannot open the log: 0x%08lX\n", status);
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  for (TraceRecord* record : records) writer->Queue(record);
  delete writer;  // drains the queue and closes the file
  double formatted = Seconds(std::chrono::steady_clock::now() - start);
  std::string log = drive.Read("bench.log");

  // The same bytes in the same write calls, unformatted: each line's text
  // (when not empty), then its CR LF, as the writer's sink writes them.
  std::vector<std::pair<size_t, size_t>> pieces;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos)
      end = log.size();
    if (end > at)
      pieces.emplace_back(at, end - at);
    if (end == log.size())
      break;
    pieces.emplace_back(end, 2);
    at = end + 2;
  }
  LogFile& file = LogFile::Instance();
  if (!NT_SUCCESS(file.Open(L"C:\\plain.log", false)))
    return 1;
  start = std::chrono::steady_clock::now();
  for (const auto& piece : pieces) {
    ULONG written;
    file.Append(log.data() + piece.first, ULONG(piece.second), &written);
  }
  file.Close();
  double plain = Seconds(std::chrono::steady_clock::now() - start);
  if (drive.Read("plain.log") != log) {
    std::fprintf(stderr, "the unformatted copy differs from the log\n");
    return 1;
  }

  double formattedRate = records.size() / formatted;
  double plainRate = records.size() / plain;
  std::printf("log bytes:                    %zu in %zu writes\n", log.size(), pieces.size());
  std::printf("formatted and written:        %.0f records/s\n", formattedRate);
  std::printf("written without formatting:   %.0f records/s\n", plainRate);
  std::printf("ratio:                        %.2f (target >= 0.67)\n", formattedRate / plainRate);
  return 0;
}

// The soak's reading of its log, record by record (through pellinor-log's
// reader, whose message layouts are the decoder's own tables): every record
// whole (time stamp, summary and status lines, each decoded message with
// exactly its table's parameter lines, the payload dump as long as the
// settings allow), every completion the device's success, and the REQ and
// CONF messages of each client in the order the client sent them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/reliability/SoakClient.h"
#include "tools/pellinor-log/LogReader.h"

namespace reliability {

class SoakLogCheck : public pellinorlog::LogSink {
 public:
  // `clients` by index; `baseMs` the clients' time base in milliseconds
  // since 1970, as the log's time stamps read.
  SoakLogCheck(const std::vector<const SoakClient*>& clients, int64_t baseMs);

  // Reads one whole log file (CR LF line ends required) and checks it. The
  // files of a run are checked in the order they were written, each once
  // the trace device that wrote it is gone; the clients may still run.
  void Check(const std::string& log);

  void OnRecord(const pellinorlog::LogRecord& record, std::string_view raw) override;

  // Records of requests and completions (with or without their summary).
  uint64_t TracedRecords() const { return requests_ + completions_ + messageOnly_; }
  uint64_t LostAnnounced() const { return lost_; }
  uint64_t StartBlocks() const { return starts_; }
  uint64_t StopBlocks() const { return stops_; }
  // "Traced Device Removed" blocks, each told while tracing ran.
  uint64_t Removals() const { return removals_; }
  uint64_t Banners() const { return banners_; }
  // Traced records that stand between a trace device's banner and its first
  // "Start Tracing" block, and after a "Stop Tracing" block before the next
  // start (see OnRecord).
  uint64_t RecordsBeforeStart() const { return beforeStart_; }
  uint64_t RecordsAfterStop() const { return afterStop_; }
  // REQ and CONF messages placed in their client's sequence.
  uint64_t OrderedMessages() const { return ordered_; }
  uint64_t Pieces() const { return pieces_; }
  uint64_t Bytes() const { return bytes_; }
  uint64_t ProblemCount() const { return problemCount_; }
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  void Problem(const pellinorlog::LogRecord& record, const std::string& what);
  void CheckDump(const pellinorlog::LogRecord& record, const std::string& what, uint32_t dumped,
                 uint32_t payload);
  void CheckRequestBuffers(const pellinorlog::LogRecord& record);
  void CheckCompletionBuffers(const pellinorlog::LogRecord& record);
  void CheckMessage(const pellinorlog::LogRecord& record, const pellinorlog::MessageView& message);

  std::vector<const SoakClient*> clients_;
  int64_t baseMs_;
  // Per client: 2 * sequence, plus 1 for a CONF, of the last message placed.
  std::vector<int64_t> lastKey_;
  // The b3bytes of the last two "Start Tracing" blocks of the trace device
  // that writes: a record captured as a restart changes the settings may
  // carry either.
  uint32_t b3Bytes_ = 32;
  uint32_t previousB3Bytes_ = 32;
  // Whether the device has written its first "Start Tracing" block, and a
  // "Stop Tracing" block since its last start.
  bool started_ = false;
  bool stopped_ = false;
  // Payload dumps of records before the device's first start block: their
  // settings are the ones that block announces.
  struct PendingDump {
    std::string what;
    uint32_t dumped;
    uint32_t payload;
  };
  std::vector<PendingDump> pendingDumps_;
  uint64_t beforeStart_ = 0, afterStop_ = 0;
  uint64_t requests_ = 0, completions_ = 0, messageOnly_ = 0;
  uint64_t lost_ = 0, starts_ = 0, stops_ = 0, banners_ = 0, ordered_ = 0, removals_ = 0;
  uint64_t pieces_ = 0, bytes_ = 0;
  uint64_t problemCount_ = 0;
  std::vector<std::string> problems_;
};

}  // namespace reliability

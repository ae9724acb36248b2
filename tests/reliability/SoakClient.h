// One client of the soak: a CAPI application in user mode or kernel mode
// that runs session after session against the CAPI device until told to
// stop: open, register, the information I/O controls, a call with DATA_B3
// blocks of payload, release, close. Every request's answer is checked
// against what the simulated device answers; every REQ message it puts
// carries its own sequence in the message number, and the times around
// each are kept for the log's check.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

#include "tests/reliability/SoakGate.h"

namespace sim {
class CapiApplication;
struct ReceivedMessage;
}  // namespace sim

namespace reliability {

// The message number of a client's REQ (and of its CONF): the client in the
// top three bits, its sequence modulo 8192 below. The log's time stamps
// tell which turn of the sequence a number stands for.
constexpr unsigned kSoakClientBits = 3;
constexpr unsigned kSoakSequenceBits = 16 - kSoakClientBits;
constexpr uint32_t kSoakSequenceSpan = 1u << kSoakSequenceBits;
constexpr unsigned kSoakClients = 1u << kSoakClientBits;
static_assert(kSoakClients == 8, "four user-mode and four kernel-mode clients");

// One REQ that a client put, and when (milliseconds from the run's base
// time, floored as the log's time stamps are): from before the put to after
// its confirmation was got (kSoakUnderWay until then). A record showing the
// REQ or its CONF was captured in between.
constexpr uint32_t kSoakUnderWay = 0xFFFFFFFF;
struct SoakSentMessage {
  uint32_t beginMs = 0;
  uint32_t endMs = kSoakUnderWay;
  uint16_t applId = 0;
  uint16_t payload = 0;  // DATA_B3 payload bytes
  uint8_t command = 0;
};

class SoakClient {
 public:
  // `index` 0-7; `baseTime` the system time (100 ns units) that the
  // millisecond times count from.
  SoakClient(unsigned index, KPROCESSOR_MODE mode, int64_t baseTime);
  SoakClient(const SoakClient&) = delete;
  SoakClient& operator=(const SoakClient&) = delete;

  // Sessions until `stop`; between sessions it passes `gate`. The counts
  // and failures below are read once the thread has ended.
  void Run(const std::atomic<bool>& stop, SoakGate& gate);

  unsigned Index() const { return index_; }
  KPROCESSOR_MODE Mode() const { return mode_; }
  // The messages whose number has `low` as its sequence bits and that were
  // under way at `atMs`: how many, and the sequence and message of the last
  // of them. Callable while the client runs.
  unsigned Find(uint32_t low, int64_t atMs, uint64_t* sequence, SoakSentMessage* message) const;
  uint64_t MessagesSent() const;
  // Drops the messages done before `ms`: no record captured after that
  // will be looked up (a long run keeps only what the next check needs).
  void ForgetBefore(uint32_t ms);
  uint64_t Requests() const { return requests_; }
  uint64_t Sessions() const { return sessions_; }
  // Kernel-mode opens that a trace device on its way out refused.
  uint64_t RefusedOpens() const { return refusedOpens_; }
  uint64_t FailureCount() const { return failureCount_; }
  const std::vector<std::string>& Failures() const { return failures_; }

 private:
  void Session();
  bool Call(sim::CapiApplication& app);
  // Puts the REQ built in `message` (its number from NextNumber) and gets
  // its CONF; false (a failure noted) when either is not as the device
  // answers. *conf receives the confirmation.
  bool Request(sim::CapiApplication& app, const std::vector<uint8_t>& message,
               const std::vector<uint8_t>& payload, size_t infoOffset, sim::ReceivedMessage* conf);
  // Gets the indication that must come next: `command` to this
  // application. The caller answers it (its RESP takes the indication's
  // number).
  bool Indication(sim::CapiApplication& app, uint8_t command, sim::ReceivedMessage* ind);
  bool Put(sim::CapiApplication& app, const std::vector<uint8_t>& message,
           const std::vector<uint8_t>& payload, const char* what);
  bool Get(sim::CapiApplication& app, sim::ReceivedMessage* message, const char* what);
  bool Information(sim::CapiApplication& app);
  uint16_t NextNumber(uint8_t command, uint16_t applId, uint16_t payload);
  uint32_t NowMs() const;
  bool Check(bool ok, const std::string& what);

  unsigned index_;
  KPROCESSOR_MODE mode_;
  int64_t baseTime_;
  // Written by the client's thread, read by the log's check meanwhile.
  mutable std::mutex sentMutex_;
  std::deque<SoakSentMessage> sent_;  // from sequence forgotten_ on
  uint64_t forgotten_ = 0;
  uint64_t requests_ = 0;
  uint64_t sessions_ = 0;
  uint64_t refusedOpens_ = 0;
  uint64_t failureCount_ = 0;
  std::vector<std::string> failures_;
};

}  // namespace reliability

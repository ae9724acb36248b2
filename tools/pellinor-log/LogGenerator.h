// Writes trace logs the way the driver does, for the benchmark and the
// tests of pellinor-log: the banner, the target query, start and stop
// blocks, and the request and completion blocks of applications that
// register, call, send and receive DATA_B3 and hang up. CAPI messages are
// decoded by the driver's own decoder (capi/), so their text is the trace's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellinorlog {

class LogGenerator {
 public:
  // Appends to out; lines end in CR LF as in the log file, or in LF.
  LogGenerator(std::string& out, bool crlf);
  ~LogGenerator();
  LogGenerator(const LogGenerator&) = delete;
  LogGenerator& operator=(const LogGenerator&) = delete;

  void SetTime(int64_t ms) { nowMs_ = ms; }
  void Advance(int64_t ms) { nowMs_ += ms; }
  int64_t Time() const { return nowMs_; }

  // Text blocks of a trace device's life.
  void Banner(const std::string& target);
  void Query(const std::string& manufacturer, uint32_t controllers, uint32_t bChannels);
  void Start(uint32_t b3Bytes = 32);
  void Stop();
  void Lost(uint32_t count);

  // CAPI_REGISTER and CAPI_RELEASE on the application's own file object.
  void Register(uint32_t appl, uint32_t bufferSize = 1024);
  void RegisterFails(uint32_t appl, uint32_t status, const char* statusName, uint16_t capiError);
  void Release(uint32_t appl);

  // One message put by the application (a write) or got by it (a read's
  // completion), with its payload for DATA_B3.
  void Put(uint32_t appl, const std::vector<uint8_t>& message,
           const std::vector<uint8_t>& payload = {});
  void Get(uint32_t appl, const std::vector<uint8_t>& message,
           const std::vector<uint8_t>& payload = {});

  // A whole outgoing call on controller 1: connect, B3 connect, `blocks`
  // DATA_B3 each way of `size` bytes, then the application hangs up.
  // `reason` other than 0x3490 makes the network refuse the call instead.
  void OutgoingCall(uint32_t appl, uint8_t plci, const std::string& called,
                    const std::string& calling, uint32_t blocks, uint32_t size,
                    uint16_t reason = 0x3490);
  // An incoming call the application accepts; the remote side hangs up.
  void IncomingCall(uint32_t appl, uint8_t plci, const std::string& called,
                    const std::string& calling, uint32_t blocks, uint32_t size);

 private:
  void Line(const std::string& text);
  void Text(const std::string& text, bool stamped);
  void Stamp();
  std::string FileObject(uint32_t appl) const;
  std::string NextIrp();
  void Decoded(const std::vector<uint8_t>& message, const std::vector<uint8_t>& payload);
  uint16_t NextNumber(uint32_t appl);

  std::string& out_;
  bool crlf_;
  int64_t nowMs_ = 1041775387123;  // 2003-01-05 14:03:07.123
  uint32_t irp_ = 0;
  uint32_t b3Bytes_ = 32;
  uint16_t numbers_[256] = {};
};

// Message bytes: the header, then the parameters as the message's sequence
// lists them.
std::vector<uint8_t> CapiBytes(uint32_t appl, uint8_t command, uint8_t subcommand, uint16_t number,
                               const std::vector<uint8_t>& params);
void PutWord(std::vector<uint8_t>& v, uint16_t value);
void PutDword(std::vector<uint8_t>& v, uint32_t value);
void PutStruct(std::vector<uint8_t>& v, const std::string& bytes);

}  // namespace pellinorlog

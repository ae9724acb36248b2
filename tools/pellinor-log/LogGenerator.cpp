#include "tools/pellinor-log/LogGenerator.h"

#include "capi/CapiDecoder.h"
#include "capi/TraceText.h"

#include <cstdio>

namespace pellinorlog {
namespace {

// The decoder's text leaves through the trace text sink, a single global;
// the generator is its only user while it runs.
std::string* decoded = nullptr;
char textBuffer[kTraceTextSize];

void CollectText(const char* text, uint32_t, const void*) {
  if (decoded != nullptr)
    decoded->append(text);
}

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static_assert(sizeof(kDays) / sizeof(kDays[0]) == 7 && sizeof(kMonths) / sizeof(kMonths[0]) == 12,
              "names of the time stamp");

std::string StampText(int64_t ms) {
  int64_t days = ms / 86400000;
  int64_t rest = ms % 86400000;
  int weekday = int((days + 4) % 7);  // 1 January 1970 was a Thursday
  int64_t z = days + 719468;
  int64_t era = z / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int day = int(doy - (153 * mp + 2) / 5 + 1);
  int month = int(mp < 10 ? mp + 3 : mp - 9);
  int year = int(yoe + era * 400 + (month <= 2 ? 1 : 0));
  char text[40];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d %s, %s %02d %04d", int(rest / 3600000),
                int(rest / 60000 % 60), int(rest / 1000 % 60), int(rest % 1000), kDays[weekday],
                kMonths[month - 1], day, year);
  return text;
}

std::string HexLines(const uint8_t* bytes, size_t count) {
  std::string text;
  while (count != 0) {
    size_t r = count < 16 ? count : 16;
    char line[80];
    size_t n = 0;
    for (size_t i = 0; i < 16; ++i) {
      if (i == 8)
        n += size_t(std::snprintf(line + n, sizeof(line) - n, "- "));
      if (i < r)
        n += size_t(std::snprintf(line + n, sizeof(line) - n, "%02X ", bytes[i]));
      else
        n += size_t(std::snprintf(line + n, sizeof(line) - n, ".. "));
    }
    n += size_t(std::snprintf(line + n, sizeof(line) - n, "  "));
    for (size_t i = 0; i < 16; ++i) {
      uint8_t c = i < r ? bytes[i] : 0;
      bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
      line[n++] = i < r && plain ? char(c) : '.';
    }
    line[n] = '\0';
    text += line;
    text += '\n';
    if (r < 16)
      break;
    bytes += 16;
    count -= 16;
  }
  return text;
}

std::string Number(uint8_t type, const std::string& digits) {
  return std::string(1, char(type)) + digits;
}

constexpr char kRule80[] =
    "--------------------------------------------------------------------------------";

}  // namespace

void PutWord(std::vector<uint8_t>& v, uint16_t value) {
  v.push_back(uint8_t(value));
  v.push_back(uint8_t(value >> 8));
}

void PutDword(std::vector<uint8_t>& v, uint32_t value) {
  PutWord(v, uint16_t(value));
  PutWord(v, uint16_t(value >> 16));
}

void PutStruct(std::vector<uint8_t>& v, const std::string& bytes) {
  v.push_back(uint8_t(bytes.size()));
  v.insert(v.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> CapiBytes(uint32_t appl, uint8_t command, uint8_t subcommand, uint16_t number,
                               const std::vector<uint8_t>& params) {
  std::vector<uint8_t> m;
  PutWord(m, uint16_t(8 + params.size()));
  PutWord(m, uint16_t(appl));
  m.push_back(command);
  m.push_back(subcommand);
  PutWord(m, number);
  m.insert(m.end(), params.begin(), params.end());
  return m;
}

LogGenerator::LogGenerator(std::string& out, bool crlf) : out_(out), crlf_(crlf) {}

LogGenerator::~LogGenerator() {
  TraceTextInit(nullptr, 0, nullptr);
}

void LogGenerator::Line(const std::string& text) {
  out_ += text;
  out_ += crlf_ ? "\r\n" : "\n";
}

void LogGenerator::Stamp() {
  Line("");
  Line("");
  Line(StampText(nowMs_));
}

// A text record: an empty line, the time stamp line unless the record has
// none, then the text, whose "\n" become line ends.
void LogGenerator::Text(const std::string& text, bool stamped) {
  Line("");
  if (stamped)
    Line(StampText(nowMs_));
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      out_ += text.substr(start);
      break;
    }
    Line(text.substr(start, nl - start));
    start = nl + 1;
  }
}

std::string LogGenerator::FileObject(uint32_t appl) const {
  char text[16];
  std::snprintf(text, sizeof(text), "81F2%04X", unsigned(appl * 0x40));
  return text;
}

std::string LogGenerator::NextIrp() {
  char text[16];
  std::snprintf(text, sizeof(text), "81E%05X", unsigned(++irp_ * 8 & 0xFFFFF));
  return text;
}

uint16_t LogGenerator::NextNumber(uint32_t appl) {
  return ++numbers_[appl & 0xFF];
}

void LogGenerator::Banner(const std::string& target) {
  Text(std::string(kRule80) +
           "\nPellinor CAPI 2.0 Kernel Trace Driver v2.0  Build Date 10:00:00 Dec  7 2026\n\n" +
           "Test build of the trace driver, not for release.\n" + kRule80 +
           "\nTracing CAPI device \"" + target + "\"\n",
       false);
}

void LogGenerator::Query(const std::string& manufacturer, uint32_t controllers,
                         uint32_t bChannels) {
  Text("=== Target Device Query ===\nManufacturer:          " + manufacturer +
           "\nNumber of Controllers: " + std::to_string(controllers) + "\n",
       true);
  uint8_t profile[64] = {};
  profile[0] = uint8_t(controllers);
  profile[2] = uint8_t(controllers != 0 ? bChannels / controllers : 0);
  for (uint32_t n = 1; n <= controllers; ++n) {
    Text("--- Controller Nr. " + std::to_string(n) + " ---\nSerial Number:              1234567\n" +
             "CAPI Version:               2.0\nManufacturer Version:       3.11\nProfile:\n" +
             HexLines(profile, sizeof(profile)),
         false);
  }
  Text("Total Number of BChannels: " + std::to_string(bChannels) +
           "\n-------------------------------------------------\n",
       false);
}

void LogGenerator::Start(uint32_t b3Bytes) {
  b3Bytes_ = b3Bytes;
  Text(std::string(kRule80) + "\nStart Tracing\nSettings:\n  CAPI functions: YES\n" +
           "  CAPI messages:  YES\n  MaxDataB3Bytes: " + std::to_string(b3Bytes) +
           "\n  CAPI ManuMessages:   YES\n  UserMode Appls: YES\n\n" + kRule80 + "\n",
       true);
}

void LogGenerator::Stop() {
  Text(std::string(kRule80) + "\nStop Tracing\n" + kRule80 + "\n", true);
}

void LogGenerator::Lost(uint32_t count) {
  Text("*** " + std::to_string(count) + " trace records lost ***\n", true);
}

void LogGenerator::Register(uint32_t appl, uint32_t bufferSize) {
  std::string fo = FileObject(appl);
  std::string irp = NextIrp();
  Stamp();
  Line("CAPI_REGISTER            (MJ_DEVICE_CONTROL (UserMode, FileObj " + fo + ", Irp " + irp +
       "))");
  Line("    InputBufferLength:  8 (0x8)    OutputBufferLength: 4 (0x4)");
  Line("  MessageBufferSize:    " + std::to_string(bufferSize));
  Line("  maxLogicalConnection: 2");
  Line("  maxBDataBLocks:       7");
  Line("  maxBDataLength:       2048");
  Advance(1);
  Stamp();
  Line("COMPLETION CAPI_REGISTER (MJ_DEVICE_CONTROL (UserMode, FileObj " + fo + ", Irp " + irp +
       "))");
  Line("    0x0000 (0x00000000: STATUS_SUCCESS, Information: 4 (0x4))");
  Line("  ApplID: " + std::to_string(appl) + " (additional return value)");
}

void LogGenerator::RegisterFails(uint32_t appl, uint32_t status, const char* statusName,
                                 uint16_t capiError) {
  std::string fo = FileObject(appl);
  std::string irp = NextIrp();
  Stamp();
  Line("CAPI_REGISTER            (MJ_DEVICE_CONTROL (UserMode, FileObj " + fo + ", Irp " + irp +
       "))");
  Line("    InputBufferLength:  8 (0x8)    OutputBufferLength: 4 (0x4)");
  Line("  MessageBufferSize:    512");
  Line("  maxLogicalConnection: 2");
  Line("  maxBDataBLocks:       7");
  Line("  maxBDataLength:       2048");
  Advance(1);
  Stamp();
  char line[160];
  std::snprintf(line, sizeof(line), "   CAPIError 0x%04X (0x%08X: %s, Information: 0 (0x0))",
                capiError, status, statusName);
  Line("COMPLETION CAPI_REGISTER (MJ_DEVICE_CONTROL (UserMode, FileObj " + fo + ", Irp " + irp +
       "))");
  Line(line);
}

void LogGenerator::Release(uint32_t appl) {
  std::string fo = FileObject(appl);
  std::string irp = NextIrp();
  Stamp();
  Line("CAPI_RELEASE            (MJ_DEVICE_CONTROL (UserMode, FileObj " + fo + ", Irp " + irp +
       "))");
  Line("    InputBufferLength:  4 (0x4)    OutputBufferLength: 0 (0x0)");
  Advance(1);
  Stamp();
  Line("COMPLETION CAPI_RELEASE (MJ_DEVICE_CONTROL (UserMode, FileObj " + fo + ", Irp " + irp +
       "))");
  Line("    0x0000 (0x00000000: STATUS_SUCCESS, Information: 0 (0x0))");
}

void LogGenerator::Decoded(const std::vector<uint8_t>& message,
                           const std::vector<uint8_t>& payload) {
  std::string text;
  decoded = &text;
  TraceTextInit(textBuffer, sizeof(textBuffer), CollectText);
  DecodeCapiMessage(message.data(), uint32_t(message.size()));
  decoded = nullptr;
  size_t dump = payload.size() < b3Bytes_ ? payload.size() : b3Bytes_;
  if (dump > 32)
    dump = 32;
  text += HexLines(payload.data(), dump);
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos)
      nl = text.size();
    Line(text.substr(start, nl - start));
    start = nl + 1;
  }
}

void LogGenerator::Put(uint32_t appl, const std::vector<uint8_t>& message,
                       const std::vector<uint8_t>& payload) {
  std::string head =
      "(MJ_WRITE (UserMode, FileObj " + FileObject(appl) + ", Irp " + NextIrp() + "))";
  size_t length = message.size() + payload.size();
  Stamp();
  Line("CAPI_PUT_MESSAGE            " + head);
  Line("    WriteBufferLength: " + std::to_string(length) + " (0x" + [&] {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%zX", length);
    return std::string(hex);
  }() + ")");
  Decoded(message, payload);
  Stamp();
  Line("COMPLETION CAPI_PUT_MESSAGE " + head);
  Line("    0x0000 (0x00000000: STATUS_SUCCESS, Information: 0 (0x0))");
}

void LogGenerator::Get(uint32_t appl, const std::vector<uint8_t>& message,
                       const std::vector<uint8_t>& payload) {
  std::string head =
      "(MJ_READ (UserMode, FileObj " + FileObject(appl) + ", Irp " + NextIrp() + "))";
  size_t length = message.size() + payload.size();
  Stamp();
  Line("CAPI_GET_MESSAGE            " + head);
  Line("    ReadBufferLength: 2200 (0x898)");
  Stamp();
  Line("COMPLETION CAPI_GET_MESSAGE " + head);
  char status[96];
  std::snprintf(status, sizeof(status),
                "    0x0000 (0x00000000: STATUS_SUCCESS, Information: %zu (0x%zX))", length,
                length);
  Line(status);
  Decoded(message, payload);
}

void LogGenerator::OutgoingCall(uint32_t appl, uint8_t plciNumber, const std::string& called,
                                const std::string& calling, uint32_t blocks, uint32_t size,
                                uint16_t reason) {
  uint32_t plci = 0x0001u | uint32_t(plciNumber) << 8;
  uint32_t ncci = plci | 0x00010000u;
  std::vector<uint8_t> p;
  PutDword(p, 1);
  PutWord(p, 2);  // CIP: unrestricted digital information
  PutStruct(p, Number(0x81, called));
  PutStruct(p, std::string("\x00\x80", 2) + calling);
  PutStruct(p, "");
  PutStruct(p, "");
  p.insert(p.end(), {9, 0, 0, 1, 0, 0, 0, 0, 0, 0});  // BProtocol: HDLC, X.75, transparent
  PutStruct(p, "");
  PutStruct(p, "");
  PutStruct(p, "");
  PutStruct(p, "");
  uint16_t number = NextNumber(appl);
  Put(appl, CapiBytes(appl, 0x02, 0x80, number, p));
  Advance(12);
  p.clear();
  PutDword(p, plci);
  PutWord(p, 0);
  Get(appl, CapiBytes(appl, 0x02, 0x81, number, p));
  Advance(1500);
  if (reason != 0x3490) {
    // The network refuses the call.
    p.clear();
    PutDword(p, plci);
    PutWord(p, reason);
    Get(appl, CapiBytes(appl, 0x04, 0x82, NextNumber(appl), p));
    p.clear();
    PutDword(p, plci);
    Put(appl, CapiBytes(appl, 0x04, 0x83, number, p));
    return;
  }
  p.clear();
  PutDword(p, plci);
  PutStruct(p, "");
  PutStruct(p, "");
  PutStruct(p, "");
  Get(appl, CapiBytes(appl, 0x03, 0x82, NextNumber(appl), p));
  p.clear();
  PutDword(p, plci);
  Put(appl, CapiBytes(appl, 0x03, 0x83, NextNumber(appl), p));
  Advance(5);
  number = NextNumber(appl);
  p.clear();
  PutDword(p, plci);
  PutStruct(p, "");
  Put(appl, CapiBytes(appl, 0x82, 0x80, number, p));
  Advance(3);
  p.clear();
  PutDword(p, ncci);
  PutWord(p, 0);
  Get(appl, CapiBytes(appl, 0x82, 0x81, number, p));
  Advance(40);
  p.clear();
  PutDword(p, ncci);
  PutStruct(p, "");
  Get(appl, CapiBytes(appl, 0x83, 0x82, NextNumber(appl), p));
  p.clear();
  PutDword(p, ncci);
  Put(appl, CapiBytes(appl, 0x83, 0x83, NextNumber(appl), p));
  std::vector<uint8_t> payload(size);
  for (uint32_t i = 0; i < size; ++i) payload[i] = uint8_t('A' + i % 26);
  for (uint32_t b = 0; b < blocks; ++b) {
    uint16_t handle = uint16_t(b & 7);
    number = NextNumber(appl);
    p.clear();
    PutDword(p, ncci);
    PutDword(p, 0);
    PutWord(p, uint16_t(size));
    PutWord(p, handle);
    PutWord(p, 0);
    Put(appl, CapiBytes(appl, 0x86, 0x80, number, p), payload);
    Advance(2);
    p.clear();
    PutDword(p, ncci);
    PutWord(p, handle);
    PutWord(p, 0);
    Get(appl, CapiBytes(appl, 0x86, 0x81, number, p));
    p.clear();
    PutDword(p, ncci);
    PutDword(p, 0);
    PutWord(p, uint16_t(size));
    PutWord(p, handle);
    PutWord(p, 0);
    uint16_t inNumber = NextNumber(appl);
    Get(appl, CapiBytes(appl, 0x86, 0x82, inNumber, p), payload);
    p.clear();
    PutDword(p, ncci);
    PutWord(p, handle);
    Put(appl, CapiBytes(appl, 0x86, 0x83, inNumber, p));
    Advance(16);
  }
  // The application hangs up.
  number = NextNumber(appl);
  p.clear();
  PutDword(p, plci);
  PutStruct(p, "");
  Put(appl, CapiBytes(appl, 0x04, 0x80, number, p));
  Advance(2);
  p.clear();
  PutDword(p, plci);
  PutWord(p, 0);
  Get(appl, CapiBytes(appl, 0x04, 0x81, number, p));
  Advance(20);
  p.clear();
  PutDword(p, ncci);
  PutWord(p, 0);
  PutStruct(p, "");
  uint16_t ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x84, 0x82, ind, p));
  p.clear();
  PutDword(p, ncci);
  Put(appl, CapiBytes(appl, 0x84, 0x83, ind, p));
  Advance(30);
  p.clear();
  PutDword(p, plci);
  PutWord(p, reason);
  ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x04, 0x82, ind, p));
  p.clear();
  PutDword(p, plci);
  Put(appl, CapiBytes(appl, 0x04, 0x83, ind, p));
}

void LogGenerator::IncomingCall(uint32_t appl, uint8_t plciNumber, const std::string& called,
                                const std::string& calling, uint32_t blocks, uint32_t size) {
  uint32_t plci = 0x0001u | uint32_t(plciNumber) << 8;
  uint32_t ncci = plci | 0x00020000u;
  std::vector<uint8_t> p;
  PutDword(p, plci);
  PutWord(p, 2);
  PutStruct(p, Number(0x81, called));
  PutStruct(p, std::string("\x01\x80", 2) + calling);
  for (int i = 0; i < 5; ++i) PutStruct(p, "");  // subaddresses, BC, LLC, HLC
  PutStruct(p, "");                              // AdditionalInfo
  uint16_t ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x02, 0x82, ind, p));
  Advance(300);
  p.clear();
  PutDword(p, plci);
  PutWord(p, 0);                                      // accept
  p.insert(p.end(), {9, 0, 0, 1, 0, 0, 0, 0, 0, 0});  // BProtocol
  for (int i = 0; i < 4; ++i) PutStruct(p, "");
  Put(appl, CapiBytes(appl, 0x02, 0x83, ind, p));
  Advance(50);
  p.clear();
  PutDword(p, plci);
  PutStruct(p, "");
  PutStruct(p, "");
  PutStruct(p, "");
  ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x03, 0x82, ind, p));
  p.clear();
  PutDword(p, plci);
  Put(appl, CapiBytes(appl, 0x03, 0x83, ind, p));
  p.clear();
  PutDword(p, ncci);
  PutStruct(p, "");
  ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x82, 0x82, ind, p));
  p.clear();
  PutDword(p, ncci);
  PutWord(p, 0);
  PutStruct(p, "");
  Put(appl, CapiBytes(appl, 0x82, 0x83, ind, p));
  p.clear();
  PutDword(p, ncci);
  PutStruct(p, "");
  ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x83, 0x82, ind, p));
  p.clear();
  PutDword(p, ncci);
  Put(appl, CapiBytes(appl, 0x83, 0x83, ind, p));
  std::vector<uint8_t> payload(size, 0x55);
  for (uint32_t b = 0; b < blocks; ++b) {
    p.clear();
    PutDword(p, ncci);
    PutDword(p, 0);
    PutWord(p, uint16_t(size));
    PutWord(p, uint16_t(b & 7));
    PutWord(p, 0);
    ind = NextNumber(appl);
    Get(appl, CapiBytes(appl, 0x86, 0x82, ind, p), payload);
    p.clear();
    PutDword(p, ncci);
    PutWord(p, uint16_t(b & 7));
    Put(appl, CapiBytes(appl, 0x86, 0x83, ind, p));
    Advance(20);
  }
  p.clear();
  PutDword(p, ncci);
  PutWord(p, 0);
  PutStruct(p, "");
  ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x84, 0x82, ind, p));
  p.clear();
  PutDword(p, ncci);
  Put(appl, CapiBytes(appl, 0x84, 0x83, ind, p));
  p.clear();
  PutDword(p, plci);
  PutWord(p, 0x3490);
  ind = NextNumber(appl);
  Get(appl, CapiBytes(appl, 0x04, 0x82, ind, p));
  p.clear();
  PutDword(p, plci);
  Put(appl, CapiBytes(appl, 0x04, 0x83, ind, p));
}

}  // namespace pellinorlog

// How fast CAPI messages become trace text: the message check, the decoder
// and the payload dump (checkCapiMessage, as the trace calls it for every
// captured message), today's code against the code before it was made
// faster (bench/baseline), measured in one run on the same messages.
//
//   capi_text_bench [seconds per measurement, default 0.3]
//
// Two workloads: a realistic mix (connection set-up with B protocol structs,
// DATA_B3 requests, confirmations, indications and responses with 2048
// payload bytes of which 32 are dumped, an INFO_IND and the tear-down), and
// DATA_B3_REQ alone. For each: messages per second, bytes of text per
// second, and the speed-up (target: at least 3). Kernel-free: built natively
// (-DPELLINOR_NATIVE=ON) and in the i386 host build, which runs under
// qemu-i386 where the kernel cannot run i386 programs; the header line says
// which.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench/baseline/CapiMessageCheck.h"
#include "bench/baseline/TraceText.h"
#include "capi/TraceText.h"
#include "trace/CapiMessageCheck.h"

namespace {

using Message = std::vector<uint8_t>;

Message Hex(const char* text) {
  Message bytes;
  for (const char* p = text; *p != '\0';) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(uint8_t(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

Message DataB3(uint8_t subcommand, uint16_t number, uint16_t handle, uint16_t payload) {
  Message m = Hex("16 00 01 00 86 80 00 00 01 01 01 00 00 00 00 00 00 00 00 00 00 00");
  m[5] = subcommand;
  m[6] = uint8_t(number);
  m[7] = uint8_t(number >> 8);
  m[16] = uint8_t(payload);
  m[17] = uint8_t(payload >> 8);
  m[18] = uint8_t(handle);
  m[19] = uint8_t(handle >> 8);
  for (uint32_t i = 0; i < payload; ++i) m.push_back(uint8_t(i * 7 + 0x20));
  return m;
}

// One connection: set-up, 8 blocks each way, an INFO_IND, tear-down.
std::vector<Message> Mix() {
  std::vector<Message> mix = {
      Hex("31 00 01 00 02 80 01 00 01 00 00 00 10 00 04 81 31 32 33 06 00 80 34 37 31 31 00 00 "
          "0D 01 00 01 00 00 00 00 04 03 00 07 07 00 03 80 90 A3 00 00 00"),
      Hex("0E 00 01 00 02 81 01 00 01 01 00 00 00 00"),
      Hex("14 00 01 00 03 82 02 80 01 01 00 00 05 00 81 31 32 33 00 00"),
      Hex("0C 00 01 00 03 83 02 80 01 01 00 00"),
      Hex("0D 00 01 00 82 80 02 00 01 01 00 00 00"),
      Hex("0E 00 01 00 82 81 02 00 01 01 01 00 00 00"),
      Hex("0D 00 01 00 83 82 04 80 01 01 01 00 00"),
      Hex("0C 00 01 00 83 83 04 80 01 01 01 00"),
  };
  for (uint16_t i = 0; i < 8; ++i) {
    mix.push_back(DataB3(0x80, uint16_t(10 + i), i, 2048));
    mix.push_back(Hex("10 00 01 00 86 81 0A 00 01 01 01 00 03 00 00 00"));
    mix.push_back(DataB3(0x82, uint16_t(0x8010 + i), i, 2048));
    mix.push_back(Hex("0E 00 01 00 86 83 05 80 01 01 01 00 03 00"));
  }
  const char* tail[] = {
      "12 00 01 00 08 82 06 80 01 01 00 00 28 00 03 02 81 0C",
      "0C 00 01 00 08 83 06 80 01 01 00 00",
      "0D 00 01 00 84 80 05 00 01 01 01 00 00",
      "0E 00 01 00 84 81 05 00 01 01 01 00 00 00",
      "0F 00 01 00 84 82 07 80 01 01 01 00 00 00 00",
      "0C 00 01 00 84 83 07 80 01 01 01 00",
      "0D 00 01 00 04 80 06 00 01 01 00 00 00",
      "0E 00 01 00 04 81 06 00 01 01 00 00 00 00",
      "0E 00 01 00 04 82 08 80 01 01 00 00 90 34",
      "0C 00 01 00 04 83 08 80 01 01 00 00",
  };
  for (const char* t : tail) mix.push_back(Hex(t));
  return mix;
}

// The settings of a default trace with every message decoded:
// TRACE_CAPI_MESSAGES and TRACE_CAPI_FUNCTIONS, MaxDataB3Bytes 32.
constexpr uint32_t kSettings = 0x00200003;

// What the sinks saw: text bytes, and (when kept) the text itself.
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

using CheckFunction = void (*)(const uint8_t*, uint32_t, uint32_t, uint32_t);

void RunOnce(CheckFunction check, const std::vector<Message>& messages) {
  for (const Message& m : messages) check(m.data(), uint32_t(m.size()), uint32_t(m.size()), kSettings);
}

struct Rate {
  double messages;  // per second
  double bytes;     // of text per second
};

// The thread's processor time in seconds: on a machine shared with other
// work, what the code itself took.
double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// One measurement of at least `seconds` of processor time.
Rate MeasureOnce(CheckFunction check, const std::vector<Message>& messages, double seconds) {
  textBytes = 0;
  uint64_t count = 0;
  double start = ThreadSeconds();
  double elapsed = 0;
  // Reading the clock is a system call: read it every thousand messages.
  size_t batch = (1000 + messages.size() - 1) / messages.size();
  do {
    for (size_t i = 0; i < batch; ++i) RunOnce(check, messages);
    count += batch * messages.size();
    elapsed = ThreadSeconds() - start;
  } while (elapsed < seconds);
  return Rate{count / elapsed, textBytes / elapsed};
}

// The best of five measurements of each, taken in turns, so that a busy
// machine or a change of clock speed hits both alike.
void Measure(const std::vector<Message>& messages, double seconds, Rate* before, Rate* after) {
  *before = Rate{0, 0};
  *after = Rate{0, 0};
  for (int round = 0; round < 5; ++round) {
    Rate b = MeasureOnce(pellinor_baseline::checkCapiMessage, messages, seconds);
    Rate a = MeasureOnce(checkCapiMessage, messages, seconds);
    if (b.messages > before->messages)
      *before = b;
    if (a.messages > after->messages)
      *after = a;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // --text prints the mix's text once instead (to look at what is measured).
  bool showText = argc > 1 && std::string(argv[1]) == "--text";
  double seconds = argc > 1 && !showText ? std::atof(argv[1]) : 0.3;
  static char newBuffer[kTraceTextSize];
  static char oldBuffer[pellinor_baseline::kTraceTextSize];
  TraceTextInit(newBuffer, sizeof newBuffer, NewSink);
  pellinor_baseline::TraceTextInit(oldBuffer, sizeof oldBuffer, OldSink);

  struct Workload {
    const char* name;
    std::vector<Message> messages;
  };
  std::vector<Workload> workloads = {{"mix", Mix()}, {"DATA_B3_REQ", {DataB3(0x80, 4660, 3, 2048)}}};

  // Both must print the same text, or the comparison means nothing.
  for (const Workload& w : workloads) {
    std::string newText, oldText;
    kept = &newText;
    RunOnce(checkCapiMessage, w.messages);
    kept = &oldText;
    RunOnce(pellinor_baseline::checkCapiMessage, w.messages);
    kept = nullptr;
    if (newText != oldText) {
      std::fprintf(stderr, "%s: today's text differs from the baseline's\n", w.name);
      return 1;
    }
  }

  if (showText) {
    std::string text;
    kept = &text;
    RunOnce(checkCapiMessage, workloads[0].messages);
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  std::printf("CAPI message text (check, decode, payload dump), %s build, best of 5 x %.2f s of processor time\n",
              sizeof(void*) == 8 ? "x86-64" : "i386",
              seconds);
  std::printf("%-12s %-9s %14s %14s %9s\n", "workload", "code", "messages/s", "text MB/s",
              "speed-up");
  for (const Workload& w : workloads) {
    Rate before, after;
    Measure(w.messages, seconds, &before, &after);
    std::printf("%-12s %-9s %14.0f %14.1f\n", w.name, "baseline", before.messages,
                before.bytes / 1e6);
    std::printf("%-12s %-9s %14.0f %14.1f %8.2fx (target >= 3)\n", w.name, "today",
                after.messages, after.bytes / 1e6, after.messages / before.messages);
  }
  return 0;
}

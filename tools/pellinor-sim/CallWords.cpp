#include "tools/pellinor-sim/CallWords.h"

#include <cstdio>

#include "tools/pellinor-log/CapiExplain.h"

namespace pellinorsim {
namespace {

// The provider's controllers are numbered from 1 to 8.
constexpr uint32_t kMaxControllers = 8;

}  // namespace

uint32_t ParseController(const std::string& word) {
  const uint32_t controller = ParseNumber(word, "controller number");
  if (controller < 1 || controller > kMaxControllers) {
    throw BadWord("a controller number runs from 1 to " + std::to_string(kMaxControllers));
  }
  return controller;
}

uint16_t ParseWord16(const std::string& word, const char* what) {
  const uint32_t value = ParseNumber(word, what);
  if (value > 0xFFFF) throw BadWord(std::string("'") + word + "' is too large for a " + what);
  return uint16_t(value);
}

sim::CallOptions TakeCallOptions(Words& words) {
  sim::CallOptions options;
  while (words.More()) {
    const std::string option = words.Take("option");
    if (option == "incoming") {
      options.incoming = true;
    } else if (option == "controller") {
      options.controller = ParseController(words.Take("controller"));
    } else if (option == "blocks") {
      options.dataBlocks = ParseNumber(words.Take("number of blocks"), "number");
    } else if (option == "size") {
      options.blockSize = ParseWord16(words.Take("block size"), "block size");
    } else {
      throw BadWord("unknown call option '" + option + "' (incoming, controller, blocks, size)");
    }
  }
  return options;
}

std::string ResultText(const sim::RequestResult& result) {
  return DescribeStatus(uint32_t(result.status)) + ", information " +
         std::to_string(result.information);
}

std::string CallOutcome(const sim::CallReport& report) {
  if (!report.ok)
    return "failed: " + DescribeFailure(report);
  char text[64];
  std::snprintf(text, sizeof text, "PLCI 0x%08X, NCCI 0x%08X", unsigned(report.plci),
                unsigned(report.ncci));
  return "ok, " + std::string(text) + ", " + std::to_string(report.blocksEchoed) +
         " blocks echoed";
}

std::string DescribeFailure(const sim::CallReport& report) {
  std::string text = report.failure;
  if (!report.reason.empty())
    text += ": " + report.reason;
  if (!NT_SUCCESS(report.status))
    text += " ended with " + DescribeStatus(uint32_t(report.status));
  if (report.hasInfo) {
    char info[16];
    std::snprintf(info, sizeof info, "0x%04X", unsigned(report.info));
    text += std::string(" Info ") + info + " (" + pellinorlog::ExplainInfo(report.info) + ")";
  }
  if (!report.limit.empty())
    text += ": " + report.limit;
  return text;
}

}  // namespace pellinorsim

#include "tools/pellinor-sim/ScenarioScript.h"

#include <cstdio>
#include <cstring>

#include "tools/common/Digits.h"
#include "trace/NameTables.h"

namespace pellinorsim {

using pellinortools::HexDigit;

Words::Words(const Step& step, size_t first) : step(step), next(first) {
  const auto& w = step.words;
  end = w.size();
  if (w.size() >= first + 2 && !w[w.size() - 2].quoted && w[w.size() - 2].text == "=>") {
    expectation = w.back().text;
    hasExpectation = true;
    end -= 2;
  }
}

const std::string& Words::Take(const char* what) {
  if (next >= end) throw BadWord(std::string("missing ") + what);
  return step.words[next++].text;
}

std::string Words::Peek() const { return next < end ? step.words[next].text : std::string(); }

void Words::Done() const {
  if (next < end) throw BadWord("unexpected '" + step.words[next].text + "'");
}

std::vector<std::string> Words::Rest() {
  std::vector<std::string> rest;
  while (next < end) rest.push_back(step.words[next++].text);
  return rest;
}

void Words::NoExpectation() const {
  if (hasExpectation) throw BadWord("this command has no result to expect");
}

StatusExpectation::StatusExpectation(const Words& words) {
  if (!words.HasExpectation()) return;
  given = true;
  if (words.Expectation() == "any") {
    any = true;
  } else {
    status = ParseStatus(words.Expectation());
  }
}

void StatusExpectation::Check(const std::string& what, uint32_t actual) const {
  if (any) return;
  if (given ? actual == status : (actual & 0x80000000u) == 0) return;
  throw StepFailure(what + " ended with " + DescribeStatus(actual) + ", expected " +
                    (given ? DescribeStatus(status) : std::string("success")));
}

std::vector<Step> SplitScript(const std::string& text) {
  std::vector<Step> steps;
  int line = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++line;
    std::string row = text.substr(start, end - start);
    if (!row.empty() && row.back() == '\r') row.pop_back();
    Step step;
    step.line = line;
    size_t i = 0;
    while (i < row.size()) {
      const char c = row[i];
      if (c == ' ' || c == '\t') {
        ++i;
        continue;
      }
      if (c == '#') break;
      Word word;
      if (c == '"') {
        word.quoted = true;
        ++i;
        bool closed = false;
        while (i < row.size()) {
          const char q = row[i];
          if (q == '"') {
            closed = true;
            ++i;
            break;
          }
          // Only \" is an escape: every other backslash is itself, so
          // that Windows paths ("C:\new\test.log", "\\server\share")
          // come through as written.
          if (q == '\\' && i + 1 < row.size() && row[i + 1] == '"') {
            word.text += '"';
            i += 2;
            continue;
          }
          word.text += q;
          ++i;
        }
        if (!closed) throw SyntaxError(line, "unterminated quote");
        if (i < row.size() && row[i] != ' ' && row[i] != '\t' && row[i] != '#') {
          throw SyntaxError(line, "a quoted word must be followed by a blank");
        }
      } else {
        while (i < row.size() && row[i] != ' ' && row[i] != '\t') word.text += row[i++];
      }
      step.words.push_back(word);
    }
    if (!step.words.empty()) steps.push_back(step);
    if (end == text.size()) break;
    start = end + 1;
  }
  return steps;
}

namespace {

uint64_t NumberUpTo(const std::string& word, const char* what, uint64_t largest) {
  uint64_t value = 0;
  switch (pellinortools::ParseUnsigned(word, largest, &value)) {
    case pellinortools::NumberText::kNumber:
      return value;
    case pellinortools::NumberText::kTooLarge:
      throw BadWord(std::string("'") + word + "' is too large for a " + what);
    case pellinortools::NumberText::kNotANumber:
      break;
  }
  throw BadWord(std::string("'") + word + "' is not a " + what);
}

}  // namespace

uint64_t ParseNumber64(const std::string& word, const char* what) {
  return NumberUpTo(word, what, UINT64_MAX);
}

uint32_t ParseNumber(const std::string& word, const char* what) {
  return uint32_t(NumberUpTo(word, what, 0xFFFFFFFFu));
}

uint32_t ParseStatus(const std::string& word) {
  if (word.rfind("STATUS_", 0) == 0) {
    for (size_t i = 0; i + 1 < kNtStatusRows; ++i) {
      if (word == NtStatusTable[i].name) return NtStatusTable[i].code;
    }
    throw BadWord("unknown status '" + word + "'");
  }
  return ParseNumber(word, "status");
}

std::vector<uint8_t> ParseHex(const std::string& word) {
  std::vector<uint8_t> bytes;
  if (word == "-") return bytes;
  int high = -1;
  for (char c : word) {
    if (c == ' ' || c == '\t' || c == ',' || c == ':') {
      if (high >= 0) throw BadWord("'" + word + "': a byte needs two hexadecimal digits");
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) {
      throw BadWord("'" + word + "' is not hexadecimal bytes");
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(uint8_t(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) throw BadWord("'" + word + "': a byte needs two hexadecimal digits");
  return bytes;
}

IoctlBuffers TakeIoctlBuffers(Words& words) {
  IoctlBuffers buffers;
  if (words.More()) buffers.input = ParseHex(words.Take("input bytes"));
  if (words.More()) {
    buffers.outputLength = ParseNumber(words.Take("output length"), "output length");
  }
  return buffers;
}

size_t ReturnedBytes(uint32_t status, uint64_t information, uint32_t outputLength) {
  if ((status & 0xC0000000u) == 0xC0000000u) return 0;
  return size_t(information < outputLength ? information : outputLength);
}

std::string DescribeStatus(uint32_t status) {
  char text[96];
  std::snprintf(text, sizeof text, "0x%08X %s", status, ntStatusName(status));
  return text;
}

std::string HexText(const uint8_t* bytes, size_t length) {
  if (length == 0) return "(none)";
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += byte;
  }
  return text;
}

std::string Quote(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '"' || c == '#' || c == '\n') plain = false;
  }
  if (plain) return text;
  // Line ends cannot be quoted: each line is a word of its own, as
  // `expect stdout` takes them.
  std::string quoted;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    quoted += quoted.empty() ? "\"" : " \"";
    for (char c : line) {
      if (c == '"') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return quoted;
}

}  // namespace pellinorsim

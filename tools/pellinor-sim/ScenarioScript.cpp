#include "tools/pellinor-sim/ScenarioScript.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "trace/NameTables.h"

namespace pellinorsim {

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
          if (q == '\\' && i + 1 < row.size()) {
            const char e = row[i + 1];
            const char* escapes = "\"\\nt";
            if (std::strchr(escapes, e) != nullptr) {
              word.text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
              i += 2;
              continue;
            }
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

uint64_t ParseNumber64(const std::string& word, const char* what) {
  size_t i = 0;
  unsigned base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == word.size()) throw BadWord(std::string("'") + word + "' is not a " + what);
  uint64_t value = 0;
  for (; i < word.size(); ++i) {
    const char c = word[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = unsigned(c - '0');
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = unsigned(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    } else {
      throw BadWord(std::string("'") + word + "' is not a " + what);
    }
    if (value > (UINT64_MAX - digit) / base) {
      throw BadWord(std::string("'") + word + "' is too large for a " + what);
    }
    value = value * base + digit;
  }
  return value;
}

uint32_t ParseNumber(const std::string& word, const char* what) {
  const uint64_t value = ParseNumber64(word, what);
  if (value > 0xFFFFFFFFu) throw BadWord(std::string("'") + word + "' is too large for a " + what);
  return uint32_t(value);
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
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw BadWord("'" + word + "' is not hexadecimal bytes");
    }
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
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
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\t') {
      quoted += "\\t";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace pellinorsim

// The scenario language of pellinor-sim: one command a line, words
// separated by blanks, "#" starting a comment outside quotes, blank lines
// ignored. A word in double quotes may hold blanks and "#"; inside quotes
// only \" is an escape (a quote), and every other backslash stands for
// itself, so that Windows paths ("C:\My Logs\trace.log", "\\server\x.log")
// are written as they are. A word never holds a line end.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pellinorsim {

struct Word {
  std::string text;
  bool quoted = false;
};

struct Step {
  int line = 0;
  std::vector<Word> words;
};

// A line that is not valid in the language (exit status 2).
class SyntaxError : public std::runtime_error {
 public:
  SyntaxError(int line, const std::string& reason) : std::runtime_error(reason), line(line) {}
  int line;
};

// A step that failed while the scenario ran (exit status 1).
class StepFailure : public std::runtime_error {
 public:
  explicit StepFailure(const std::string& reason) : std::runtime_error(reason) {}
};

// A word that does not fit where it stands; the runner turns it into a
// SyntaxError with the step's line.
class BadWord : public std::runtime_error {
 public:
  explicit BadWord(const std::string& reason) : std::runtime_error(reason) {}
};

// The words of a step after its command, taken in order, with the errors of
// a bad command line (BadWord). A trailing unquoted "=> VALUE" is the
// step's expected result, kept apart.
class Words {
 public:
  explicit Words(const Step& step, size_t first = 1);
  bool More() const { return next < end; }
  const std::string& Take(const char* what);
  std::string Peek() const;
  void Done() const;
  std::vector<std::string> Rest();
  bool HasExpectation() const { return hasExpectation; }
  const std::string& Expectation() const { return expectation; }
  void NoExpectation() const;

 private:
  const Step& step;
  size_t next;
  size_t end;
  bool hasExpectation = false;
  std::string expectation;
};

// The expected status of a step: success (not negative) unless "=> STATUS"
// or "=> any" says otherwise.
class StatusExpectation {
 public:
  explicit StatusExpectation(const Words& words);
  // Throws StepFailure when `actual` is not what was expected.
  void Check(const std::string& what, uint32_t actual) const;

 private:
  bool any = false;
  bool given = false;
  uint32_t status = 0;
};

// Splits a scenario into its steps. Throws SyntaxError (an unterminated
// quote).
std::vector<Step> SplitScript(const std::string& text);

// Decimal or 0x-prefixed hexadecimal, unsigned 32 bits. Throws BadWord.
uint32_t ParseNumber(const std::string& word, const char* what);
// A number in 64 bits (milliseconds of clock advance). Throws BadWord.
uint64_t ParseNumber64(const std::string& word, const char* what);
// An NTSTATUS by number or by its STATUS_ name. Throws BadWord.
uint32_t ParseStatus(const std::string& word);
// Hexadecimal bytes, two digits each; blanks, commas and colons may separate
// them; "-" is no bytes. Throws BadWord.
std::vector<uint8_t> ParseHex(const std::string& word);

// The buffers of an I/O control step: optional input bytes (as ParseHex)
// and, after them, an optional output length. Throws BadWord.
struct IoctlBuffers {
  std::vector<uint8_t> input;
  uint32_t outputLength = 0;
};
IoctlBuffers TakeIoctlBuffers(Words& words);
// The output bytes a request returned: its information, at most the output
// length; none when its status is an error (a warning's count).
size_t ReturnedBytes(uint32_t status, uint64_t information, uint32_t outputLength);

// "0xC00000C0 STATUS_DEVICE_DOES_NOT_EXIST" ("STATUS_???" without a name).
std::string DescribeStatus(uint32_t status);
// "01 00 00 00"; "(none)" for no bytes.
std::string HexText(const uint8_t* bytes, size_t length);
// A word as it would be written in a scenario (quoted when needed).
std::string Quote(const std::string& text);

}  // namespace pellinorsim

// The pellinor-log program: its options, the files it reads and the command
// it runs over them. Kept apart from main() so tests run it in process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace pellinorlog {

class LogCommand {
 public:
  // Exit statuses.
  static constexpr int kOk = 0;
  static constexpr int kNoMatch = 1;      // grep: no block matched
  static constexpr int kFoundErrors = 1;  // errors: the log holds errors
  static constexpr int kFailed = 2;       // bad usage, or a file that cannot be read or is no log

  LogCommand() = default;
  LogCommand(const LogCommand&) = delete;
  LogCommand& operator=(const LogCommand&) = delete;

  // args without the program's name. "-" as a file reads `in`.
  int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
          std::ostream& err);
};

// "2003-01-05 14:03:07.123", "2003-01-05T14:03", "14:03:07" (a time alone
// lies on the day of the log's first time stamp). Milliseconds since 1970,
// or of the day when *timeOfDay is set; false when the text is none of these.
bool ParseTimeOption(const std::string& text, long long* ms, bool* timeOfDay);

}  // namespace pellinorlog

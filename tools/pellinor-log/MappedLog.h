// A log file's bytes, mapped rather than copied: a log of hundreds of
// megabytes is read once, front to back, and copying it first would cost
// as much as reading it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellinorlog {

class MappedLog {
 public:
  MappedLog() = default;
  ~MappedLog();
  MappedLog(const MappedLog&) = delete;
  MappedLog& operator=(const MappedLog&) = delete;

  // Maps the file (an empty file maps to no bytes); false when it cannot be
  // opened or read.
  bool Open(const std::string& path);
  std::string_view Text() const { return std::string_view(data_, size_); }

 private:
  void Close();

  const char* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace pellinorlog

// A small streaming JSON writer for the --json output: objects, arrays,
// strings (the log's 8-bit bytes read as Latin-1), numbers and booleans.
// Commas are placed by the writer; one document per Finish.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>
#include <vector>

namespace pellinorlog {

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Unsigned(uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // Ends the document with a line end.
  void Finish();

 private:
  void BeforeValue();
  void Quoted(std::string_view text);

  std::ostream& out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace pellinorlog

#include "tools/pellinor-log/JsonWriter.h"

namespace pellinorlog {

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back())
      out_ << ',';
    first_.back() = false;
  }
}

void JsonWriter::Quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_ << '"';
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out_ << "\\\"";
        break;
      case '\\':
        out_ << "\\\\";
        break;
      case '\n':
        out_ << "\\n";
        break;
      case '\r':
        out_ << "\\r";
        break;
      case '\t':
        out_ << "\\t";
        break;
      default:
        if (c < 0x20) {
          out_ << "\\u00" << kHex[c >> 4] << kHex[c & 15];
        } else if (c >= 0x80) {
          // The log is 8-bit text without a declared code page; Latin-1
          // keeps every byte and its value.
          out_ << char(0xC0 | (c >> 6)) << char(0x80 | (c & 0x3F));
        } else {
          out_ << ch;
        }
    }
  }
  out_ << '"';
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_ << '{';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  first_.pop_back();
  out_ << '}';
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  out_ << '[';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  first_.pop_back();
  out_ << ']';
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  Quoted(key);
  out_ << ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  Quoted(value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  out_ << value;
  return *this;
}

JsonWriter& JsonWriter::Unsigned(uint64_t value) {
  BeforeValue();
  out_ << value;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ << (value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ << "null";
  return *this;
}

void JsonWriter::Finish() {
  out_ << '\n';
}

}  // namespace pellinorlog

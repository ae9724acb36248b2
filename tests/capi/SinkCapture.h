// Collects what the trace text sink hands out, text by text.
#pragma once

#include <string>
#include <vector>

#include "capi/TraceText.h"

struct SinkText {
  std::string text;
  uint32_t kind;
  const void* message;
};

class SinkCapture {
 public:
  explicit SinkCapture(size_t size = kTraceTextSize) : buffer_(size, '\x55') {
    current_ = this;
    TraceTextInit(buffer_.data(), buffer_.size(), &SinkCapture::Sink);
  }
  ~SinkCapture() {
    TraceTextInit(nullptr, 0, nullptr);
    current_ = nullptr;
  }
  SinkCapture(const SinkCapture&) = delete;
  SinkCapture& operator=(const SinkCapture&) = delete;

  const std::vector<SinkText>& texts() const { return texts_; }
  // Every text, one after another, as the log file receives them.
  std::string All() const {
    std::string all;
    for (const SinkText& t : texts_) all += t.text;
    return all;
  }
  const std::vector<char>& buffer() const { return buffer_; }

 private:
  static void Sink(const char* text, uint32_t kind, const void* message) {
    current_->texts_.push_back(SinkText{text, kind, message});
  }

  static inline SinkCapture* current_ = nullptr;
  std::vector<char> buffer_;
  std::vector<SinkText> texts_;
};

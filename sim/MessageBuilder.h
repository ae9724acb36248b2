// Builds one CAPI 2.0 message in place: the 8-byte header, then parameters
// in the order of the message's parameter sequence, little-endian, CAPI
// structs with their length prefix. Works in a fixed buffer without heap,
// so the provider can build its answers at DISPATCH_LEVEL; the simulated
// applications use it as well.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class MessageBuilder {
 public:
  // Large enough for every message the provider and the applications
  // build; a parameter that would not fit marks the message as overflowed.
  static constexpr uint32_t kCapacity = 1024;

  MessageBuilder(uint16_t application, uint8_t command, uint8_t subcommand, uint16_t number);

  MessageBuilder& Word(uint16_t value);
  MessageBuilder& Dword(uint32_t value);
  // A struct of `length` bytes (3-byte prefix from 255 bytes on).
  MessageBuilder& Struct(const void* bytes, uint32_t length);
  // Any text with data() and size() (a std::string): a template, so that
  // the provider's kernel build needs no string header.
  template <typename Text>
  MessageBuilder& Struct(const Text& text) {
    return Struct(text.data(), uint32_t(text.size()));
  }
  // The empty struct (one 0 byte): "default" for a struct or a group.
  MessageBuilder& Empty();
  // A group: its members follow, and EndGroup writes its length prefix.
  // Groups do not nest.
  MessageBuilder& BeginGroup();
  MessageBuilder& EndGroup();
  // Copies bytes that already are a coded struct (prefix included).
  MessageBuilder& Raw(const void* bytes, uint32_t length);

  // The message with its total length stored at offset 0.
  const uint8_t* Bytes();
  uint32_t Length() const { return length_; }
  bool Overflowed() const { return overflowed_; }

 private:
  bool Room(uint32_t bytes);

  uint8_t bytes_[kCapacity];
  uint32_t length_ = 0;
  uint32_t groupStart_ = 0;
  bool inGroup_ = false;
  bool overflowed_ = false;
};

}  // namespace sim

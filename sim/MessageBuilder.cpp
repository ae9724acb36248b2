#include <cstring>

#include "sim/MessageBuilder.h"

namespace sim {

MessageBuilder::MessageBuilder(uint16_t application, uint8_t command, uint8_t subcommand,
                               uint16_t number) {
  std::memset(bytes_, 0, sizeof(bytes_));
  bytes_[2] = uint8_t(application);
  bytes_[3] = uint8_t(application >> 8);
  bytes_[4] = command;
  bytes_[5] = subcommand;
  bytes_[6] = uint8_t(number);
  bytes_[7] = uint8_t(number >> 8);
  length_ = 8;
}

bool MessageBuilder::Room(uint32_t bytes) {
  if (overflowed_ || kCapacity - length_ < bytes) {
    overflowed_ = true;
    return false;
  }
  return true;
}

MessageBuilder& MessageBuilder::Word(uint16_t value) {
  if (!Room(2))
    return *this;
  bytes_[length_++] = uint8_t(value);
  bytes_[length_++] = uint8_t(value >> 8);
  return *this;
}

MessageBuilder& MessageBuilder::Dword(uint32_t value) {
  if (!Room(4))
    return *this;
  for (int i = 0; i < 4; ++i) bytes_[length_++] = uint8_t(value >> (8 * i));
  return *this;
}

MessageBuilder& MessageBuilder::Struct(const void* bytes, uint32_t length) {
  uint32_t prefix = length < 0xFF ? 1 : 3;
  if (length > 0xFFFF || !Room(prefix + length)) {
    overflowed_ = true;
    return *this;
  }
  if (prefix == 1) {
    bytes_[length_++] = uint8_t(length);
  } else {
    bytes_[length_++] = 0xFF;
    bytes_[length_++] = uint8_t(length);
    bytes_[length_++] = uint8_t(length >> 8);
  }
  if (length != 0)
    std::memcpy(bytes_ + length_, bytes, length);
  length_ += length;
  return *this;
}

MessageBuilder& MessageBuilder::Empty() {
  return Struct(nullptr, 0);
}

MessageBuilder& MessageBuilder::BeginGroup() {
  // One prefix byte is reserved; EndGroup widens it if the group is long.
  if (inGroup_ || !Room(1)) {
    overflowed_ = true;
    return *this;
  }
  inGroup_ = true;
  groupStart_ = length_++;
  return *this;
}

MessageBuilder& MessageBuilder::EndGroup() {
  if (!inGroup_) {
    overflowed_ = true;
    return *this;
  }
  inGroup_ = false;
  uint32_t contents = length_ - groupStart_ - 1;
  if (contents < 0xFF) {
    bytes_[groupStart_] = uint8_t(contents);
    return *this;
  }
  if (!Room(2))
    return *this;
  std::memmove(bytes_ + groupStart_ + 3, bytes_ + groupStart_ + 1, contents);
  bytes_[groupStart_] = 0xFF;
  bytes_[groupStart_ + 1] = uint8_t(contents);
  bytes_[groupStart_ + 2] = uint8_t(contents >> 8);
  length_ += 2;
  return *this;
}

MessageBuilder& MessageBuilder::Raw(const void* bytes, uint32_t length) {
  if (!Room(length))
    return *this;
  if (length != 0)
    std::memcpy(bytes_ + length_, bytes, length);
  length_ += length;
  return *this;
}

const uint8_t* MessageBuilder::Bytes() {
  bytes_[0] = uint8_t(length_);
  bytes_[1] = uint8_t(length_ >> 8);
  return bytes_;
}

}  // namespace sim

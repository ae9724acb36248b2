// The check of a captured CAPI message before it is decoded, and the dump
// of its DATA_B3 payload: the message part of the trace of a request or
// completion. capidecode prints through the same function, so its text is
// the trace's own.
#pragma once

#include <stdint.h>

// The available length of a message that a kernel-mode caller handed over
// by a CAPI_PARAMETER_BLOCK: it was captured to its own length, so there is
// no caller's buffer length to compare it with.
inline constexpr uint32_t kKernelCallerLength = 0x1FFFF;

// Largest payload dump, whatever MaxDataB3Bytes says.
inline constexpr uint32_t kMaxPayloadDump = 32;

// message and size: the captured message followed by its captured payload.
// available: the length the request says it carries (the write length, the
// read's information, or kKernelCallerLength). settings: the record's
// settings word; its bits 16 to 23 are MaxDataB3Bytes.
//
// A message that the available length does not cover (header, total length
// and the payload of a DATA_B3_REQ or _IND) prints
// "Error: invalid CAPI message!" and a raw dump of what there is of it;
// otherwise the message is decoded and up to min(MaxDataB3Bytes, 32) bytes
// of its payload are dumped. Nothing is ever read beyond size. The caller
// decides whether the message is to be shown at all.
void checkCapiMessage(const uint8_t* message, uint32_t size, uint32_t available, uint32_t settings);

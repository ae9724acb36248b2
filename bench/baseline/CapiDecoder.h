// The code of capi/CapiDecoder.h as of commit 6e4467c, in namespace pellinor_baseline, so
// that benchmarks and differential tests run it beside today's code in one
// program. Kept as it was: do not edit.
// Turns one CAPI 2.0 message into text through the trace text sink: a
// header line (name, length, application, number), then one line per
// parameter as the message's parameter sequence names them, CAPI structs
// shown as their bytes and groups decoded member by member.
#pragma once

#include <stdint.h>

namespace pellinor_baseline {

// Ends a parameter line whose bytes are not all there; the decoding stops
// behind it. It cannot be mistaken for struct contents, which print '[' as
// <5b>.
inline constexpr char kDecodeCutMark[] = "[cut]";

// Header name of a message the tables do not list: the command and
// subcommand in hexadecimal.
inline constexpr char kUnlistedNameFormat[] = "UNKNOWN_%02X_%02X";

// The state of one decoding.
struct DecodeCursor {
  const uint8_t* message;
  uint32_t end;     // bytes that may be read: those held, and no more than the message's length
  uint32_t offset;  // of the next parameter
  const uint8_t* sequence;  // the message's parameter sequence
  uint32_t step;            // position of the current code in the sequence
  bool cut;                 // a parameter ran past end; the decoding has stopped
};

// Decodes the message, of which the caller holds `held` bytes, into the
// text buffer and hands the text to the sink as TextKindMessage. Nothing is
// read beyond the held bytes, nor beyond the message's own total length:
// a parameter that does not fit is printed as far as it is there, followed
// by kDecodeCutMark, and ends the decoding. A message the tables do not list
// prints its header only. Without a sink set, does nothing.
void DecodeCapiMessage(const void* message, uint32_t held);

// Steps of the decoding, usable on their own with the sink's text.
void DecodeParams(DecodeCursor& cursor, uint32_t depth);
void SkipGroup(DecodeCursor& cursor);
// Prints the struct at bytes, of which available bytes may be read; returns
// false (after printing what there is) if the struct runs past them.
bool PrintStruct(const uint8_t* bytes, uint32_t available);
void PrintStructBytes(const uint8_t* bytes, uint32_t length);

}  // namespace pellinor_baseline

// Words for the numbers a CAPI 2.0 log is full of: Info values of
// confirmations and of the CAPI errors in completion lines, Reason and
// Reason_B3 values of disconnects (with the network cause of 0x34xx values),
// and the Reject value of CONNECT_RESP.
#pragma once

#include <cstdint>
#include <string>

namespace pellinorlog {

struct CodeText {
  uint16_t code;
  const char* text;
};

// The class an Info value belongs to, by its high byte: 0x00 informative
// (the request was accepted), 0x10 CAPI_REGISTER error, 0x11 message
// exchange error, 0x20 resource or coding error, 0x30 service not
// supported. Null for a value outside every class.
const char* InfoClass(uint16_t info);

// "Out of PLCI", or the class's words for a value the table does not name,
// or "unknown Info value".
std::string ExplainInfo(uint16_t info);

// Reason of DISCONNECT_IND: 0 normal clearing, 0x33xx protocol errors,
// 0x34xx the network's cause (Q.850, low seven bits) in words, any other
// value as an Info value.
std::string ExplainReason(uint16_t reason);

// Reason_B3 of DISCONNECT_B3_IND: 0, protocol errors, the fax (T.30)
// reasons, any other value as an Info value.
std::string ExplainReasonB3(uint16_t reason);

// Reject of CONNECT_RESP: 0 accept, 1 ignore, 2 to 8 the rejection's cause.
std::string ExplainReject(uint16_t reject);

// The network cause in words (Q.850, 0 to 127); null if the table has none.
const char* NetworkCause(uint8_t cause);

// A disconnect that ended a call the way calls end: reason 0, or the
// network's "normal call clearing" (16) or "normal, unspecified" (31).
bool IsNormalReason(uint16_t reason);

}  // namespace pellinorlog

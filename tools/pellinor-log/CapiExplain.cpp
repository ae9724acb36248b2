#include "tools/pellinor-log/CapiExplain.h"

#include <cstddef>
#include <cstdio>

namespace pellinorlog {
namespace {

// Info values of CAPI 2.0, in ascending order.
constexpr CodeText kInfoTexts[] = {
    {0x0000, "request accepted"},
    {0x0001, "NCPI not supported by the current protocol, NCPI ignored"},
    {0x0002, "flags not supported by the current protocol, flags ignored"},
    {0x0003, "alert already sent by another application"},
    {0x1001, "too many applications"},
    {0x1002, "logical block size too small, must be at least 128 bytes"},
    {0x1003, "buffer exceeds 64 kByte"},
    {0x1004, "message buffer size too small, must be at least 1024 bytes"},
    {0x1005, "maximum number of logical connections not supported"},
    {0x1006, "reserved"},
    {0x1007, "the message could not be accepted because of an internal busy condition"},
    {0x1008, "operating system resource error"},
    {0x1009, "CAPI not installed"},
    {0x100A, "controller does not support external equipment"},
    {0x100B, "controller does only support external equipment"},
    {0x1101, "illegal application number"},
    {0x1102, "illegal command or subcommand, or message length less than 12 bytes"},
    {0x1103, "the message could not be accepted because of a queue full condition"},
    {0x1104, "queue is empty"},
    {0x1105, "queue overflow: a message was lost"},
    {0x1106, "unknown notification parameter"},
    {0x1107, "the message could not be accepted because of an internal busy condition"},
    {0x1108, "operating system resource error"},
    {0x1109, "CAPI not installed"},
    {0x110A, "controller does not support external equipment"},
    {0x110B, "controller does only support external equipment"},
    {0x2001, "message not supported in the current state"},
    {0x2002, "illegal Controller/PLCI/NCCI"},
    {0x2003, "out of PLCI"},
    {0x2004, "out of NCCI"},
    {0x2005, "out of LISTEN"},
    {0x2006, "out of fax resources (T.30)"},
    {0x2007, "illegal message parameter coding"},
    {0x3001, "B1 protocol not supported"},
    {0x3002, "B2 protocol not supported"},
    {0x3003, "B3 protocol not supported"},
    {0x3004, "B1 protocol parameter not supported"},
    {0x3005, "B2 protocol parameter not supported"},
    {0x3006, "B3 protocol parameter not supported"},
    {0x3007, "B protocol combination not supported"},
    {0x3008, "NCPI not supported"},
    {0x3009, "CIP value unknown"},
    {0x300A, "flags not supported (reserved bits)"},
    {0x300B, "facility not supported"},
    {0x300C, "data length not supported by the current protocol"},
    {0x300D, "reset procedure not supported by the current protocol"},
};
static_assert(sizeof(kInfoTexts) / sizeof(kInfoTexts[0]) == 46,
              "4 informative, 11 register, 11 message exchange, 7 resource, 13 service values");

constexpr CodeText kInfoClasses[] = {
    {0x00, "informative: the request was accepted"},
    {0x10, "error on CAPI_REGISTER"},
    {0x11, "message exchange error"},
    {0x20, "resource or coding error: the request was not accepted"},
    {0x30, "requested service not supported: the request was not accepted"},
};
static_assert(sizeof(kInfoClasses) / sizeof(kInfoClasses[0]) == 5, "five Info classes");

// Protocol errors shared by Reason and Reason_B3.
constexpr CodeText kProtocolReasons[] = {
    {0x3301, "protocol error layer 1 (broken line or B channel removed by signalling)"},
    {0x3302, "protocol error layer 2"},
    {0x3303, "protocol error layer 3"},
    {0x3304, "another application got that call"},
};
static_assert(sizeof(kProtocolReasons) / sizeof(kProtocolReasons[0]) == 4,
              "layer 1 to 3 and the call taken by another application");

// Reason_B3 values of the fax protocol (T.30).
constexpr CodeText kFaxReasons[] = {
    {0x3311, "connection not successful: remote station is no fax G3 machine"},
    {0x3312, "connection not successful: training error"},
    {0x3313, "disconnected before transfer: remote station does not support the transfer mode"},
    {0x3314, "disconnected during transfer: remote abort"},
    {0x3315, "disconnected during transfer: remote procedure error"},
    {0x3316, "disconnected during transfer: local transmit data underrun"},
    {0x3317, "disconnected during transfer: local receive data overflow"},
    {0x3318, "disconnected during transfer: local abort"},
    {0x3319, "illegal parameter coding"},
};
static_assert(sizeof(kFaxReasons) / sizeof(kFaxReasons[0]) == 9, "T.30 reasons 0x3311 to 0x3319");

// Network causes (ITU-T Q.850), by their seven-bit value.
constexpr CodeText kNetworkCauses[] = {
    {1, "unallocated (unassigned) number"},
    {2, "no route to specified transit network"},
    {3, "no route to destination"},
    {6, "channel unacceptable"},
    {7, "call awarded and being delivered in an established channel"},
    {16, "normal call clearing"},
    {17, "user busy"},
    {18, "no user responding"},
    {19, "no answer from user (user alerted)"},
    {21, "call rejected"},
    {22, "number changed"},
    {26, "non-selected user clearing"},
    {27, "destination out of order"},
    {28, "invalid number format (address incomplete)"},
    {29, "facility rejected"},
    {30, "response to STATUS ENQUIRY"},
    {31, "normal, unspecified"},
    {34, "no circuit/channel available"},
    {38, "network out of order"},
    {41, "temporary failure"},
    {42, "switching equipment congestion"},
    {43, "access information discarded"},
    {44, "requested circuit/channel not available"},
    {47, "resource unavailable, unspecified"},
    {49, "quality of service unavailable"},
    {50, "requested facility not subscribed"},
    {57, "bearer capability not authorized"},
    {58, "bearer capability not presently available"},
    {63, "service or option not available, unspecified"},
    {65, "bearer capability not implemented"},
    {66, "channel type not implemented"},
    {69, "requested facility not implemented"},
    {70, "only restricted digital information bearer capability is available"},
    {79, "service or option not implemented, unspecified"},
    {81, "invalid call reference value"},
    {82, "identified channel does not exist"},
    {83, "a suspended call exists, but this call identity does not"},
    {84, "call identity in use"},
    {85, "no call suspended"},
    {86, "call having the requested call identity has been cleared"},
    {88, "incompatible destination"},
    {91, "invalid transit network selection"},
    {95, "invalid message, unspecified"},
    {96, "mandatory information element is missing"},
    {97, "message type non-existent or not implemented"},
    {98, "message not compatible with call state or message type non-existent"},
    {99, "information element non-existent or not implemented"},
    {100, "invalid information element contents"},
    {101, "message not compatible with call state"},
    {102, "recovery on timer expiry"},
    {111, "protocol error, unspecified"},
    {127, "interworking, unspecified"},
};
static_assert(sizeof(kNetworkCauses) / sizeof(kNetworkCauses[0]) == 52,
              "the causes of Q.850 that a network reports");

// Reject values of CONNECT_RESP.
constexpr const char* kRejectTexts[] = {
    "accept the call",
    "ignore the call",
    "reject: normal call clearing",
    "reject: user busy",
    "reject: requested circuit/channel not available",
    "reject: facility rejected",
    "reject: channel unacceptable",
    "reject: incompatible destination",
    "reject: destination out of order",
};
static_assert(sizeof(kRejectTexts) / sizeof(kRejectTexts[0]) == 9, "Reject values 0 to 8");

template <size_t N>
constexpr bool Ascending(const CodeText (&table)[N]) {
  for (size_t i = 1; i < N; ++i)
    if (table[i - 1].code >= table[i].code)
      return false;
  return true;
}
static_assert(Ascending(kInfoTexts) && Ascending(kInfoClasses) && Ascending(kProtocolReasons) &&
                  Ascending(kFaxReasons) && Ascending(kNetworkCauses),
              "tables are searched in ascending order");

template <size_t N>
const char* Find(const CodeText (&table)[N], uint16_t code) {
  size_t low = 0;
  size_t high = N;
  while (low < high) {
    size_t mid = (low + high) / 2;
    if (table[mid].code == code)
      return table[mid].text;
    if (table[mid].code < code)
      low = mid + 1;
    else
      high = mid;
  }
  return nullptr;
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%04X", value);
  return text;
}

}  // namespace

const char* InfoClass(uint16_t info) {
  return Find(kInfoClasses, uint16_t(info >> 8));
}

std::string ExplainInfo(uint16_t info) {
  if (const char* text = Find(kInfoTexts, info))
    return text;
  if (const char* cls = InfoClass(info))
    return std::string(cls) + " (value " + Hex4(info) + " not named)";
  return "unknown Info value";
}

const char* NetworkCause(uint8_t cause) {
  return Find(kNetworkCauses, cause);
}

std::string ExplainReason(uint16_t reason) {
  if (reason == 0)
    return "normal clearing, no cause available";
  if (const char* text = Find(kProtocolReasons, reason))
    return text;
  if ((reason & 0xFF00) == 0x3400) {
    uint8_t cause = reason & 0x7F;
    const char* text = NetworkCause(cause);
    std::string words = text != nullptr ? text : "cause not named";
    return "network cause " + std::to_string(cause) + ": " + words;
  }
  return ExplainInfo(reason);
}

std::string ExplainReasonB3(uint16_t reason) {
  if (reason == 0)
    return "normal clearing, no cause available";
  if (const char* text = Find(kProtocolReasons, reason))
    return text;
  if (const char* text = Find(kFaxReasons, reason))
    return text;
  return ExplainInfo(reason);
}

std::string ExplainReject(uint16_t reject) {
  if (reject < sizeof(kRejectTexts) / sizeof(kRejectTexts[0]))
    return kRejectTexts[reject];
  return "reject: unknown value";
}

bool IsNormalReason(uint16_t reason) {
  return reason == 0 || reason == 0x3490 || reason == 0x349F;
}

}  // namespace pellinorlog

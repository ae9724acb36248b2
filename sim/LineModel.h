// The provider's line: what it answers to each message an application
// puts, and the calls it offers. There is no far end; every connection
// comes up at once and DATA_B3 comes back as it went out:
//   CONNECT_REQ        -> CONNECT_CONF, CONNECT_ACTIVE_IND
//   CONNECT_RESP       -> CONNECT_ACTIVE_IND (accepted) or DISCONNECT_IND
//   CONNECT_B3_REQ     -> CONNECT_B3_CONF, CONNECT_B3_ACTIVE_IND
//   DATA_B3_REQ        -> DATA_B3_CONF, DATA_B3_IND with the same payload
//   DISCONNECT_B3_REQ  -> DISCONNECT_B3_CONF, DISCONNECT_B3_IND
//   DISCONNECT_REQ     -> DISCONNECT_CONF, (DISCONNECT_B3_IND), DISCONNECT_IND
//   LISTEN, INFO, FACILITY, MANUFACTURER, ALERT, SELECT_B_PROTOCOL and
//   RESET_B3 requests  -> their confirmation
// Responses are taken without answer; DISCONNECT_B3_RESP and DISCONNECT_RESP
// free the NCCI and the PLCI. A request for an address the application does
// not hold is confirmed with Info 0x2002, one in the wrong state with 0x2001.
//
// Numbering is deterministic: PLCIs are the lowest free number per
// controller (PLCI = number << 8 | controller), each PLCI has the one NCCI 1
// (NCCI = 1 << 16 | PLCI), confirmations carry their request's message
// number, indications and DATA_B3_IND data handles count from 1 per
// application. The Data field of every DATA_B3_IND is 0: the payload's
// place is told by the parameter block's B3 data pointer, or by its place
// right behind the message in a read.
//
// Not thread-safe: the provider calls it under its lock.
#pragma once

#include <cstdint>

#include <ntddk.h>

#include "sim/Application.h"

namespace sim {

class LineModel {
 public:
  static constexpr ULONG kPlciPerController = 64;
  // Most messages a single put or offer queues.
  static constexpr ULONG kMaxAnswers = 3;

  explicit LineModel(ULONG controllers);

  // Answers a message (its `length` bytes checked to be the message's own
  // total length) that `app` put, with the DATA_B3 payload behind
  // `payload`. STATUS_SUCCESS with the answers queued;
  // STATUS_ILLEGAL_FUNCTION for a message the provider does not take
  // (unknown command, too short for its fixed parameters);
  // STATUS_TOO_MANY_COMMANDS when the queue has no room for the answers;
  // STATUS_INSUFFICIENT_RESOURCES when the pool refuses (nothing changes).
  NTSTATUS Put(Application& app, const UCHAR* message, ULONG length, const UCHAR* payload,
               ULONG payloadLength, ULONG queueLimit);

  // Offers an incoming call on `controller` to `app`: a new PLCI and a
  // CONNECT_IND. Returns the PLCI, or 0 with *status saying why not.
  ULONG Offer(Application& app, ULONG controller, USHORT cipValue, const char* called,
              ULONG calledLength, const char* calling, ULONG callingLength, ULONG queueLimit,
              NTSTATUS* status);

  // Frees every PLCI the application holds (release or cleanup).
  void Forget(const Application& app);

  // PLCIs in use on a controller (for tests).
  ULONG PlcisInUse(ULONG controller) const;

 private:
  enum PlciState : UCHAR { kFree, kOffered, kActive, kDisconnecting };
  enum B3State : UCHAR { kNoB3, kB3Active, kB3Disconnecting };
  struct Plci {
    USHORT owner;
    PlciState state;
    B3State b3;
  };

  Plci* Find(const Application& app, ULONG address, bool ncci);
  ULONG FreePlci(ULONG controller) const;

  ULONG controllers_;
  Plci plcis_[kMaxControllers][kPlciPerController] = {};
};

}  // namespace sim

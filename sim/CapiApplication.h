// A simulated CAPI 2.0 application: opens the provider's device, registers,
// puts and gets messages, asks the information I/O controls, and runs a
// whole call. The two kinds differ only in how a request reaches the
// device: UserApplication as a user-mode program through \\.\CAPI20,
// KernelApplication as a kernel component through \Device\CAPI201 with
// internal I/O controls. Both open the top of the device's stack, so a
// filter attached above the provider sees every request.
//
// Every request's status and information are kept (Requests()), so a test
// can check that a filter passed them through unchanged. One object is used
// by one thread at a time; any number of objects may run in parallel.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ntddk.h>

namespace sim {

struct RequestResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
};

// One request as the application saw it complete.
struct RequestRecord {
  std::string what;  // "CAPI_REGISTER", "CAPI_PUT_MESSAGE CONNECT_REQ", "WRITE DATA_B3_REQ", ...
  NTSTATUS status;
  ULONG_PTR information;
};

struct ReceivedMessage {
  std::vector<uint8_t> message;
  std::vector<uint8_t> payload;  // DATA_B3_IND's data
  uint8_t Command() const { return message.size() > 4 ? message[4] : 0; }
  uint8_t Subcommand() const { return message.size() > 5 ? message[5] : 0; }
  uint32_t Address() const;  // Controller/PLCI/NCCI
  uint16_t Word(size_t offset) const;
};

// How messages travel: the CAPI_PUT_MESSAGE and CAPI_GET_MESSAGE I/O
// controls, or writes and reads.
enum class Transport { kIoctl, kReadWrite };

struct CallOptions {
  // Outgoing: CONNECT_REQ. Incoming: LISTEN_REQ, then the line offers a
  // call to this application (InjectIncomingCall) and it answers.
  bool incoming = false;
  uint32_t controller = 1;
  uint32_t dataBlocks = 3;  // sent, and each comes back
  uint16_t blockSize = 128;
  std::string calledNumber = "5551234";
  std::string callingNumber = "5550001";
  // CAPI_REGISTER's parameters.
  uint16_t messageBufferSize = 3072;
  uint16_t maxLogicalConnections = 2;
  uint16_t maxBDataBlocks = 7;
  uint16_t maxBDataLength = 2048;
  // Called after each data block has come back, with the number done.
  std::function<void(uint32_t blocks)> onBlock;
};

struct CallReport {
  bool ok = false;
  std::string failure;  // the first step that went wrong ("DATA_B3_REQ 1")
  // Why it went wrong, as the application saw it: the request that failed
  // ("CAPI_PUT_MESSAGE DATA_B3_REQ") with its status; the confirmation
  // ("DATA_B3_CONF") with its Info value; or in words ("DISCONNECT_IND
  // came, CONNECT_CONF expected").
  std::string reason;
  NTSTATUS status = STATUS_SUCCESS;  // not a success: the request failed
  bool hasInfo = false;
  uint16_t info = 0;
  // The limit of the application's own registration that the request went
  // past, in words; empty when it went past none.
  std::string limit;
  uint32_t plci = 0;
  uint32_t ncci = 0;
  uint32_t blocksEchoed = 0;  // DATA_B3_INDs that carried the block sent
  std::vector<ReceivedMessage> received;
};

class CapiApplication {
 public:
  virtual ~CapiApplication();
  CapiApplication(const CapiApplication&) = delete;
  CapiApplication& operator=(const CapiApplication&) = delete;

  NTSTATUS Open();
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  HANDLE Handle() const { return handle_; }
  void SetTransport(Transport transport) { transport_ = transport; }
  Transport GetTransport() const { return transport_; }

  // CAPI_REGISTER; on success the ID is kept (ApplicationId()).
  RequestResult Register(uint16_t messageBufferSize = 3072, uint16_t maxLogicalConnections = 2,
                         uint16_t maxBDataBlocks = 7, uint16_t maxBDataLength = 2048);
  RequestResult Release();
  // One message (its own total length at offset 0), with DATA_B3 payload.
  RequestResult Put(const std::vector<uint8_t>& message,
                    const std::vector<uint8_t>& payload = std::vector<uint8_t>());
  // The next message; information 0 and an empty message when none waits.
  RequestResult Get(ReceivedMessage* message);
  RequestResult GetManufacturer(std::string* manufacturer);
  RequestResult GetVersion(uint32_t controller, std::array<uint16_t, 4>* version);
  RequestResult GetSerial(uint32_t controller, std::string* serial);
  RequestResult GetProfile(uint32_t controller, std::array<uint8_t, 64>* profile);
  // Any I/O control with buffers as given: for the user-mode application
  // an I/O control with these input and output buffers; for the
  // kernel-mode one an internal I/O control with the input behind
  // Type3InputBuffer and the output at UserBuffer. Kept in Requests().
  RequestResult Ioctl(uint32_t code, const void* input, uint32_t inputLength, void* output,
                      uint32_t outputLength);

  // Register, connect (or listen and answer), connect B3, exchange the data
  // blocks, disconnect B3, disconnect, release; checks every answer.
  CallReport RunCall(const CallOptions& options);

  uint16_t ApplicationId() const { return applicationId_; }
  uint16_t NextMessageNumber() { return nextNumber_++; }
  KPROCESSOR_MODE Mode() const { return mode_; }
  const std::vector<RequestRecord>& Requests() const { return requests_; }
  void ClearRequests() { requests_.clear(); }

 protected:
  CapiApplication(KPROCESSOR_MODE mode, std::u16string path);

  // The I/O control itself, as Ioctl describes it, not kept.
  virtual RequestResult Send(uint32_t code, const void* input, uint32_t inputLength, void* output,
                             uint32_t outputLength) = 0;

  virtual RequestResult PutByIoctl(const std::vector<uint8_t>& message,
                                   const std::vector<uint8_t>& payload) = 0;
  virtual RequestResult GetByIoctl(ReceivedMessage* message) = 0;
  RequestResult Note(const std::string& what, RequestResult result);

  HANDLE handle_ = nullptr;

 private:
  RequestResult Information(uint32_t code, uint32_t controller, void* output, uint32_t length,
                            bool withController);

  KPROCESSOR_MODE mode_;
  std::u16string path_;
  Transport transport_ = Transport::kIoctl;
  uint16_t applicationId_ = 0;
  uint16_t nextNumber_ = 1;
  std::vector<RequestRecord> requests_;
};

// "CAPI_REGISTER" ... "CAPI_MANUFACTURER" for the nine codes.
std::string IoctlName(uint32_t code);

// The name of a message's command and subcommand, "DATA_B3_REQ" (for the
// request records), "MSG_cc_ss" for others.
std::string MessageName(const std::vector<uint8_t>& message);

}  // namespace sim

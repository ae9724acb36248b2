#include <cstdint>
#include "sim/LineModel.h"

#include "capi/CapiMessage.h"
#include "sim/CapiCodes.h"
#include "sim/MessageBuilder.h"

namespace sim {
namespace {

// The answers to one put, allocated before anything changes, so that a
// refused allocation leaves the line as it was.
class Answers {
 public:
  // `room`: the messages the application's queue still takes.
  explicit Answers(ULONG room) : room_(room) {}
  ~Answers() {
    for (ULONG i = 0; i < count_; ++i) items_[i]->Destroy();
  }
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;

  void Add(MessageBuilder& message, const UCHAR* payload = nullptr, ULONG payloadLength = 0) {
    if (failed_ || count_ == LineModel::kMaxAnswers || message.Overflowed()) {
      failed_ = true;
      return;
    }
    if (count_ == room_) {
      failed_ = full_ = true;
      return;
    }
    QueuedMessage* queued =
        QueuedMessage::Create(message.Bytes(), message.Length(), payload, payloadLength);
    if (queued == nullptr) {
      failed_ = true;
      return;
    }
    items_[count_++] = queued;
  }
  bool Failed() const { return failed_; }
  // Why the answers could not be made: the queue is full, or the pool
  // refused.
  NTSTATUS FailureStatus() const {
    return full_ ? STATUS_TOO_MANY_COMMANDS : STATUS_INSUFFICIENT_RESOURCES;
  }
  void DeliverTo(Application& app) {
    for (ULONG i = 0; i < count_; ++i) app.Enqueue(items_[i]);
    count_ = 0;
  }

 private:
  QueuedMessage* items_[LineModel::kMaxAnswers] = {};
  ULONG count_ = 0;
  ULONG room_;
  bool failed_ = false;
  bool full_ = false;
};

// Steps over the CAPI struct at *offset; false if it runs past `length`.
bool SkipStruct(const UCHAR* message, ULONG length, ULONG* offset) {
  if (*offset >= length)
    return false;
  ULONG size = message[*offset];
  ULONG prefix = 1;
  if (size == 0xFF) {
    if (length - *offset < 3)
      return false;
    size = ReadWord(message + *offset + 1);
    prefix = 3;
  }
  if (length - *offset < prefix + size)
    return false;
  *offset += prefix + size;
  return true;
}

ULONG ControllerOf(ULONG address) {
  return address & 0x7F;
}

ULONG PlciNumberOf(ULONG address) {
  return (address >> 8) & 0xFF;
}

ULONG PlciAddress(ULONG controller, ULONG number) {
  return number << 8 | controller;
}

ULONG NcciAddress(ULONG plci) {
  return 1u << 16 | plci;
}

// The smallest length of each request's fixed parameters.
ULONG MinimumLength(UCHAR command, UCHAR subcommand) {
  if (command == kDataB3 && subcommand == kReq)
    return kDataB3Bytes;
  if (command == kListen && subcommand == kReq)
    return 24;  // controller, InfoMask, CIPmask, CIPmask2
  if (command == kManufacturerCommand)
    return 24;  // controller, ManuID, Class, Function
  if ((command == kFacility && subcommand == kReq) ||
      (command == kConnect && subcommand == kResp) || (command == kConnect && subcommand == kReq)) {
    return 14;  // controller/PLCI and a word
  }
  return kCapiMinimumMessage;
}

}  // namespace

LineModel::LineModel(ULONG controllers)
    : controllers_(controllers > kMaxControllers ? kMaxControllers : controllers) {}

LineModel::Plci* LineModel::Find(const Application& app, ULONG address, bool ncci) {
  ULONG controller = ControllerOf(address);
  ULONG number = PlciNumberOf(address);
  if (controller == 0 || controller > controllers_ || number == 0 || number > kPlciPerController)
    return nullptr;
  if (ncci ? (address >> 16) != 1 : (address >> 16) != 0)
    return nullptr;
  Plci* plci = &plcis_[controller - 1][number - 1];
  if (plci->state == kFree || plci->owner != app.Id())
    return nullptr;
  return plci;
}

ULONG LineModel::FreePlci(ULONG controller) const {
  for (ULONG i = 0; i < kPlciPerController; ++i) {
    if (plcis_[controller - 1][i].state == kFree)
      return i + 1;
  }
  return 0;
}

ULONG LineModel::PlcisInUse(ULONG controller) const {
  if (controller == 0 || controller > controllers_)
    return 0;
  ULONG count = 0;
  for (const Plci& plci : plcis_[controller - 1]) count += plci.state != kFree;
  return count;
}

void LineModel::Forget(const Application& app) {
  for (ULONG c = 0; c < controllers_; ++c) {
    for (Plci& plci : plcis_[c]) {
      if (plci.state != kFree && plci.owner == app.Id())
        plci = Plci{};
    }
  }
}

NTSTATUS LineModel::Put(Application& app, const UCHAR* message, ULONG length, const UCHAR* payload,
                        ULONG payloadLength, ULONG queueLimit) {
  const UCHAR command = message[kCapiMessageCommand];
  const UCHAR subcommand = message[kCapiMessageSubcommand];
  const USHORT number = ReadWord(message + kCapiMessageNumber);
  const USHORT id = app.Id();
  if (length < MinimumLength(command, subcommand))
    return STATUS_ILLEGAL_FUNCTION;
  const ULONG address = ReadDword(message + kAddressOffset);
  const ULONG controller = ControllerOf(address);
  const bool knownController = controller >= 1 && controller <= controllers_;

  // A confirmation with the request's address and an Info value.
  auto confirm = [&](Answers& answers, ULONG at, USHORT info) {
    MessageBuilder conf(id, command, kConf, number);
    conf.Dword(at).Word(info);
    answers.Add(conf);
  };

  Answers answers(app.Queued() < queueLimit ? queueLimit - app.Queued() : 0);
  if (subcommand == kResp) {
    switch (command) {
      case kConnect: {
        Plci* plci = Find(app, address, false);
        if (plci == nullptr || plci->state != kOffered)
          return STATUS_SUCCESS;
        USHORT reject = ReadWord(message + 12);
        MessageBuilder ind(id, reject == 0 ? kConnectActive : kDisconnect, kInd,
                           app.NextIndicationNumber());
        if (reject == 0) {
          ind.Dword(address).Empty().Empty().Empty();
        } else {
          ind.Dword(address).Word(0x3490);  // normal call clearing
        }
        answers.Add(ind);
        if (answers.Failed())
          return answers.FailureStatus();
        plci->state = reject == 0 ? kActive : kDisconnecting;
        break;
      }
      case kDisconnectB3: {
        Plci* plci = Find(app, address, true);
        if (plci != nullptr && plci->b3 == kB3Disconnecting)
          plci->b3 = kNoB3;
        return STATUS_SUCCESS;
      }
      case kDisconnect: {
        Plci* plci = Find(app, address, false);
        if (plci != nullptr && plci->state == kDisconnecting)
          *plci = Plci{};
        return STATUS_SUCCESS;
      }
      case kAlert:
      case kConnectActive:
      case kConnectB3:
      case kConnectB3Active:
      case kDataB3:
      case kInfo:
      case kFacility:
      case kResetB3:
      case kManufacturerCommand:
        return STATUS_SUCCESS;
      default:
        return STATUS_ILLEGAL_FUNCTION;
    }
    answers.DeliverTo(app);
    return STATUS_SUCCESS;
  }
  if (subcommand != kReq)
    return STATUS_ILLEGAL_FUNCTION;

  switch (command) {
    case kListen: {
      if (!knownController) {
        confirm(answers, address, kInfoIllegalAddress);
        break;
      }
      confirm(answers, address, kInfoOk);
      if (answers.Failed())
        return answers.FailureStatus();
      app.SetListenMask(controller, ReadDword(message + 16));
      break;
    }
    case kConnect: {
      ULONG free = knownController ? FreePlci(controller) : 0;
      if (free == 0) {
        confirm(answers, address, knownController ? kInfoOutOfPlci : kInfoIllegalAddress);
        break;
      }
      // The called party's number comes back as the connected number.
      ULONG called = 14;
      ULONG end = called;
      bool haveNumber = SkipStruct(message, length, &end);
      ULONG plci = PlciAddress(controller, free);
      confirm(answers, plci, kInfoOk);
      MessageBuilder active(id, kConnectActive, kInd, app.NextIndicationNumber());
      active.Dword(plci);
      if (haveNumber) {
        active.Raw(message + called, end - called);
      } else {
        active.Empty();
      }
      active.Empty().Empty();
      answers.Add(active);
      if (answers.Failed())
        return answers.FailureStatus();
      plcis_[controller - 1][free - 1] = Plci{id, kActive, kNoB3};
      break;
    }
    case kConnectB3: {
      Plci* plci = Find(app, address, false);
      if (plci == nullptr || plci->state != kActive || plci->b3 != kNoB3) {
        confirm(answers, address, plci == nullptr ? kInfoIllegalAddress : kInfoWrongState);
        break;
      }
      ULONG ncci = NcciAddress(address);
      confirm(answers, ncci, kInfoOk);
      MessageBuilder active(id, kConnectB3Active, kInd, app.NextIndicationNumber());
      active.Dword(ncci).Empty();
      answers.Add(active);
      if (answers.Failed())
        return answers.FailureStatus();
      plci->b3 = kB3Active;
      break;
    }
    case kDataB3: {
      USHORT handle = ReadWord(message + kDataB3HandleOffset);
      USHORT flags = ReadWord(message + kDataB3FlagsOffset);
      Plci* plci = Find(app, address, true);
      USHORT info = plci == nullptr                               ? kInfoIllegalAddress
                    : plci->b3 != kB3Active                       ? kInfoWrongState
                    : payloadLength > app.Params().maxBDataLength ? kInfoDataLengthNotSupported
                                                                  : kInfoOk;
      MessageBuilder conf(id, kDataB3, kConf, number);
      conf.Dword(address).Word(handle).Word(info);
      answers.Add(conf);
      if (info == kInfoOk) {
        MessageBuilder ind(id, kDataB3, kInd, app.NextIndicationNumber());
        ind.Dword(address)
            .Dword(0)
            .Word(USHORT(payloadLength))
            .Word(app.NextDataHandle())
            .Word(flags);
        answers.Add(ind, payload, payloadLength);
      }
      break;
    }
    case kDisconnectB3: {
      Plci* plci = Find(app, address, true);
      if (plci == nullptr || plci->b3 != kB3Active) {
        confirm(answers, address, plci == nullptr ? kInfoIllegalAddress : kInfoWrongState);
        break;
      }
      confirm(answers, address, kInfoOk);
      MessageBuilder ind(id, kDisconnectB3, kInd, app.NextIndicationNumber());
      ind.Dword(address).Word(0).Empty();
      answers.Add(ind);
      if (answers.Failed())
        return answers.FailureStatus();
      plci->b3 = kB3Disconnecting;
      break;
    }
    case kDisconnect: {
      Plci* plci = Find(app, address, false);
      if (plci == nullptr || plci->state == kDisconnecting) {
        confirm(answers, address, plci == nullptr ? kInfoIllegalAddress : kInfoWrongState);
        break;
      }
      confirm(answers, address, kInfoOk);
      if (plci->b3 == kB3Active) {
        MessageBuilder b3(id, kDisconnectB3, kInd, app.NextIndicationNumber());
        b3.Dword(NcciAddress(address)).Word(0).Empty();
        answers.Add(b3);
      }
      MessageBuilder ind(id, kDisconnect, kInd, app.NextIndicationNumber());
      ind.Dword(address).Word(0);
      answers.Add(ind);
      if (answers.Failed())
        return answers.FailureStatus();
      if (plci->b3 == kB3Active)
        plci->b3 = kB3Disconnecting;
      plci->state = kDisconnecting;
      break;
    }
    case kFacility: {
      MessageBuilder conf(id, kFacility, kConf, number);
      conf.Dword(address).Word(knownController ? kInfoOk : kInfoIllegalAddress);
      conf.Word(ReadWord(message + 12)).Empty();
      answers.Add(conf);
      break;
    }
    case kManufacturerCommand: {
      MessageBuilder conf(id, kManufacturerCommand, kConf, number);
      conf.Dword(address).Dword(ReadDword(message + 12)).Dword(ReadDword(message + 16));
      conf.Dword(ReadDword(message + 20)).Empty();
      answers.Add(conf);
      break;
    }
    case kInfo:
      confirm(answers, address, knownController ? kInfoOk : kInfoIllegalAddress);
      break;
    case kAlert:
    case kSelectBProtocol: {
      Plci* plci = Find(app, address, false);
      confirm(answers, address, plci == nullptr ? kInfoIllegalAddress : kInfoOk);
      break;
    }
    case kResetB3: {
      Plci* plci = Find(app, address, true);
      confirm(answers, address, plci == nullptr ? kInfoIllegalAddress : kInfoOk);
      break;
    }
    default:
      return STATUS_ILLEGAL_FUNCTION;
  }
  if (answers.Failed())
    return answers.FailureStatus();
  answers.DeliverTo(app);
  return STATUS_SUCCESS;
}

ULONG LineModel::Offer(Application& app, ULONG controller, USHORT cipValue, const char* called,
                       ULONG calledLength, const char* calling, ULONG callingLength,
                       ULONG queueLimit, NTSTATUS* status) {
  if (controller == 0 || controller > controllers_) {
    *status = STATUS_INVALID_PARAMETER;
    return 0;
  }
  ULONG free = FreePlci(controller);
  if (free == 0) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return 0;
  }
  // Numbers as the D channel gives them: the called party with its type
  // octet, the calling party with type and presentation octets.
  UCHAR calledNumber[64];
  UCHAR callingNumber[64];
  if (calledLength > sizeof(calledNumber) - 1)
    calledLength = sizeof(calledNumber) - 1;
  if (callingLength > sizeof(callingNumber) - 2)
    callingLength = sizeof(callingNumber) - 2;
  calledNumber[0] = 0x80;
  RtlCopyMemory(calledNumber + 1, called, calledLength);
  callingNumber[0] = 0x00;
  callingNumber[1] = 0x80;
  RtlCopyMemory(callingNumber + 2, calling, callingLength);

  ULONG plci = PlciAddress(controller, free);
  MessageBuilder ind(app.Id(), kConnect, kInd, app.NextIndicationNumber());
  ind.Dword(plci).Word(cipValue);
  ind.Struct(calledNumber, calledLength + 1).Struct(callingNumber, callingLength + 2);
  ind.Empty().Empty().Empty().Empty().Empty().Empty();
  Answers answers(app.Queued() < queueLimit ? queueLimit - app.Queued() : 0);
  answers.Add(ind);
  if (answers.Failed()) {
    *status = answers.FailureStatus();
    return 0;
  }
  plcis_[controller - 1][free - 1] = Plci{app.Id(), kOffered, kNoB3};
  answers.DeliverTo(app);
  *status = STATUS_SUCCESS;
  return plci;
}

}  // namespace sim

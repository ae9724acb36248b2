#include "tests/sim/SimTestSupport.h"

#include "capi/CapiDecoder.h"
#include "capi/CapiTables.h"
#include "tests/capi/SinkCapture.h"

namespace simtest {

std::unique_ptr<sim::CapiApplication> MakeApplication(KPROCESSOR_MODE mode) {
  if (mode == UserMode)
    return std::make_unique<sim::UserApplication>();
  return std::make_unique<sim::KernelApplication>();
}

::testing::AssertionResult DecodesWhole(const std::vector<uint8_t>& message) {
  if (message.size() < 12 || size_t(message[0] | message[1] << 8) != message.size())
    return ::testing::AssertionFailure() << "length field does not match " << message.size();
  const CapiMessage* entry = CapiMessageFind(message[4], message[5]);
  if (entry == nullptr)
    return ::testing::AssertionFailure() << sim::MessageName(message) << " is not listed";
  SinkCapture sink;
  TraceTextReset();
  DecodeCursor cursor{message.data(), uint32_t(message.size()), 8, entry->params, 0, false};
  DecodeParams(cursor, 1);
  if (cursor.cut || cursor.offset != message.size()) {
    return ::testing::AssertionFailure()
           << sim::MessageName(message) << " decodes " << cursor.offset << " of " << message.size()
           << " bytes" << (cursor.cut ? ", cut" : "") << ":\n"
           << TraceTextBuffer();
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> Names(const std::vector<sim::ReceivedMessage>& messages) {
  std::vector<std::string> names;
  for (const auto& m : messages) names.push_back(sim::MessageName(m.message));
  return names;
}

std::vector<uint8_t> Bytes(sim::MessageBuilder& message) {
  return std::vector<uint8_t>(message.Bytes(), message.Bytes() + message.Length());
}

CompletionWatcher::CompletionWatcher() : driver_("SimWatch") {
  PDEVICE_OBJECT target = emu::FindDevice(sim::kCapiDeviceName);
  filter_ = driver_.CreateDevice(u"", DO_BUFFERED_IO, [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &CompletionWatcher::OnComplete, this, TRUE, TRUE, TRUE);
    return IoCallDriver(below_, irp);
  });
  below_ = driver_.Attach(filter_, target);
}

CompletionWatcher::~CompletionWatcher() {
  driver_.DeleteDevice(filter_);
}

NTSTATUS NTAPI CompletionWatcher::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* self = static_cast<CompletionWatcher*>(context);
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  std::lock_guard<std::mutex> guard(self->mutex_);
  self->seen_.push_back(Seen{KeGetCurrentIrql(), irp->PendingReturned != 0, irp->IoStatus.Status});
  return STATUS_SUCCESS;
}

std::vector<CompletionWatcher::Seen> CompletionWatcher::Completions() {
  std::lock_guard<std::mutex> guard(mutex_);
  return seen_;
}

}  // namespace simtest

#include <cstdint>
#include <cstring>

#include "sim/Application.h"

#include "sim/SimPool.h"
#include "sim/UserSpace.h"

namespace sim {

QueuedMessage* QueuedMessage::Create(const UCHAR* message, ULONG length, const UCHAR* payload,
                                     ULONG payloadLength) {
  auto* queued = static_cast<QueuedMessage*>(
      SimAlloc(offsetof(QueuedMessage, bytes) + length + payloadLength));
  if (queued == nullptr)
    return nullptr;
  queued->length = length;
  queued->payloadLength = payloadLength;
  std::memcpy(queued->bytes, message, length);
  if (payloadLength != 0)
    std::memcpy(queued->bytes + length, payload, payloadLength);
  return queued;
}

void QueuedMessage::Destroy() {
  SimFree(this);
}

Application::Application(USHORT id, PFILE_OBJECT file, const RegisterParams& params)
    : id_(id), file_(file), params_(params) {
  InitializeListHead(&queue_);
}

Application::~Application() {
  while (QueuedMessage* message = Dequeue()) message->Destroy();
  KeepDelivered(nullptr);
  if (userArea_ != nullptr)
    UserSpaceFree(userArea_);
}

void Application::Enqueue(QueuedMessage* message) {
  InsertTailList(&queue_, &message->link);
  ++queued_;
}

QueuedMessage* Application::Dequeue() {
  if (IsListEmpty(&queue_))
    return nullptr;
  --queued_;
  return CONTAINING_RECORD(RemoveHeadList(&queue_), QueuedMessage, link);
}

QueuedMessage* Application::Peek() const {
  if (IsListEmpty(&queue_))
    return nullptr;
  return CONTAINING_RECORD(queue_.Flink, QueuedMessage, link);
}

void Application::KeepDelivered(QueuedMessage* message) {
  if (delivered_ != nullptr)
    delivered_->Destroy();
  delivered_ = message;
}

void Application::AllocateUserArea() {
  if (userArea_ == nullptr)
    userArea_ = UserSpaceAlloc(UserAreaSize());
}

ULONG Application::UserAreaSize() const {
  return kUserMessageBytes + params_.maxBDataLength;
}

ULONG Application::ListenMask(ULONG controller) const {
  return controller <= kMaxControllers ? listen_[controller] : 0;
}

void Application::SetListenMask(ULONG controller, ULONG mask) {
  if (controller <= kMaxControllers)
    listen_[controller] = mask;
}

}  // namespace sim

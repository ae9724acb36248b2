// One registered CAPI application inside the provider: the file object it
// was registered through, its registration parameters, its queue of
// messages waiting to be got, and the buffers that hold the message last
// got until the next get. Lives in the provider's pool; guarded by the
// provider's lock.
#pragma once

#include <cstdint>

#include <ntddk.h>

namespace sim {

inline constexpr uint32_t kMaxControllers = 8;

// A message waiting in a queue, with the DATA_B3 payload behind it.
struct QueuedMessage {
  LIST_ENTRY link;
  ULONG length;         // message bytes
  ULONG payloadLength;  // payload bytes after them
  UCHAR bytes[4];       // message, then payload

  // Null when the pool refuses.
  static QueuedMessage* Create(const UCHAR* message, ULONG length, const UCHAR* payload,
                               ULONG payloadLength);
  void Destroy();
  UCHAR* Payload() { return bytes + length; }
  ULONG Total() const { return length + payloadLength; }
};

struct RegisterParams {
  USHORT messageBufferSize;
  USHORT maxLogicalConnections;
  USHORT maxBDataBlocks;
  USHORT maxBDataLength;
};

class Application {
 public:
  // The largest message a user-mode get can return in its message area.
  static constexpr ULONG kUserMessageBytes = 2048;

  Application(USHORT id, PFILE_OBJECT file, const RegisterParams& params);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  USHORT Id() const { return id_; }
  void SetId(USHORT id) { id_ = id; }
  // References of the provider's table and of requests using the
  // application outside the provider's lock; taken and dropped under it.
  // Starts at 1 (the table's). DropReference says whether it was the last.
  void AddReference() { ++references_; }
  bool DropReference() { return --references_ == 0; }
  PFILE_OBJECT File() const { return file_; }
  const RegisterParams& Params() const { return params_; }

  // Queue of messages to be got, in order.
  void Enqueue(QueuedMessage* message);
  QueuedMessage* Dequeue();     // null when empty
  QueuedMessage* Peek() const;  // the next one, left queued; null when empty
  ULONG Queued() const { return queued_; }

  // The message last got by a kernel-mode caller stays here, its pointers
  // valid, until the next get or the release.
  void KeepDelivered(QueuedMessage* message);

  // The user-mode message area: kUserMessageBytes for the message and
  // maxBDataLength for its payload, in the caller's user memory. Allocated
  // when a user-mode caller registers, before the application is published
  // (never under the provider's lock); null for a kernel-mode one.
  void AllocateUserArea();
  void* UserArea() const { return userArea_; }
  ULONG UserAreaSize() const;

  USHORT NextIndicationNumber() { return nextIndication_++; }
  USHORT NextDataHandle() { return nextDataHandle_++; }

  // CIP mask of the last LISTEN_REQ per controller (index 1 to 8).
  ULONG ListenMask(ULONG controller) const;
  void SetListenMask(ULONG controller, ULONG mask);

 private:
  USHORT id_;
  LONG references_ = 1;
  PFILE_OBJECT file_;
  RegisterParams params_;
  LIST_ENTRY queue_;
  ULONG queued_ = 0;
  QueuedMessage* delivered_ = nullptr;
  void* userArea_ = nullptr;
  USHORT nextIndication_ = 1;
  USHORT nextDataHandle_ = 1;
  ULONG listen_[kMaxControllers + 1] = {};
};

}  // namespace sim

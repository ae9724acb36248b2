#include "trace/TraceRecord.h"

#include "framework/Pool.h"

TraceRecord::TraceRecord(TraceSettings settings, TraceRecordKind kind)
    : settings(settings),
      kind(kind),
      ioBuffer{NULL, 0},
      message{NULL, 0},
      link{NULL, NULL},
      status(STATUS_SUCCESS),
      information(0),
      stack{NULL, 0},
      captureTime(),
      irp(NULL),
      requestorMode(KernelMode),
      lostBefore(0) {}

TraceRecord::~TraceRecord() {
  PoolFree(stack.data);
  PoolFree(ioBuffer.data);
  PoolFree(message.data);
}

bool TraceRecord::AllocateBlock(CapturedBlock* block, ULONG size) {
  block->data = static_cast<PUCHAR>(PoolAlloc(size, NonPagedPool));
  block->size = block->data != NULL ? size : 0;
  return block->data != NULL;
}

UCHAR TraceRecord::MajorFunction() const {
  return stack.Holds(STACK_MAJOR_FUNCTION, 1) ? stack.data[STACK_MAJOR_FUNCTION] : 0;
}

uint32_t TraceRecord::StackWord(ULONG offset) const {
  return stack.Holds(offset, 4) ? stack.Dword(offset) : 0;
}

#include "trace/TraceRecord.h"

#include "framework/Pool.h"

TraceRecord::TraceRecord(TraceSettings settings, TraceRecordKind recordKind)
    : link{NULL, NULL},
      settings(settings),
      status(STATUS_SUCCESS),
      captureTime(),
      ioBuffer{NULL, 0},
      message{NULL, 0},
      information(0),
      irp(NULL),
      stack{{0, 0, 0, 0}, 0, 0},
      kind(recordKind),
      requestorMode(KernelMode),
      userMessageNote(USER_MESSAGE_COPIED),
      lostBefore(0) {}

TraceRecord::~TraceRecord() {
  PoolFree(ioBuffer.data);
  PoolFree(message.data);
}

void TraceRecord::FreeBlock(CapturedBlock* block) {
  PoolFree(block->data);
  block->data = NULL;
  block->size = 0;
}

bool TraceRecord::AllocateBlock(CapturedBlock* block, ULONG size) {
  block->data = static_cast<PUCHAR>(PoolAlloc(size, NonPagedPool));
  block->size = block->data != NULL ? size : 0;
  return block->data != NULL;
}

// The union's plain arguments share their places with the named parameters
// the text reads.
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) ==
                  offsetof(IO_STACK_LOCATION, Parameters.Read.Length),
              "argument 1: read length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) ==
                  offsetof(IO_STACK_LOCATION, Parameters.Write.Length),
              "argument 1: write length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength),
              "argument 1: output length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument2) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength),
              "argument 2: input length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode),
              "argument 3: I/O control code");

void TraceRecord::CopyStack(const IO_STACK_LOCATION* location) {
  stack.words[STACK_PARAMETER_1] = uint32_t(uintptr_t(location->Parameters.Others.Argument1));
  stack.words[STACK_PARAMETER_2] = uint32_t(uintptr_t(location->Parameters.Others.Argument2));
  stack.words[STACK_PARAMETER_3] = uint32_t(uintptr_t(location->Parameters.Others.Argument3));
  stack.words[STACK_FILE_OBJECT] = uint32_t(uintptr_t(location->FileObject));
  stack.majorFunction = location->MajorFunction;
  stack.present = 1;
}

#include "filter/RequestSelection.h"

#include "capi/CapiMessage.h"
#include "trace/CapiIoctl.h"
#include "trace/RequestCapture.h"

namespace {

// The bytes a message must have before its length and command can be read.
constexpr ULONG MESSAGE_LOOK_BYTES = 8;

bool IsCapiCode(ULONG code) {
  return code >= CAPI_REGISTER && code <= CAPI_MANUFACTURER && (code & 3) == 0;
}
static_assert(CAPI_MANUFACTURER - CAPI_REGISTER == 8 * 4, "nine CAPI codes, four apart");

// The message of a read or write, if its data buffer holds at least the
// first bytes of one; null otherwise.
const void* DataMessage(PIRP irp, ULONG length) {
  ULONG held = 0;
  const UCHAR* data = requestDataBuffer(irp, length, &held);
  if (data == NULL || held < MESSAGE_LOOK_BYTES)
    return NULL;
  return data;
}

// The message that a kernel-mode caller's parameter block points to; null
// when there is no whole block or no message.
const void* BlockMessage(PIO_STACK_LOCATION stack) {
  const CAPI_PARAMETER_BLOCK* block =
      static_cast<const CAPI_PARAMETER_BLOCK*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (block == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof *block ||
      !inSystemSpace(block, sizeof *block))
    return NULL;
  // Only the length word and the command byte are looked at.
  const void* message = reinterpret_cast<const void*>(ULONG_PTR(block->message));
  if (!inSystemSpace(message, MESSAGE_LOOK_BYTES))
    return NULL;
  return message;
}

// A user-mode caller's message I/O control whose message the capture copies
// (TRACE_USER_MESSAGES): a CAPI_PUT_MESSAGE going down, a CAPI_GET_MESSAGE
// coming up.
bool CarriesUserMessage(PIRP irp, TraceSettings settings, bool atCompletion) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!(settings & TRACE_USER_MESSAGES) || irp->RequestorMode != UserMode ||
      stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
    return false;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  return atCompletion ? code == CAPI_GET_MESSAGE : code == CAPI_PUT_MESSAGE;
}

}  // namespace

bool shouldTrace(PIRP irp, TraceSettings settings) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG flags = SettingsFlags(settings);
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return (flags & TRACE_CAPI_FUNCTIONS) != 0;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (IsCapiCode(stack->Parameters.DeviceIoControl.IoControlCode))
        return (flags & TRACE_CAPI_FUNCTIONS) != 0;
      return (flags & TRACE_DETAILS) != 0;
    default:
      return (flags & TRACE_ALL_REQUESTS) != 0;
  }
}

bool carriesCapiMessage(PIRP irp, TraceSettings settings, bool atCompletion) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool carries = false;
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
      carries = atCompletion && irp->IoStatus.Information >= MESSAGE_LOOK_BYTES;
      break;
    case IRP_MJ_WRITE:
      carries = !atCompletion;
      break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      carries = (code == CAPI_PUT_MESSAGE && !atCompletion) ||
                (code == CAPI_GET_MESSAGE && atCompletion);
      break;
    }
    case IRP_MJ_DEVICE_CONTROL:
      carries = CarriesUserMessage(irp, settings, atCompletion);
      break;
    default:
      break;
  }
  if (!carries)
    return false;
  // A user-mode caller's message is in its memory, which only the capture's
  // guarded copy reads: the capture leaves out a MANUFACTURER message there.
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
    return true;
  if ((SettingsFlags(settings) & TRACE_HIDE_MANU_MESSAGES) == 0)
    return true;

  const void* message = NULL;
  switch (stack->MajorFunction) {
    case IRP_MJ_READ: {
      // Never more than the read asked for, whatever the driver below says.
      ULONG length = ULONG(irp->IoStatus.Information);
      if (length > stack->Parameters.Read.Length)
        length = stack->Parameters.Read.Length;
      message = DataMessage(irp, length);
      break;
    }
    case IRP_MJ_WRITE:
      // A write too short to hold a message header is not looked at.
      if (stack->Parameters.Write.Length < MESSAGE_LOOK_BYTES)
        return true;
      message = DataMessage(irp, stack->Parameters.Write.Length);
      break;
    default:
      message = BlockMessage(stack);
      break;
  }
  return !isManufacturerMessage(message);
}

bool wantsCompletion(PIRP irp, TraceSettings settings) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->MajorFunction == IRP_MJ_READ ||
         (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
          stack->Parameters.DeviceIoControl.IoControlCode == CAPI_GET_MESSAGE) ||
         CarriesUserMessage(irp, settings, true);
}

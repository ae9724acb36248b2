// The view of one request and its current stack location with which a
// handler reads and completes it. Lives on the handler's stack.
#pragma once

#include <ntddk.h>

class RequestView {
 public:
  explicit RequestView(PIRP irp) : request(irp), stackLocation(IoGetCurrentIrpStackLocation(irp)) {}
  RequestView(const RequestView&) = delete;
  RequestView& operator=(const RequestView&) = delete;

  // The accessors read the request; they are not used once it is completed.
  PVOID SystemBuffer() const { return request->AssociatedIrp.SystemBuffer; }
  UCHAR MajorFunction() const { return stackLocation->MajorFunction; }
  ULONG IoControlCode() const { return stackLocation->Parameters.DeviceIoControl.IoControlCode; }
  ULONG InputLength() const { return stackLocation->Parameters.DeviceIoControl.InputBufferLength; }
  ULONG OutputLength() const {
    return stackLocation->Parameters.DeviceIoControl.OutputBufferLength;
  }

  // Writes the result into the request's status block and returns the
  // status. After Complete the request is no longer ours: nothing is written.
  NTSTATUS SetResult(NTSTATUS status, ULONG_PTR information);
  // Completes the request without a priority boost; a second call does
  // nothing.
  void Complete();

 private:
  PIRP request;
  PIO_STACK_LOCATION stackLocation;
};

#include "framework/RequestView.h"

NTSTATUS RequestView::SetResult(NTSTATUS status, ULONG_PTR information) {
  if (request == NULL)
    return status;
  request->IoStatus.Status = status;
  request->IoStatus.Information = information;
  return status;
}

void RequestView::Complete() {
  if (request == NULL)
    return;
  PIRP irp = request;
  request = NULL;
  stackLocation = NULL;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

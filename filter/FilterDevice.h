// The driver's window on the traced CAPI device: an unnamed device object
// created after the target device has been opened by name, and attached on
// top of the target's stack, so that every request sent to the target
// reaches it first. Every request is passed on unchanged to the device below.
// Around that the filter
//  - records the file objects of kernel-mode opens made through it, so that
//    Detach can wait until they are closed (a kernel-mode client keeps the
//    device pointer it was given and sends its requests straight to it);
//  - counts the opens and watched requests still in flight (outstanding);
//  - while tracing, offers each request to OnRequest on the way down and,
//    when that asks for it, to OnCompletion when the driver below completes
//    it.
#pragma once

#include <ntddk.h>

#include "framework/CountedString.h"
#include "framework/Device.h"
#include "framework/Event.h"
#include "framework/KeySet.h"
#include "framework/RemoveGuard.h"

class FilterDevice : public Device {
 public:
  // Opens the target ("\Device\<targetName>", or the name itself when it
  // begins with a backslash) and creates the filter's device object with the
  // target's type, characteristics and I/O flags; unnamed for a null
  // deviceName. Not attached yet. *status: STATUS_DEVICE_DOES_NOT_EXIST when
  // no such device exists, else the open's or the creation's status. The
  // creator destroys the object whatever the status. PASSIVE_LEVEL.
  FilterDevice(PCWSTR deviceName, PCWSTR targetName, NTSTATUS* status);
  // Waits until no Dispatch runs and no watched request is pending, detaches
  // (waiting for kernel-mode opens to close) and releases the target.
  ~FilterDevice() override;

  // Slot 1: the pass-through.
  NTSTATUS Dispatch(PIRP irp) override;
  // Slot 2: whether to watch the request's completion. The plain filter
  // watches nothing.
  virtual bool OnRequest(PIRP) { return false; }
  // Slot 3: called at completion of a watched request while tracing.
  virtual NTSTATUS OnCompletion(PIRP) { return STATUS_SUCCESS; }

  // Attaches above the target unless a Detach came first (refused for good
  // then). PASSIVE_LEVEL.
  void Attach();
  // Gives up the attachment, waits until every recorded kernel-mode open
  // has been closed, and detaches. PASSIVE_LEVEL.
  void Detach();
  // Attaches if not attached yet; tracing is on exactly when attached.
  void EnableTracing();
  void DisableTracing() { tracing = FALSE; }
  bool HasOutstanding() const { return __atomic_load_n(&outstanding, __ATOMIC_SEQ_CST) != 0; }

  bool IsAttached() const { return attached != FALSE; }
  bool IsTracing() const { return tracing != FALSE; }
  PDRIVER_OBJECT TargetDriver() const { return targetDriver; }
  const CountedString& TargetName() const { return targetName; }
  // Until attachment the target device itself, afterwards the device the
  // filter is attached to.
  PDEVICE_OBJECT LowerDevice() const { return lowerDevice; }
  // The file object of the target's open, held until the filter attaches.
  PFILE_OBJECT TargetFile() const { return targetFile; }

 protected:
  // Hands the device object, once it has been in the stack, to a
  // RetiredFilter that keeps it until unload, and waits until no request
  // can still be about to take a reference on this object's deviceGuard
  // without having it: after this, deviceGuard's ReleaseAndWait covers
  // every request that can reach this object. Called by the destruction,
  // after Detach and before the wait on deviceGuard. PASSIVE_LEVEL.
  void RetireDeviceObject();

 private:
  // The completion routine of a watched request.
  static NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  // The completion routine of an unwatched kernel-mode open.
  static NTSTATUS NTAPI OpenCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  // Passes the current stack location on with `routine` to run at the
  // completion, set so that the driver stays loaded until it has returned
  // wherever the system allows.
  void WatchCompletion(PIRP irp, PIO_STACK_LOCATION stack, PIO_COMPLETION_ROUTINE routine);
  // Records a kernel-mode open; false when it was completed here instead.
  bool RecordKernelOpen(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* status);
  // A recorded open that the driver below failed: no close will come.
  void ForgetFailedOpen(PIRP irp);
  NTSTATUS TracedPath(PIRP irp, PIO_STACK_LOCATION stack, bool recordedOpen);
  static NTSTATUS PassOn(PDEVICE_OBJECT lower, PIRP irp, bool power);
  static NTSTATUS CompleteHere(PIRP irp, NTSTATUS status);

  PDRIVER_OBJECT targetDriver;
  CountedString targetName;
  PDEVICE_OBJECT lowerDevice;
  PFILE_OBJECT targetFile;
  KeySet kernelOpens;
  volatile BOOLEAN attached;
  volatile BOOLEAN tracing;
  volatile LONG outstanding;
  RemoveGuard attachGuard;
  // A remove-device request and the destruction may both detach: the first
  // does it, a later one waits until it is done.
  volatile LONG detaching;
  Event detached;
  BOOLEAN everAttached;
  BOOLEAN retired;
};

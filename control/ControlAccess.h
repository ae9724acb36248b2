// Who may use the control device: the local system and members of the
// Administrators group. The device is created with the default security of
// a named device, which lets everyone open it; and its control codes are
// FILE_ANY_ACCESS, so even a handle opened for no access at all sends them
// (and an administrator's handle may be duplicated into another process).
// So the requester of every user-mode create and control request is checked
// against a security descriptor of the driver's own, in the requester's
// thread, where SeCaptureSubjectContext finds its token.
//
// Windows 98/Me have no security: every requester passes there.
#pragma once

#include <ntddk.h>

class ControlAccess {
 public:
  // PASSIVE_LEVEL, in the requester's thread. STATUS_SUCCESS for a
  // kernel-mode requester, on Windows 98/Me, and for a user-mode requester
  // the descriptor grants; STATUS_ACCESS_DENIED otherwise, also on NT when
  // the security routines were not found.
  static NTSTATUS Check(PIRP irp);
};

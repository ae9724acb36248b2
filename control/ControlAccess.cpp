#include "control/ControlAccess.h"

#include <stddef.h>

#include "framework/SystemRoutines.h"

namespace {

// The published layouts (self-relative security descriptor, ACL, ACE, SID),
// spelt out so that the descriptor is one constant in read-only data.
struct Sid1 {
  UCHAR revision;
  UCHAR subAuthorityCount;
  UCHAR identifierAuthority[6];  // big-endian
  ULONG subAuthority[1];
};
struct Sid2 {
  UCHAR revision;
  UCHAR subAuthorityCount;
  UCHAR identifierAuthority[6];
  ULONG subAuthority[2];
};
template <typename Sid>
struct AllowedAce {
  UCHAR aceType;
  UCHAR aceFlags;
  USHORT aceSize;
  ACCESS_MASK mask;
  Sid sid;
};
struct Descriptor {
  // SECURITY_DESCRIPTOR_RELATIVE
  UCHAR revision;
  UCHAR sbz1;
  USHORT control;
  ULONG owner;
  ULONG group;
  ULONG sacl;
  ULONG dacl;
  // ACL
  UCHAR aclRevision;
  UCHAR aclSbz1;
  USHORT aclSize;
  USHORT aceCount;
  USHORT aclSbz2;
  AllowedAce<Sid1> localSystem;
  AllowedAce<Sid2> administrators;
  Sid2 ownerSid;
  Sid1 groupSid;
};

static_assert(sizeof(Sid1) == 12 && sizeof(Sid2) == 16, "SID layout");
static_assert(sizeof(AllowedAce<Sid1>) == 20 && sizeof(AllowedAce<Sid2>) == 24, "ACE layout");
static_assert(offsetof(Descriptor, aclRevision) == 20, "the DACL follows the 20-byte header");
static_assert(offsetof(Descriptor, localSystem) == 28, "the ACEs follow the 8-byte ACL header");
static_assert(offsetof(Descriptor, ownerSid) == 72 && offsetof(Descriptor, groupSid) == 88,
              "owner and group follow the DACL");
static_assert(sizeof(Descriptor) == 100, "descriptor size");

constexpr UCHAR SD_REVISION = 1;
constexpr USHORT SD_DACL_PRESENT = 0x0004;
constexpr USHORT SD_SELF_RELATIVE = 0x8000;
constexpr UCHAR ACL_REVISION_2 = 2;
constexpr UCHAR ALLOWED_ACE = 0;  // ACCESS_ALLOWED_ACE_TYPE
constexpr UCHAR SID_REVISION_1 = 1;
constexpr ULONG FILE_ALL = 0x001F01FF;             // FILE_ALL_ACCESS
constexpr ULONG FILE_EXECUTE_RIGHTS = 0x001200A0;  // FILE_GENERIC_EXECUTE

constexpr Sid1 kLocalSystem = {SID_REVISION_1, 1, {0, 0, 0, 0, 0, 5}, {18}};          // S-1-5-18
constexpr Sid2 kAdministrators = {SID_REVISION_1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};  // S-1-5-32-544

constexpr Descriptor kDescriptor = {
    SD_REVISION,
    0,
    SD_SELF_RELATIVE | SD_DACL_PRESENT,
    offsetof(Descriptor, ownerSid),
    offsetof(Descriptor, groupSid),
    0,
    offsetof(Descriptor, aclRevision),
    ACL_REVISION_2,
    0,
    offsetof(Descriptor, ownerSid) - offsetof(Descriptor, aclRevision),
    2,
    0,
    {ALLOWED_ACE, 0, sizeof(AllowedAce<Sid1>), FILE_ALL, kLocalSystem},
    {ALLOWED_ACE, 0, sizeof(AllowedAce<Sid2>), FILE_ALL, kAdministrators},
    kAdministrators,
    kLocalSystem,
};

// What controlling the driver takes, whatever the handle was opened for.
constexpr ACCESS_MASK CONTROL_ACCESS = FILE_READ_DATA | FILE_WRITE_DATA;

}  // namespace

NTSTATUS ControlAccess::Check(PIRP irp) {
  if (irp->RequestorMode == KernelMode)
    return STATUS_SUCCESS;
  // Windows 98/Me: no tokens, no access checks; anyone may control tracing.
  if (!SystemRoutines::IsNt())
    return STATUS_SUCCESS;
  const SystemRoutines::SubjectContextRoutine capture = SystemRoutines::CaptureSubjectContext();
  const SystemRoutines::SubjectContextRoutine release = SystemRoutines::ReleaseSubjectContext();
  const SystemRoutines::AccessCheckRoutine accessCheck = SystemRoutines::AccessCheck();
  if (capture == NULL || release == NULL || accessCheck == NULL)
    return STATUS_ACCESS_DENIED;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_EXECUTE_RIGHTS, FILE_ALL};
  SECURITY_SUBJECT_CONTEXT subject;
  capture(&subject);
  ACCESS_MASK granted = 0;
  NTSTATUS accessStatus = STATUS_ACCESS_DENIED;
  const BOOLEAN allowed =
      accessCheck(const_cast<Descriptor*>(&kDescriptor), &subject, FALSE, CONTROL_ACCESS, 0, NULL,
                  &mapping, UserMode, &granted, &accessStatus);
  release(&subject);
  return allowed && NT_SUCCESS(accessStatus) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

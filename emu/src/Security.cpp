// The security reference monitor: subject contexts carry the current
// process's identity, and an access check walks a security descriptor's
// discretionary ACL over that identity's SIDs, as NT does for the two ACE
// types a driver builds (access-allowed and access-denied).
#include <cstring>
#include <vector>

#include "KernelInternal.h"
#include "SecurityInternal.h"
#include "emu/BugCheck.h"
#include "emu/Process.h"

namespace emu {
namespace {

// A SID as its bytes.
using SidBytes = std::vector<UCHAR>;

SidBytes MakeSid(UCHAR authority, std::initializer_list<ULONG> subAuthorities) {
  SidBytes sid = {SID_REVISION, UCHAR(subAuthorities.size()), 0, 0, 0, 0, 0, authority};
  for (ULONG sub : subAuthorities) {
    for (int i = 0; i < 4; ++i) sid.push_back(UCHAR(sub >> (8 * i)));
  }
  return sid;
}

const SidBytes kEveryone = MakeSid(1, {0});                         // S-1-1-0
const SidBytes kInteractive = MakeSid(5, {4});                      // S-1-5-4
const SidBytes kAuthenticatedUsers = MakeSid(5, {11});              // S-1-5-11
const SidBytes kLocalSystem = MakeSid(5, {18});                     // S-1-5-18
const SidBytes kAdministrators = MakeSid(5, {32, 544});             // S-1-5-32-544
const SidBytes kUsers = MakeSid(5, {32, 545});                      // S-1-5-32-545
const SidBytes kAdministrator = MakeSid(5, {21, 1, 2, 3, 500});     // a local administrator
const SidBytes kOrdinaryUser = MakeSid(5, {21, 1, 2, 3, 1001});     // a local user

// The user and the enabled groups of each identity's token.
const std::vector<const SidBytes*>& TokenSids(Identity identity) {
  static const std::vector<const SidBytes*> system = {&kLocalSystem, &kAdministrators, &kEveryone,
                                                      &kAuthenticatedUsers};
  static const std::vector<const SidBytes*> administrator = {
      &kAdministrator, &kAdministrators, &kUsers, &kEveryone, &kInteractive, &kAuthenticatedUsers};
  static const std::vector<const SidBytes*> user = {&kOrdinaryUser, &kUsers, &kEveryone,
                                                    &kInteractive, &kAuthenticatedUsers};
  switch (identity) {
    case Identity::System:
      return system;
    case Identity::Administrator:
      return administrator;
    case Identity::User:
      break;
  }
  return user;
}

[[noreturn]] void Malformed(const char* what) {
  BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "SeAccessCheck: malformed security descriptor (%s)",
           what);
}

// The length of the SID at `sid` within `available` bytes, or bug check.
size_t SidLength(const UCHAR* sid, size_t available) {
  if (available < 8 || sid[0] != SID_REVISION || sid[1] > 15)
    Malformed("a SID with a bad revision or too many subauthorities");
  size_t length = 8 + 4 * size_t(sid[1]);
  if (length > available)
    Malformed("a SID past the end of its ACE");
  return length;
}

bool TokenHas(Identity identity, const UCHAR* sid, size_t length) {
  for (const SidBytes* mine : TokenSids(identity)) {
    if (mine->size() == length && std::memcmp(mine->data(), sid, length) == 0)
      return true;
  }
  return false;
}

ACCESS_MASK MapGeneric(ACCESS_MASK mask, const GENERIC_MAPPING* mapping) {
  ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ)
    mapped |= mapping->GenericRead;
  if (mask & GENERIC_WRITE)
    mapped |= mapping->GenericWrite;
  if (mask & GENERIC_EXECUTE)
    mapped |= mapping->GenericExecute;
  if (mask & GENERIC_ALL)
    mapped |= mapping->GenericAll;
  return mapped;
}

// The DACL of an absolute or self-relative descriptor; *present false when
// it has none (which grants everything).
const ACL* DaclOf(const void* descriptor, bool* present) {
  const auto* header = static_cast<const UCHAR*>(descriptor);
  if (header[0] != SECURITY_DESCRIPTOR_REVISION)
    Malformed("revision");
  USHORT control;
  std::memcpy(&control, header + 2, sizeof control);
  *present = (control & SE_DACL_PRESENT) != 0;
  if (!*present)
    return nullptr;
  if (control & SE_SELF_RELATIVE) {
    const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    if (relative->Dacl == 0)
      return nullptr;
    if (relative->Dacl < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
      Malformed("a DACL offset inside the header");
    return reinterpret_cast<const ACL*>(header + relative->Dacl);
  }
  return static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Dacl;
}

}  // namespace

namespace internal {

bool AccessCheck(const void* descriptor, Identity identity, ACCESS_MASK desired,
                 const GENERIC_MAPPING* mapping, ACCESS_MASK* granted) {
  desired = MapGeneric(desired, mapping);
  bool present;
  const ACL* dacl = DaclOf(descriptor, &present);
  // No DACL, or a null one: everyone gets everything.
  if (!present || dacl == nullptr) {
    *granted = (desired & MAXIMUM_ALLOWED) ? mapping->GenericAll : desired;
    return true;
  }
  if (dacl->AclRevision < ACL_REVISION || dacl->AclRevision > ACL_REVISION_DS ||
      dacl->AclSize < sizeof(ACL))
    Malformed("an ACL with a bad revision or size");
  const auto* bytes = reinterpret_cast<const UCHAR*>(dacl);
  size_t offset = sizeof(ACL);
  const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  ACCESS_MASK remaining = desired & ~MAXIMUM_ALLOWED;
  ACCESS_MASK allowed = 0;
  ACCESS_MASK denied = 0;
  for (USHORT i = 0; i < dacl->AceCount; ++i) {
    if (offset + sizeof(ACE_HEADER) > dacl->AclSize)
      Malformed("an ACE past the end of its ACL");
    ACE_HEADER ace;
    std::memcpy(&ace, bytes + offset, sizeof ace);
    if (ace.AceSize < sizeof(ACE_HEADER) || offset + ace.AceSize > dacl->AclSize)
      Malformed("an ACE whose size leaves its ACL");
    const bool known = ace.AceType == ACCESS_ALLOWED_ACE_TYPE || ace.AceType == ACCESS_DENIED_ACE_TYPE;
    if (known && !(ace.AceFlags & INHERIT_ONLY_ACE)) {
      if (ace.AceSize < 8 + 8)
        Malformed("an ACE too short for its SID");
      ACCESS_MASK mask;
      std::memcpy(&mask, bytes + offset + 4, sizeof mask);
      mask = MapGeneric(mask, mapping);
      const UCHAR* sid = bytes + offset + 8;
      const size_t sidLength = SidLength(sid, ace.AceSize - 8);
      if (TokenHas(identity, sid, sidLength)) {
        // The first ACE that decides a right wins: a right allowed earlier
        // is not taken back by a later deny, and the other way round.
        if (ace.AceType == ACCESS_ALLOWED_ACE_TYPE) {
          allowed |= mask & ~denied;
        } else {
          denied |= mask & ~allowed;
        }
      }
    }
    offset += ace.AceSize;
  }
  if (maximum) {
    *granted = allowed | remaining;
    return allowed != 0 && (remaining & ~allowed) == 0;
  }
  *granted = remaining;
  return remaining != 0 && (remaining & ~allowed) == 0;
}

const void* DefaultNamedDeviceSecurity() {
  static const std::vector<UCHAR>* descriptor = [] {
    struct Ace {
      const SidBytes* sid;
      ACCESS_MASK mask;
    };
    const Ace aces[] = {{&kLocalSystem, GENERIC_ALL},
                        {&kAdministrators, GENERIC_ALL},
                        {&kEveryone, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE}};
    std::vector<UCHAR> acl;
    for (const Ace& ace : aces) {
      const USHORT size = USHORT(8 + ace.sid->size());
      const UCHAR head[8] = {ACCESS_ALLOWED_ACE_TYPE, 0, UCHAR(size), UCHAR(size >> 8),
                             UCHAR(ace.mask), UCHAR(ace.mask >> 8), UCHAR(ace.mask >> 16),
                             UCHAR(ace.mask >> 24)};
      acl.insert(acl.end(), head, head + 8);
      acl.insert(acl.end(), ace.sid->begin(), ace.sid->end());
    }
    const USHORT aclSize = USHORT(sizeof(ACL) + acl.size());
    auto* bytes = new std::vector<UCHAR>(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE header = {};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    header.Dacl = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    std::memcpy(bytes->data(), &header, sizeof header);
    const UCHAR aclHead[8] = {ACL_REVISION, 0, UCHAR(aclSize), UCHAR(aclSize >> 8),
                              UCHAR(sizeof aces / sizeof aces[0]), 0, 0, 0};
    bytes->insert(bytes->end(), aclHead, aclHead + 8);
    bytes->insert(bytes->end(), acl.begin(), acl.end());
    return bytes;
  }();
  return descriptor->data();
}

bool OpenAllowed(const void* descriptor, ACCESS_MASK desired) {
  static const GENERIC_MAPPING file = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, 0x001200A0,
                                       FILE_ALL_ACCESS};
  ACCESS_MASK granted;
  // An open for no access at all needs no grant.
  if (desired == 0)
    return true;
  return AccessCheck(descriptor, IdentityOf(CurrentProcess()), desired, &file, &granted);
}

}  // namespace internal
}  // namespace emu

extern "C" VOID NTAPI SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "SeCaptureSubjectContext");
  // The primary token stands for the current process, whose identity is the
  // token's; no thread impersonates.
  SubjectContext->ClientToken = nullptr;
  SubjectContext->ImpersonationLevel = SecurityAnonymous;
  SubjectContext->PrimaryToken = emu::CurrentProcess();
  SubjectContext->ProcessAuditId = emu::CurrentProcess();
}

extern "C" VOID NTAPI SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "SeReleaseSubjectContext");
  if (SubjectContext->PrimaryToken == nullptr) {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "SeReleaseSubjectContext of a context that holds no captured token");
  }
  SubjectContext->PrimaryToken = nullptr;
  SubjectContext->ProcessAuditId = nullptr;
}

extern "C" BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                       PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                       BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                                       ACCESS_MASK PreviouslyGrantedAccess,
                                       PPRIVILEGE_SET* Privileges, PGENERIC_MAPPING GenericMapping,
                                       KPROCESSOR_MODE AccessMode, PACCESS_MASK GrantedAccess,
                                       NTSTATUS* AccessStatus) {
  (void)SubjectContextLocked;
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "SeAccessCheck");
  if (Privileges != nullptr)
    *Privileges = nullptr;
  const ACCESS_MASK desired = DesiredAccess & ~PreviouslyGrantedAccess;
  // A kernel-mode requester is granted whatever it asks.
  if (AccessMode == KernelMode) {
    *GrantedAccess = PreviouslyGrantedAccess | emu::MapGeneric(desired, GenericMapping);
    *AccessStatus = STATUS_SUCCESS;
    return TRUE;
  }
  if (desired == 0) {
    *GrantedAccess = PreviouslyGrantedAccess;
    *AccessStatus = PreviouslyGrantedAccess != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
    return PreviouslyGrantedAccess != 0;
  }
  auto* process = static_cast<emu::Process*>(SubjectSecurityContext->ClientToken != nullptr
                                                 ? SubjectSecurityContext->ClientToken
                                                 : SubjectSecurityContext->PrimaryToken);
  if (process == nullptr) {
    emu::BugCheck(emu::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "SeAccessCheck with a subject context that was not captured");
  }
  ACCESS_MASK granted = 0;
  if (!emu::internal::AccessCheck(SecurityDescriptor, emu::IdentityOf(process), desired,
                                  GenericMapping, &granted)) {
    *GrantedAccess = 0;
    *AccessStatus = STATUS_ACCESS_DENIED;
    return FALSE;
  }
  *GrantedAccess = PreviouslyGrantedAccess | granted;
  *AccessStatus = STATUS_SUCCESS;
  return TRUE;
}

// Processes, their handle tables and identities: where a handle lands and
// who finds it, and the access checks of the security reference monitor.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <ntddk.h>

#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Object.h"
#include "emu/Process.h"
#include "emu/SystemVersion.h"

namespace {

POBJECT_TYPE ThingType() {
  static POBJECT_TYPE type = emu::CreateObjectType("Thing", nullptr);
  return type;
}

VOID NTAPI EndAtOnce(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }

std::atomic<emu::Process*> workProcess{nullptr};
VOID NTAPI NoteProcess(PVOID event) {
  workProcess = emu::CurrentProcess();
  KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
}

PDEVICE_OBJECT securedDevice;
NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
VOID NTAPI SecuredUnload(PDRIVER_OBJECT) { IoDeleteDevice(securedDevice); }
NTSTATUS NTAPI SecuredEntry(PDRIVER_OBJECT object, PUNICODE_STRING) {
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) object->MajorFunction[major] = Succeed;
  object->DriverUnload = SecuredUnload;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Secured");
  return IoCreateDevice(object, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &securedDevice);
}

// A thread object whose handle was made as a driver running in the current
// context makes it.
HANDLE CreateThread(ULONG attributes) {
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, nullptr, attributes, nullptr, nullptr);
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &object, nullptr, nullptr, EndAtOnce,
                                 nullptr),
            STATUS_SUCCESS);
  return handle;
}

TEST(Processes, AHandleMadeInAUserProcessIsThatProcesssAlone) {
  emu::Process* tool = emu::CreateUserProcess(emu::Identity::Administrator, "tool");
  emu::Process* other = emu::CreateUserProcess(emu::Identity::User, "other");
  const size_t kernelHandles = emu::OpenHandleCount();
  HANDLE handle;
  {
    emu::ProcessScope inTool(tool);
    handle = CreateThread(0);
  }
  EXPECT_EQ(emu::OpenHandleCount(), kernelHandles);
  EXPECT_EQ(emu::ProcessHandles(tool), std::vector<HANDLE>{handle});
  PVOID object = nullptr;
  // Neither another process nor the system process finds it.
  for (emu::Process* process : {other, emu::SystemProcess()}) {
    emu::ProcessScope elsewhere(process);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
  }
  {
    emu::ProcessScope inTool(tool);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObfDereferenceObject(object);
  }
  // The process may close it and reuse its value for an object of its own,
  // which a reference by type then refuses.
  EXPECT_EQ(emu::CloseProcessHandle(tool, handle), STATUS_SUCCESS);
  PVOID thing = emu::CreateObject(ThingType(), 4);
  EXPECT_EQ(emu::CreateProcessHandle(tool, thing), handle);
  ObfDereferenceObject(thing);
  {
    emu::ProcessScope inTool(tool);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(object, thing);
    ObfDereferenceObject(object);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  }
  EXPECT_TRUE(emu::ProcessHandles(tool).empty());
  EXPECT_FALSE(emu::IsObject(thing));
  emu::Kernel::Quiesce();
}

TEST(Processes, AKernelHandleIsFoundFromEveryProcessInKernelModeOnly) {
  emu::Process* tool = emu::CreateUserProcess(emu::Identity::Administrator, "tool");
  HANDLE handle;
  {
    emu::ProcessScope inTool(tool);
    handle = CreateThread(OBJ_KERNEL_HANDLE);
  }
  EXPECT_TRUE(emu::ProcessHandles(tool).empty());
  PVOID object = nullptr;
  for (emu::Process* process : {tool, emu::SystemProcess(), emu::ToolProcess()}) {
    emu::ProcessScope in(process);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObfDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
  }
  // Made in the system process, a handle is a kernel handle too.
  HANDLE fromSystem;
  {
    emu::ProcessScope inSystem(emu::SystemProcess());
    fromSystem = CreateThread(0);
  }
  {
    emu::ProcessScope inTool(tool);
    EXPECT_EQ(ZwClose(fromSystem), STATUS_SUCCESS);
  }
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  emu::Kernel::Quiesce();
}

TEST(Processes, ThreadsOfTheKernelRunInTheSystemProcess) {
  EXPECT_EQ(emu::CurrentProcess(), emu::ToolProcess());
  EXPECT_EQ(emu::IdentityOf(emu::ToolProcess()), emu::Identity::Administrator);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, NoteProcess, &done);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(workProcess.load(), emu::SystemProcess());
  emu::Kernel::Quiesce();
}

// A self-relative descriptor with the given ACEs (type, SID bytes, mask).
struct TestAce {
  UCHAR type;
  std::vector<UCHAR> sid;
  ACCESS_MASK mask;
};
std::vector<UCHAR> Descriptor(const std::vector<TestAce>& aces) {
  std::vector<UCHAR> acl;
  for (const TestAce& ace : aces) {
    const USHORT size = USHORT(8 + ace.sid.size());
    const UCHAR head[8] = {ace.type, 0, UCHAR(size), UCHAR(size >> 8), UCHAR(ace.mask),
                           UCHAR(ace.mask >> 8), UCHAR(ace.mask >> 16), UCHAR(ace.mask >> 24)};
    acl.insert(acl.end(), head, head + 8);
    acl.insert(acl.end(), ace.sid.begin(), ace.sid.end());
  }
  std::vector<UCHAR> bytes(20, 0);
  bytes[0] = SECURITY_DESCRIPTOR_REVISION;
  const USHORT control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
  std::memcpy(&bytes[2], &control, 2);
  bytes[16] = 20;  // the DACL's offset
  const USHORT aclSize = USHORT(8 + acl.size());
  const UCHAR aclHead[8] = {ACL_REVISION, 0, UCHAR(aclSize), UCHAR(aclSize >> 8),
                            UCHAR(aces.size()), 0, 0, 0};
  bytes.insert(bytes.end(), aclHead, aclHead + 8);
  bytes.insert(bytes.end(), acl.begin(), acl.end());
  return bytes;
}

const std::vector<UCHAR> kSystemSid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const std::vector<UCHAR> kAdministratorsSid = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
const std::vector<UCHAR> kEveryoneSid = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

bool Check(emu::Process* process, std::vector<UCHAR> descriptor, ACCESS_MASK desired,
           KPROCESSOR_MODE mode = UserMode, ACCESS_MASK* grantedOut = nullptr) {
  emu::ProcessScope in(process);
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, 0x001200A0, FILE_ALL_ACCESS};
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  ACCESS_MASK granted = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const BOOLEAN allowed = SeAccessCheck(descriptor.data(), &subject, FALSE, desired, 0, nullptr,
                                        &mapping, mode, &granted, &status);
  SeReleaseSubjectContext(&subject);
  EXPECT_EQ(status, allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
  if (grantedOut != nullptr)
    *grantedOut = granted;
  return allowed;
}

TEST(Security, TheDaclDecidesByTheRequestersGroups) {
  emu::Process* user = emu::CreateUserProcess(emu::Identity::User, "user");
  emu::Process* admin = emu::CreateUserProcess(emu::Identity::Administrator, "admin");
  emu::Process* service = emu::CreateUserProcess(emu::Identity::System, "service");
  const auto adminsOnly = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, kSystemSid, FILE_ALL_ACCESS},
                                      {ACCESS_ALLOWED_ACE_TYPE, kAdministratorsSid, FILE_ALL_ACCESS}});
  EXPECT_FALSE(Check(user, adminsOnly, FILE_READ_DATA));
  EXPECT_TRUE(Check(admin, adminsOnly, FILE_READ_DATA | FILE_WRITE_DATA));
  EXPECT_TRUE(Check(service, adminsOnly, GENERIC_READ | GENERIC_WRITE));
  // A kernel-mode requester is granted anything.
  EXPECT_TRUE(Check(user, adminsOnly, FILE_WRITE_DATA, KernelMode));
  // Everything asked must be granted, and generic rights are mapped first.
  const auto readForAll = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, kEveryoneSid, GENERIC_READ}});
  EXPECT_TRUE(Check(user, readForAll, FILE_READ_DATA));
  EXPECT_FALSE(Check(user, readForAll, FILE_READ_DATA | FILE_WRITE_DATA));
  ACCESS_MASK granted = 0;
  EXPECT_TRUE(Check(user, readForAll, MAXIMUM_ALLOWED, UserMode, &granted));
  EXPECT_EQ(granted, ACCESS_MASK(FILE_GENERIC_READ));
  // An earlier deny wins over a later allow; an empty DACL grants nothing.
  const auto denyFirst = Descriptor({{ACCESS_DENIED_ACE_TYPE, kAdministratorsSid, FILE_WRITE_DATA},
                                     {ACCESS_ALLOWED_ACE_TYPE, kEveryoneSid, FILE_ALL_ACCESS}});
  EXPECT_FALSE(Check(admin, denyFirst, FILE_WRITE_DATA));
  EXPECT_TRUE(Check(user, denyFirst, FILE_WRITE_DATA));
  EXPECT_FALSE(Check(admin, Descriptor({}), FILE_READ_DATA));
}

TEST(Security, ANamedDeviceLetsEveryoneOpenForReadAndWrite) {
  // The default for a named device: everyone may open it; a device whose
  // security grants only administrators refuses an ordinary user.
  emu::Process* user = emu::CreateUserProcess(emu::Identity::User, "user");
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(emu::LoadDriver("Secured", SecuredEntry, 0, &driver), STATUS_SUCCESS);
  PDEVICE_OBJECT device = securedDevice;
  HANDLE handle = nullptr;
  {
    emu::ProcessScope asUser(user);
    ASSERT_EQ(emu::Open("\\Device\\Secured", UserMode, &handle), STATUS_SUCCESS);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }
  static auto adminsOnly = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, kAdministratorsSid, GENERIC_ALL}});
  PVOID defaultSecurity = device->SecurityDescriptor;
  device->SecurityDescriptor = adminsOnly.data();
  {
    emu::ProcessScope asUser(user);
    EXPECT_EQ(emu::Open("\\Device\\Secured", UserMode, &handle), STATUS_ACCESS_DENIED);
    // A kernel-mode open is not checked.
    ASSERT_EQ(emu::Open("\\Device\\Secured", KernelMode, &handle), STATUS_SUCCESS);
    EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  }
  ASSERT_EQ(emu::Open("\\Device\\Secured", UserMode, &handle), STATUS_SUCCESS);
  EXPECT_EQ(emu::Close(handle), STATUS_SUCCESS);
  device->SecurityDescriptor = defaultSecurity;
  EXPECT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
}

class ProcessBugCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

TEST_F(ProcessBugCheck, KernelModeCloseOfAnotherProcesssHandle) {
  emu::Process* tool = emu::CreateUserProcess(emu::Identity::Administrator, "tool");
  PVOID thing = emu::CreateObject(ThingType(), 4);
  HANDLE handle = emu::CreateProcessHandle(tool, thing);
  ObfDereferenceObject(thing);
  EXPECT_DEATH(ZwClose(handle),
               "BUG CHECK 0x00000093: INVALID_KERNEL_HANDLE: ZwClose of .* not a handle open in "
               "the current context \\(process pellinorctl\\)");
  EXPECT_EQ(emu::CloseProcessHandle(tool, handle), STATUS_SUCCESS);
}

TEST_F(ProcessBugCheck, Windows98CannotWaitOnAThread) {
  EXPECT_DEATH(
      {
        emu::SetSystemVersion(emu::SystemVersion::Windows98);
        KeWaitForSingleObject(KeGetCurrentThread(), Executive, KernelMode, FALSE, nullptr);
      },
      "BUG CHECK 0x0000001E: KMODE_EXCEPTION_NOT_HANDLED: KeWaitForSingleObject on thread object "
      ".*Windows 98/Me cannot wait on a thread");
}

}  // namespace

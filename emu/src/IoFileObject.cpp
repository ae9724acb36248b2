// File objects of the emulated I/O manager: opening a device through its
// stack, the handle count whose end sends IRP_MJ_CLEANUP, the reference
// count whose end sends IRP_MJ_CLOSE, and IoGetDeviceObjectPointer.
//
// A file object remembers the device it was opened on (FileObject->
// DeviceObject, the named device, not the top of its stack), as the kernel
// does. Every request on the file, cleanup and close included, goes to the
// top of that device's stack as it is when the request is sent
// (IoGetRelatedDeviceObject): a filter attached after the open sees them.
#include <cstring>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "ObjectInternal.h"
#include "SecurityInternal.h"
#include "emu/Object.h"

POBJECT_TYPE* IoFileObjectType;

namespace emu {
namespace io {
namespace {

std::unordered_map<PFILE_OBJECT, std::unique_ptr<FileRecord>>& Files() {
  static auto* files = new std::unordered_map<PFILE_OBJECT, std::unique_ptr<FileRecord>>;
  return *files;
}

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for `file` to the top of its stack,
// in kernel mode, and waits for it.
void SendFileIrp(PFILE_OBJECT file, PDEVICE_OBJECT device, UCHAR major) {
  PDEVICE_OBJECT top;
  {
    std::lock_guard<std::mutex> guard(Lock());
    top = TopOfStack(device);
  }
  PIRP irp = AllocateIrp(top->StackSize, true, true);
  irp->RequestorMode = KernelMode;
  irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->FileObject = file;
  SendAndWait(top, irp);
}

// The object manager calls this when the last reference to a file object
// goes.
void DeleteFileObject(PVOID body) {
  auto* file = static_cast<PFILE_OBJECT>(body);
  std::unique_ptr<FileRecord> record;
  {
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Files().find(file);
    if (it == Files().end())
      return;
    record = std::move(it->second);
    Files().erase(it);
  }
  if (record->hostFile) {
    CloseHostFile(record.get());
  } else if (record->device != nullptr) {
    // The kernel defers this to a worker thread when the last reference
    // goes above APC_LEVEL; the emulated object manager frees the body as
    // soon as this returns, so it cannot.
    if (internal::CurrentIrql() > APC_LEVEL) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "last reference to file object %p dropped at IRQL %d: the emulated kernel sends "
               "IRP_MJ_CLOSE at PASSIVE_LEVEL only",
               body, internal::CurrentIrql());
    }
    SendFileIrp(file, record->device, IRP_MJ_CLOSE);
    std::lock_guard<std::mutex> guard(Lock());
    record->device->ReferenceCount--;
    ReleaseDeviceIfUnused(record->device);
  }
}

}  // namespace

namespace {
POBJECT_TYPE fileType = CreateObjectType("File", DeleteFileObject);
struct PublishFileType {
  PublishFileType() { IoFileObjectType = &fileType; }
} publishFileType;
}  // namespace

POBJECT_TYPE FileObjectType() {
  return fileType;
}

bool HostFileShareConflict(const std::string& hostPath, ACCESS_MASK access, ULONG shareAccess) {
  const ACCESS_MASK kRead = FILE_READ_DATA;
  const ACCESS_MASK kWrite = FILE_WRITE_DATA | FILE_APPEND_DATA;
  // As IoCheckShareAccess: only reading, writing and deleting take part in
  // sharing; an open for the attributes alone is never refused, and does
  // not count against later ones.
  const ACCESS_MASK kShared = kRead | kWrite | DELETE;
  if (!(access & kShared))
    return false;
  for (const auto& item : Files()) {
    const FileRecord& open = *item.second;
    if (!open.hostFile || open.hostPath != hostPath || !(open.access & kShared))
      continue;
    if ((access & kRead) && !(open.shareAccess & FILE_SHARE_READ))
      return true;
    if ((access & kWrite) && !(open.shareAccess & FILE_SHARE_WRITE))
      return true;
    if ((access & DELETE) && !(open.shareAccess & FILE_SHARE_DELETE))
      return true;
    if ((open.access & kRead) && !(shareAccess & FILE_SHARE_READ))
      return true;
    if ((open.access & kWrite) && !(shareAccess & FILE_SHARE_WRITE))
      return true;
    if ((open.access & DELETE) && !(shareAccess & FILE_SHARE_DELETE))
      return true;
  }
  return false;
}

bool HostFileIsOpen(const std::string& hostPath) {
  for (const auto& item : Files())
    if (item.second->hostFile && item.second->hostPath == hostPath)
      return true;
  return false;
}

FileRecord* FindFileRecord(PFILE_OBJECT file) {
  auto it = Files().find(file);
  return it == Files().end() ? nullptr : it->second.get();
}

namespace {

PFILE_OBJECT NewFileObject(std::unique_ptr<FileRecord> record) {
  auto* file = static_cast<PFILE_OBJECT>(CreateObject(FileObjectType(), sizeof(FILE_OBJECT)));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = record->device;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  record->object = file;
  std::lock_guard<std::mutex> guard(Lock());
  FileRecord* stored = record.get();
  Files()[file] = std::move(record);
  if (!stored->fileName.empty()) {
    file->FileName.Buffer =
        reinterpret_cast<PWSTR>(const_cast<char16_t*>(stored->fileName.c_str()));
    file->FileName.Length = static_cast<USHORT>(stored->fileName.size() * 2);
    file->FileName.MaximumLength = static_cast<USHORT>(stored->fileName.size() * 2 + 2);
  }
  return file;
}

}  // namespace

PFILE_OBJECT CreateHostFileObject(std::unique_ptr<FileRecord> record) {
  record->hostFile = true;
  record->handles = 1;
  PFILE_OBJECT file = NewFileObject(std::move(record));
  file->Flags |= FO_SYNCHRONOUS_IO | FO_HANDLE_CREATED;
  return file;
}

NTSTATUS OpenDeviceFile(const std::u16string& path, KPROCESSOR_MODE mode, ACCESS_MASK desiredAccess,
                        ULONG shareAccess, ULONG options, PFILE_OBJECT* file) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "open");
  *file = nullptr;
  PDEVICE_OBJECT device;
  PDEVICE_OBJECT top;
  Resolved resolved;
  {
    std::lock_guard<std::mutex> guard(Lock());
    NTSTATUS status = ObjectNamespace::Get().Resolve(path, &resolved);
    if (!NT_SUCCESS(status))
      return status;
    if (resolved.kind != Resolved::kDevice)
      return STATUS_OBJECT_TYPE_MISMATCH;
    device = resolved.device;
    DeviceRecord* record = FindDeviceRecord(device);
    if (record->deleted || record->driver->gone || (device->Flags & DO_DEVICE_INITIALIZING)) {
      return STATUS_NO_SUCH_DEVICE;
    }
    // Pointer references (ObReferenceObject) count in ReferenceCount too,
    // but an exclusive device refuses a second open, not a reference.
    if ((device->Flags & DO_EXCLUSIVE) &&
        device->ReferenceCount - internal::DeviceObjectReferences(device) != 0) {
      return STATUS_ACCESS_DENIED;
    }
    // A user-mode open is checked against the device's security with the
    // requester's identity (a kernel-mode one, as ZwCreateFile's, is not).
    if (mode == UserMode && device->SecurityDescriptor != nullptr &&
        !internal::OpenAllowed(device->SecurityDescriptor, desiredAccess)) {
      return STATUS_ACCESS_DENIED;
    }
    device->ReferenceCount++;
    top = TopOfStack(device);
  }

  auto record = std::make_unique<FileRecord>();
  record->device = device;
  record->mode = mode;
  record->handles = 1;
  record->access = desiredAccess;
  record->shareAccess = shareAccess;
  record->fileName = resolved.remainder;
  FileRecord* stored = record.get();
  PFILE_OBJECT created = NewFileObject(std::move(record));
  if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) {
    created->Flags |= FO_SYNCHRONOUS_IO;
  }
  created->ReadAccess = (desiredAccess & (FILE_READ_DATA | GENERIC_READ)) != 0;
  created->WriteAccess =
      (desiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE)) != 0;

  IO_SECURITY_CONTEXT security;
  memset(&security, 0, sizeof security);
  security.DesiredAccess = desiredAccess;
  security.FullCreateOptions = options;
  PIRP irp = AllocateIrp(top->StackSize, true, true);
  irp->RequestorMode = mode;
  irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.OriginalFileObject = created;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_CREATE;
  sp->Parameters.Create.SecurityContext = &security;
  sp->Parameters.Create.Options = (FILE_OPEN << 24) | (options & 0x00FFFFFF);
  sp->Parameters.Create.FileAttributes = 0;
  sp->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
  sp->FileObject = created;
  NTSTATUS status = SendAndWait(top, irp).status;

  if (!NT_SUCCESS(status)) {
    // The driver never saw this file as open: no cleanup, no close.
    {
      std::lock_guard<std::mutex> guard(Lock());
      stored->device = nullptr;
      stored->handles = 0;
      device->ReferenceCount--;
      ReleaseDeviceIfUnused(device);
    }
    ObfDereferenceObject(created);
    return status;
  }
  created->Flags |= FO_HANDLE_CREATED;
  *file = created;
  return status;
}

void ReferenceFile(PFILE_OBJECT file) {
  ObfReferenceObject(file);
}

void DereferenceFile(PFILE_OBJECT file) {
  ObfDereferenceObject(file);
}

void CloseFileHandle(PFILE_OBJECT file) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "closing a handle");
  PDEVICE_OBJECT device = nullptr;
  {
    std::lock_guard<std::mutex> guard(Lock());
    FileRecord* record = FindFileRecord(file);
    if (record == nullptr || record->handles <= 0) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "closing a handle of %p, which has none",
               static_cast<void*>(file));
    }
    if (--record->handles == 0 && !record->hostFile)
      device = record->device;
  }
  if (device != nullptr) {
    SendFileIrp(file, device, IRP_MJ_CLEANUP);
    file->Flags |= FO_CLEANUP_COMPLETE;
  }
  ObfDereferenceObject(file);
}

}  // namespace io
}  // namespace emu

using namespace emu;
using namespace emu::io;

extern "C" PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  std::lock_guard<std::mutex> guard(Lock());
  FileRecord* record = FindFileRecord(FileObject);
  if (record == nullptr) {
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoGetRelatedDeviceObject: %p is not a file object", static_cast<void*>(FileObject));
  }
  return record->device == nullptr ? nullptr : TopOfStack(record->device);
}

// Opens the device from kernel mode (the create goes down its whole stack),
// takes a reference to the file object and closes the handle, which sends
// the cleanup at once; the caller's ObDereferenceObject later sends the
// close.
extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName,
                                                   ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT* FileObject,
                                                   PDEVICE_OBJECT* DeviceObject) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
  if (ObjectName == nullptr || ObjectName->Buffer == nullptr || ObjectName->Length == 0 ||
      (ObjectName->Length & 1)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  PFILE_OBJECT file;
  NTSTATUS status = OpenDeviceFile(FromUnicodeString(ObjectName), KernelMode, DesiredAccess, 0,
                                   FILE_NON_DIRECTORY_FILE, &file);
  if (!NT_SUCCESS(status))
    return status;
  ReferenceFile(file);
  CloseFileHandle(file);
  *FileObject = file;
  *DeviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}

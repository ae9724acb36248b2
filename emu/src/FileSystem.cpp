// The file services of the emulated machine over the host folder of drive C.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "emu/Files.h"
#include "emu/Object.h"

namespace emu {
namespace {

using namespace io;

struct Fault {
  int nth = 0;  // calls left until the failing one; 0 disarmed
  NTSTATUS status = STATUS_SUCCESS;
  bool repeat = false;
};

struct State {
  std::mutex lock;
  std::string driveC = "./drive_c";
  Fault createFault;
  Fault writeFault;
  // Every ZwCreateFile and ZwWriteFile counted by Injected, failed or not.
  unsigned createCalls = 0;
  unsigned writeCalls = 0;
};

State& S() {
  static auto* state = new State;
  return *state;
}

// Counts a call against a fault; the status to fail with, or success.
NTSTATUS Injected(Fault& fault) {
  std::lock_guard<std::mutex> guard(S().lock);
  ++(&fault == &S().createFault ? S().createCalls : S().writeCalls);
  if (fault.nth == 0)
    return STATUS_SUCCESS;
  if (fault.nth > 1) {
    fault.nth--;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = fault.status;
  if (!fault.repeat)
    fault.nth = 0;
  return status;
}

// The generic rights as a file sees them.
ACCESS_MASK MapAccess(ACCESS_MASK access) {
  if (access & GENERIC_READ)
    access |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE)
    access |= FILE_GENERIC_WRITE;
  if (access & GENERIC_ALL)
    access |= FILE_ALL_ACCESS;
  return access;
}

bool ReadsData(ACCESS_MASK access) {
  return (access & FILE_READ_DATA) != 0;
}
bool WritesData(ACCESS_MASK access) {
  return (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

constexpr size_t kMaxFileNameChars = 255;

// The host file of an object path on drive C: "" when the path is not on
// the drive; STATUS_OBJECT_NAME_INVALID when it leaves the folder.
NTSTATUS HostPath(const std::u16string& objectPath, std::string* hostPath) {
  hostPath->clear();
  Resolved resolved;
  {
    std::lock_guard<std::mutex> guard(Lock());
    NTSTATUS status = ObjectNamespace::Get().Resolve(objectPath, &resolved);
    if (!NT_SUCCESS(status))
      return status;
  }
  if (resolved.kind != Resolved::kVolume)
    return STATUS_OBJECT_TYPE_MISMATCH;
  if (resolved.remainder.empty())
    return STATUS_FILE_IS_A_DIRECTORY;
  std::string relative;
  size_t start = 1;
  while (start <= resolved.remainder.size()) {
    size_t end = resolved.remainder.find(u'\\', start);
    if (end == std::u16string::npos)
      end = resolved.remainder.size();
    std::u16string component = resolved.remainder.substr(start, end - start);
    if (component == u"." || component == u"..")
      return STATUS_OBJECT_NAME_INVALID;
    // FAT, NTFS and exFAT take names of at most 255 characters, and refuse
    // a longer one as invalid (the host would fail it as too long).
    if (component.size() > kMaxFileNameChars)
      return STATUS_OBJECT_NAME_INVALID;
    for (char16_t c : component) {
      if (c == u'/' || c < 0x20 || c >= 0x80)
        return STATUS_OBJECT_NAME_INVALID;
    }
    relative += '/' + Narrow(component);
    start = end + 1;
  }
  *hostPath = DriveC() + relative;
  return STATUS_SUCCESS;
}

// A host file behind a kernel handle, referenced; null with the status set
// otherwise.
PFILE_OBJECT ReferenceHostFile(HANDLE handle, NTSTATUS* status, FileRecord** record) {
  PVOID object = nullptr;
  *status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(*status))
    return nullptr;
  auto* file = static_cast<PFILE_OBJECT>(object);
  std::lock_guard<std::mutex> guard(Lock());
  *record = FindFileRecord(file);
  if (*record == nullptr || !(*record)->hostFile) {
    *status = STATUS_INVALID_DEVICE_REQUEST;
  }
  return file;
}

void SetIosb(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information) {
  iosb->Status = status;
  iosb->Information = information;
}

}  // namespace

void SetDriveC(const std::string& hostFolder) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().driveC = hostFolder;
}

std::string DriveC() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().driveC;
}

std::string HostPathOf(const std::u16string& objectPath) {
  std::string path;
  return NT_SUCCESS(HostPath(objectPath, &path)) ? path : std::string();
}

void FailFileCreate(int nth, NTSTATUS status, bool repeat) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().createFault = Fault{nth, status, repeat};
}

void FailFileWrite(int nth, NTSTATUS status, bool repeat) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().writeFault = Fault{nth, status, repeat};
}

unsigned FileCreateCalls() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().createCalls;
}

unsigned FileWriteCalls() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().writeCalls;
}

namespace io {

void CloseHostFile(FileRecord* record) {
  if (record->fd >= 0)
    close(record->fd);
  record->fd = -1;
}

}  // namespace io
}  // namespace emu

using namespace emu;
using namespace emu::io;

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                       ULONG ShareAccess, ULONG CreateDisposition,
                                       ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  (void)AllocationSize;
  (void)FileAttributes;
  (void)EaBuffer;
  (void)EaLength;
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
  *FileHandle = nullptr;
  if (ObjectAttributes == nullptr || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
      ObjectAttributes->ObjectName == nullptr || ObjectAttributes->RootDirectory != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (CreateDisposition > FILE_OVERWRITE_IF)
    return STATUS_INVALID_PARAMETER;
  if (CreateOptions & FILE_DIRECTORY_FILE)
    return STATUS_NOT_SUPPORTED;
  std::string hostPath;
  NTSTATUS status = HostPath(FromUnicodeString(ObjectAttributes->ObjectName), &hostPath);
  if (status == STATUS_OBJECT_TYPE_MISMATCH)
    return STATUS_NOT_SUPPORTED;  // devices: not here
  if (!NT_SUCCESS(status))
    return status;
  status = Injected(S().createFault);
  if (!NT_SUCCESS(status)) {
    SetIosb(IoStatusBlock, status, 0);
    return status;
  }

  ACCESS_MASK access = MapAccess(DesiredAccess);
  {
    // Share access between the opens of one file, as the file systems
    // enforce it.
    std::lock_guard<std::mutex> guard(Lock());
    if (HostFileShareConflict(hostPath, access, ShareAccess)) {
      SetIosb(IoStatusBlock, STATUS_SHARING_VIOLATION, 0);
      return STATUS_SHARING_VIOLATION;
    }
  }

  struct stat info;
  bool exists = stat(hostPath.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode))
    return STATUS_FILE_IS_A_DIRECTORY;
  int flags = WritesData(access) ? (ReadsData(access) ? O_RDWR : O_WRONLY) : O_RDONLY;
  ULONG_PTR information;
  switch (CreateDisposition) {
    case FILE_OPEN:
      if (!exists)
        return STATUS_OBJECT_NAME_NOT_FOUND;
      information = FILE_OPENED;
      break;
    case FILE_CREATE:
      if (exists)
        return STATUS_OBJECT_NAME_COLLISION;
      flags |= O_CREAT | O_EXCL;
      information = FILE_CREATED;
      break;
    case FILE_OPEN_IF:
      flags |= O_CREAT;
      information = exists ? FILE_OPENED : FILE_CREATED;
      break;
    case FILE_OVERWRITE:
      if (!exists)
        return STATUS_OBJECT_NAME_NOT_FOUND;
      flags |= O_TRUNC;
      information = FILE_OVERWRITTEN;
      break;
    default:  // FILE_SUPERSEDE, FILE_OVERWRITE_IF
      flags |= O_CREAT | O_TRUNC;
      information = !exists                               ? FILE_CREATED
                    : CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                                                          : FILE_OVERWRITTEN;
      break;
  }
  // Creating or truncating needs the right to write, and a read-only open
  // of the host file would refuse the truncation anyway.
  if ((flags & (O_CREAT | O_TRUNC)) && !WritesData(access))
    flags = (flags & ~O_ACCMODE) | O_RDWR;
  int fd = open(hostPath.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    status =
        errno == ENOENT || errno == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_ACCESS_DENIED;
    SetIosb(IoStatusBlock, status, 0);
    return status;
  }

  auto record = std::make_unique<FileRecord>();
  record->mode = KernelMode;
  record->fd = fd;
  record->hostPath = hostPath;
  record->access = access;
  record->shareAccess = ShareAccess;
  record->fileName = FromUnicodeString(ObjectAttributes->ObjectName);
  PFILE_OBJECT file = CreateHostFileObject(std::move(record));
  file->ReadAccess = ReadsData(access);
  file->WriteAccess = WritesData(access);
  file->SharedRead = (ShareAccess & FILE_SHARE_READ) != 0;
  file->SharedWrite = (ShareAccess & FILE_SHARE_WRITE) != 0;
  file->SharedDelete = (ShareAccess & FILE_SHARE_DELETE) != 0;
  if (!(CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))) {
    file->Flags &= ~FO_SYNCHRONOUS_IO;
  }
  // The handle holds the file's one reference.
  *FileHandle = internal::CreateHandleInContext(file, ObjectAttributes->Attributes);
  ObfDereferenceObject(file);
  SetIosb(IoStatusBlock, STATUS_SUCCESS, information);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile");
  NTSTATUS status;
  FileRecord* record = nullptr;
  PFILE_OBJECT file = ReferenceHostFile(FileHandle, &status, &record);
  if (file == nullptr)
    return status;
  if (NT_SUCCESS(status)) {
    if (FileInformationClass != FileStandardInformation) {
      status = STATUS_INVALID_INFO_CLASS;
    } else if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
      status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
      struct stat info;
      if (fstat(record->fd, &info) != 0) {
        status = STATUS_UNSUCCESSFUL;
      } else {
        auto* standard = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
        memset(standard, 0, sizeof *standard);
        standard->EndOfFile.QuadPart = info.st_size;
        standard->AllocationSize.QuadPart = (info.st_size + 4095) / 4096 * 4096;
        standard->NumberOfLinks = 1;
        SetIosb(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
      }
    }
  }
  ObfDereferenceObject(file);
  return status;
}

namespace {

// The offset a transfer starts at: the given one, the end of the file, or
// the file's current position.
LONGLONG StartOffset(PFILE_OBJECT file, int fd, PLARGE_INTEGER byteOffset) {
  if (byteOffset == nullptr ||
      (byteOffset->u.HighPart == -1 && byteOffset->u.LowPart == FILE_USE_FILE_POINTER_POSITION)) {
    return file->CurrentByteOffset.QuadPart;
  }
  if (byteOffset->u.HighPart == -1 && byteOffset->u.LowPart == FILE_WRITE_TO_END_OF_FILE) {
    struct stat info;
    return fstat(fd, &info) == 0 ? info.st_size : 0;
  }
  return byteOffset->QuadPart;
}

// The common start of a read or a write: PASSIVE_LEVEL, no APC completion,
// and the host file behind the handle, referenced (the caller dereferences
// it), with *status STATUS_ACCESS_DENIED unless it was opened for the
// transfer. Null, with *status the reason, when there is no such file.
PFILE_OBJECT BeginTransfer(HANDLE handle, PIO_APC_ROUTINE apcRoutine, bool write,
                           const char* service, NTSTATUS* status, FileRecord** record) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, service);
  if (apcRoutine != nullptr) {
    *status = STATUS_NOT_SUPPORTED;
    return nullptr;
  }
  PFILE_OBJECT file = ReferenceHostFile(handle, status, record);
  if (file == nullptr)
    return nullptr;
  bool allowed = write ? WritesData((*record)->access) : ReadsData((*record)->access);
  if (NT_SUCCESS(*status) && !allowed)
    *status = STATUS_ACCESS_DENIED;
  return file;
}

// The common end of a read or a write that BeginTransfer started: on
// success the file position moves to `end`, the status block reports
// `count` bytes and the event is set; on failure the status block reports
// the failure. Drops the file's reference and returns the status.
NTSTATUS EndTransfer(PFILE_OBJECT file, NTSTATUS status, LONGLONG end, ULONG_PTR count,
                     PIO_STATUS_BLOCK ioStatusBlock, PKEVENT event) {
  if (NT_SUCCESS(status)) {
    file->CurrentByteOffset.QuadPart = end;
    SetIosb(ioStatusBlock, STATUS_SUCCESS, count);
    if (event != nullptr)
      KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  } else {
    SetIosb(ioStatusBlock, status, 0);
  }
  ObfDereferenceObject(file);
  return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, PKEVENT Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                      PULONG Key) {
  (void)ApcContext;
  (void)Key;
  NTSTATUS status;
  FileRecord* record = nullptr;
  PFILE_OBJECT file = BeginTransfer(FileHandle, ApcRoutine, true, "ZwWriteFile", &status, &record);
  if (file == nullptr)
    return status;
  // A volume whose file system was shut down refuses every write (the
  // status NTFS gives); what a driver writes after shutdown is lost.
  if (NT_SUCCESS(status) && io::SystemIsShutDown())
    status = STATUS_TOO_LATE;
  if (NT_SUCCESS(status))
    status = Injected(S().writeFault);
  LONGLONG offset = 0;
  ULONG written = 0;
  if (NT_SUCCESS(status)) {
    offset = StartOffset(file, record->fd, ByteOffset);
    if (offset < 0) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      const char* data = static_cast<const char*>(Buffer);
      while (written < Length) {
        ssize_t n = pwrite(record->fd, data + written, Length - written, offset + written);
        if (n <= 0)
          break;
        written += static_cast<ULONG>(n);
      }
      if (written < Length)
        status = STATUS_DISK_FULL;
    }
  }
  return EndTransfer(file, status, offset + written, written, IoStatusBlock, Event);
}

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, PKEVENT Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                     ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
  (void)ApcContext;
  (void)Key;
  NTSTATUS status;
  FileRecord* record = nullptr;
  PFILE_OBJECT file = BeginTransfer(FileHandle, ApcRoutine, false, "ZwReadFile", &status, &record);
  if (file == nullptr)
    return status;
  LONGLONG offset = 0;
  ssize_t n = 0;
  if (NT_SUCCESS(status)) {
    offset = StartOffset(file, record->fd, ByteOffset);
    n = offset < 0 ? -1 : pread(record->fd, Buffer, Length, offset);
    if (n < 0)
      status = STATUS_INVALID_PARAMETER;
    else if (n == 0 && Length != 0)
      status = STATUS_END_OF_FILE;
  }
  return EndTransfer(file, status, offset + n, static_cast<ULONG_PTR>(n), IoStatusBlock, Event);
}

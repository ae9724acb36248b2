#include "log/LogFile.h"

#include <stddef.h>

#include <ntifs.h>

#include "framework/CountedString.h"
#include "framework/ExitTable.h"
#include "framework/Pool.h"
#include "framework/SystemRoutines.h"

namespace {

// Static storage for the instance: the driver has no C++ run-time to run
// global constructors, so StaticInit builds it in place.
alignas(LogFile) UCHAR instanceStorage[sizeof(LogFile)];
bool exitDone;

// The writer thread opens and renames the log in the system process, but
// the handle is kept across calls and closed at unload: a kernel handle (on
// NT; Windows 98/Me have none) stays valid whichever process a close or a
// later call runs in, and no user process can reach it.
ULONG HandleAttributes() {
  return OBJ_CASE_INSENSITIVE | (SystemRoutines::IsNt() ? OBJ_KERNEL_HANDLE : 0);
}

}  // namespace

LogFile& LogFile::Instance() {
  return *reinterpret_cast<LogFile*>(instanceStorage);
}

void LogFile::StaticInit() {
  new (static_cast<void*>(instanceStorage)) LogFile();
  exitDone = false;
  ExitTable::Register(&LogFile::ExitRoutine);
}

void LogFile::ExitRoutine() {
  if (exitDone) {
    return;
  }
  exitDone = true;
  // Destroying the object means closing its file; the object itself holds
  // nothing else and stays in its static storage, closed, until the next
  // load builds it again. (Ending its lifetime here would also let the
  // compiler drop the close's store of isOpen as dead.)
  Instance().CloseIfOpen();
}

NTSTATUS LogFile::Open(PCWSTR name, bool truncate) {
  // One handle: a second writer opening while the first still holds the
  // file would overwrite (and so leak) it, and both would write to one.
  if (isOpen) {
    return STATUS_SHARING_VIOLATION;
  }
  CountedString path(L"\\DosDevices\\");
  path.Append(name);
  if (!NT_SUCCESS(path.Status())) {
    return path.Status();
  }

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, path.Unicode(), HandleAttributes(), NULL, NULL);
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status =
      ZwCreateFile(&handle, FILE_GENERIC_WRITE, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                   FILE_SHARE_READ, truncate ? FILE_OVERWRITE_IF : FILE_OPEN_IF,
                   FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (!NT_SUCCESS(status)) {
    handle = NULL;
    return status;
  }
  // Appends go to the end measured here: without it a write could land on
  // what the file holds already, so a file that cannot be measured is not
  // kept open.
  FILE_STANDARD_INFORMATION info;
  status = ZwQueryInformationFile(handle, &ioStatus, &info, sizeof(info), FileStandardInformation);
  if (!NT_SUCCESS(status)) {
    ZwClose(handle);
    handle = NULL;
    return status;
  }
  isOpen = true;
  endOfFile = ULONGLONG(info.EndOfFile.QuadPart);
  return STATUS_SUCCESS;
}

NTSTATUS LogFile::Append(const void* data, ULONG length, ULONG* written) {
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  // The end is known without asking the file system: it was measured at
  // Open, and while the handle is open nobody else may write (the file is
  // shared for reading only), so only these writes move it. One call a
  // write, at an explicit offset, which every WDM platform honours (unlike
  // FILE_WRITE_TO_END_OF_FILE).
  LARGE_INTEGER offset;
  offset.QuadPart = LONGLONG(endOfFile);
  NTSTATUS status = ZwWriteFile(handle, NULL, NULL, NULL, &ioStatus, const_cast<PVOID>(data),
                                length, &offset, NULL);
  if (NT_SUCCESS(status)) {
    endOfFile += ioStatus.Information;
  }
  *written = ULONG(ioStatus.Information);
  return status;
}

NTSTATUS LogFile::Write(const void* data, ULONG length) {
  ULONG written = 0;
  NTSTATUS status = Append(data, length, &written);
  if (NT_SUCCESS(status) && written < length) {
    status = STATUS_DISK_FULL;
  }
  return status;
}

NTSTATUS LogFile::Rename(PCWSTR name, PCWSTR from, PCWSTR to) {
  CountedString path(L"\\DosDevices\\");
  path.Append(name);
  CountedString newPath(path.Text() != NULL ? path.Text() : L"");
  newPath.Append(to);
  if (from[0] != L'\0') {
    path.Append(from);
  }
  if (!NT_SUCCESS(path.Status())) {
    return path.Status();
  }
  if (!NT_SUCCESS(newPath.Status())) {
    return newPath.Status();
  }
  // The rename information: its fixed part and the new name behind it,
  // without a terminating zero.
  ULONG size = ULONG(offsetof(FILE_RENAME_INFORMATION, FileName)) + newPath.Length();
  PFILE_RENAME_INFORMATION rename =
      static_cast<PFILE_RENAME_INFORMATION>(PoolAlloc(size, PagedPool));
  if (rename == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = NULL;
  rename->FileNameLength = newPath.Length();
  RtlCopyMemory(rename->FileName, newPath.Text(), newPath.Length());

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, path.Unicode(), HandleAttributes(), NULL, NULL);
  IO_STATUS_BLOCK ioStatus;
  HANDLE file = NULL;
  // Renaming takes the right to delete; readers may keep the file open.
  NTSTATUS status = ZwCreateFile(&file, DELETE | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (NT_SUCCESS(status)) {
    status = ZwSetInformationFile(file, &ioStatus, rename, size, FileRenameInformation);
    ZwClose(file);
  }
  PoolFree(rename);
  return status;
}

NTSTATUS LogFile::Close() {
  NTSTATUS status = ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  isOpen = false;
  handle = NULL;
  return status;
}

void LogFile::CloseIfOpen() {
  if (isOpen) {
    Close();
  }
}

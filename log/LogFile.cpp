#include "log/LogFile.h"

#include "framework/CountedString.h"
#include "framework/ExitTable.h"

namespace {

// Static storage for the instance: the driver has no C++ run-time to run
// global constructors, so StaticInit builds it in place.
alignas(LogFile) UCHAR instanceStorage[sizeof(LogFile)];
bool exitDone;

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
  InitializeObjectAttributes(&attributes, path.Unicode(), OBJ_CASE_INSENSITIVE, NULL, NULL);
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status =
      ZwCreateFile(&handle, FILE_GENERIC_WRITE, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                   FILE_SHARE_READ, truncate ? FILE_OVERWRITE_IF : FILE_OPEN_IF,
                   FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (!NT_SUCCESS(status)) {
    handle = NULL;
    return status;
  }
  isOpen = true;
  return status;
}

NTSTATUS LogFile::Append(const void* data, ULONG length, ULONG* written) {
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  FILE_STANDARD_INFORMATION info;
  NTSTATUS status =
      ZwQueryInformationFile(handle, &ioStatus, &info, sizeof(info), FileStandardInformation);
  if (NT_SUCCESS(status)) {
    // Every write goes to the end the file has at this moment.
    LARGE_INTEGER offset = info.EndOfFile;
    status = ZwWriteFile(handle, NULL, NULL, NULL, &ioStatus, const_cast<PVOID>(data), length,
                         &offset, NULL);
  }
  *written = ULONG(ioStatus.Information);
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

void WriteLogLines(const char* text, uint32_t kind, const void* message) {
  UNREFERENCED_PARAMETER(kind);
  UNREFERENCED_PARAMETER(message);
  static const char kLineEnd[2] = {'\r', '\n'};
  LogFile& file = LogFile::Instance();
  const char* piece = text;
  for (;;) {
    const char* end = piece;
    while (*end != '\0' && *end != '\n') {
      ++end;
    }
    bool lineEnd = *end == '\n';
    ULONG written;
    if (end != piece) {
      file.Append(piece, ULONG(end - piece), &written);
    }
    if (!lineEnd) {
      return;
    }
    file.Append(kLineEnd, sizeof(kLineEnd), &written);
    piece = end + 1;
  }
}

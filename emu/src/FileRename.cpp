// ZwSetInformationFile for the host files of drive C: renaming (the log
// file's rotation to NAME.old uses it).
#include <sys/stat.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "IoInternal.h"
#include "KernelInternal.h"
#include "emu/FileRename.h"
#include "emu/Files.h"

#include <ntifs.h>

namespace emu {
namespace {

struct RenameState {
  std::mutex lock;
  int nth = 0;
  NTSTATUS status = STATUS_SUCCESS;
  bool repeat = false;
  int count = 0;
};

RenameState& R() {
  static auto* state = new RenameState;
  return *state;
}

// Counts a rename against the fault; the status to fail with, or success.
NTSTATUS InjectedRenameFault() {
  std::lock_guard<std::mutex> guard(R().lock);
  ++R().count;
  if (R().nth == 0)
    return STATUS_SUCCESS;
  if (R().nth > 1) {
    R().nth--;
    return STATUS_SUCCESS;
  }
  if (!R().repeat)
    R().nth = 0;
  return R().status;
}

}  // namespace

void FailFileRename(int nth, NTSTATUS status, bool repeat) {
  std::lock_guard<std::mutex> guard(R().lock);
  R().nth = nth;
  R().status = status;
  R().repeat = repeat;
}

int FileRenameCount() {
  std::lock_guard<std::mutex> guard(R().lock);
  return R().count;
}

void ResetFileRenameCount() {
  std::lock_guard<std::mutex> guard(R().lock);
  R().count = 0;
}

}  // namespace emu

using namespace emu;
using namespace emu::io;

namespace {

NTSTATUS Rename(PFILE_OBJECT file, const FILE_RENAME_INFORMATION& info) {
  std::u16string target(reinterpret_cast<const char16_t*>(info.FileName),
                        info.FileNameLength / sizeof(WCHAR));
  // Another volume would be STATUS_NOT_SAME_DEVICE; only drive C exists.
  std::string targetHost = HostPathOf(target);
  if (targetHost.empty())
    return STATUS_OBJECT_NAME_INVALID;

  std::lock_guard<std::mutex> guard(Lock());
  FileRecord* record = FindFileRecord(file);
  if (record == nullptr || !record->hostFile)
    return STATUS_INVALID_DEVICE_REQUEST;
  if (!(record->access & DELETE))
    return STATUS_ACCESS_DENIED;
  NTSTATUS status = InjectedRenameFault();
  if (!NT_SUCCESS(status))
    return status;
  if (targetHost == record->hostPath)
    return STATUS_SUCCESS;
  struct stat existing;
  if (stat(targetHost.c_str(), &existing) == 0) {
    if (!info.ReplaceIfExists)
      return STATUS_OBJECT_NAME_COLLISION;
    if (S_ISDIR(existing.st_mode))
      return STATUS_ACCESS_DENIED;
    // A file that is open cannot be replaced, whoever holds it and however
    // it is shared.
    if (HostFileIsOpen(targetHost))
      return STATUS_ACCESS_DENIED;
  }
  if (std::rename(record->hostPath.c_str(), targetHost.c_str()) != 0)
    return STATUS_ACCESS_DENIED;
  record->hostPath = targetHost;
  record->fileName = target;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetInformationFile");
  if (FileInformationClass != FileRenameInformation)
    return STATUS_INVALID_INFO_CLASS;
  constexpr ULONG kFixed = offsetof(FILE_RENAME_INFORMATION, FileName);
  if (FileInformation == nullptr || Length < kFixed)
    return STATUS_INFO_LENGTH_MISMATCH;
  const auto& info = *static_cast<const FILE_RENAME_INFORMATION*>(FileInformation);
  if (info.FileNameLength > Length - kFixed || info.FileNameLength % sizeof(WCHAR) != 0 ||
      info.FileNameLength == 0)
    return STATUS_INFO_LENGTH_MISMATCH;
  // Names relative to a directory handle are not emulated.
  if (info.RootDirectory != nullptr)
    return STATUS_INVALID_PARAMETER;

  PVOID object = nullptr;
  NTSTATUS status =
      ObReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status))
    return status;
  status = Rename(static_cast<PFILE_OBJECT>(object), info);
  ObfDereferenceObject(object);
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = 0;
  return status;
}

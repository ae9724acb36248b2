// <ntifs.h> of the emulated NT kernel: the file-system declarations beyond
// <ntddk.h> that the driver uses, as the DDK's ntifs.h has them. A driver
// includes it after <ntddk.h>, in both builds.
#pragma once

#include <stddef.h>

#include <ntddk.h>

// The information of ZwSetInformationFile's FileRenameInformation class: the
// new name (a full object path when RootDirectory is null), FileNameLength
// bytes of UTF-16 without a terminating zero, behind the fixed part.
typedef struct _FILE_RENAME_INFORMATION {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_RENAME_INFORMATION, *PFILE_RENAME_INFORMATION;

static_assert(offsetof(FILE_RENAME_INFORMATION, ReplaceIfExists) == 0, "i386 layout");
static_assert(offsetof(FILE_RENAME_INFORMATION, RootDirectory) == 4, "i386 layout");
static_assert(offsetof(FILE_RENAME_INFORMATION, FileNameLength) == 8, "i386 layout");
static_assert(offsetof(FILE_RENAME_INFORMATION, FileName) == 12, "i386 layout");
static_assert(sizeof(FILE_RENAME_INFORMATION) == 16, "i386 layout");

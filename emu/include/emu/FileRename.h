// Renaming files of drive C: ZwSetInformationFile with FileRenameInformation
// (declared by <ntifs.h>), the one information class the emulated file
// system sets. The handle must have been opened with DELETE access; the new
// name is a full object path on drive C (RootDirectory null); an existing
// file of that name is replaced only with ReplaceIfExists, and not while it
// is open. Other classes answer STATUS_INVALID_INFO_CLASS.
#pragma once

#include <ntddk.h>

namespace emu {

// Fault injection: the `nth` rename from now (1 = the next one) fails with
// `status` and renames nothing; with `repeat`, every rename from the nth on
// fails. 0 disarms. Counts only calls that would otherwise be tried.
void FailFileRename(int nth, NTSTATUS status = STATUS_ACCESS_DENIED, bool repeat = false);

// How many renames were tried (failed ones included) since the last reset.
int FileRenameCount();
void ResetFileRenameCount();

}  // namespace emu

// The files of the emulated machine: \DosDevices\C:\... (\??\C:\...) lies in
// a host folder chosen by the embedder, ./drive_c by default, and the file
// services (ZwCreateFile, ZwQueryInformationFile, ZwWriteFile, ZwReadFile,
// ZwClose) work on the host files in it. Only drive C exists; a path that
// leaves the folder ("..") is refused as an invalid name.
#pragma once

#include <string>

#include <ntddk.h>

namespace emu {

// The host folder of drive C. It must exist when a file is opened.
void SetDriveC(const std::string& hostFolder);
std::string DriveC();

// The host path of a path on drive C ("\DosDevices\C:\Pellinor.log" ->
// "<folder>/Pellinor.log"), or "" if the path is not on drive C.
std::string HostPathOf(const std::u16string& objectPath);

// Fault injection: the `nth` ZwCreateFile (or ZwWriteFile) from now (1 = the
// next one) fails with `status` and does nothing else; with `repeat`, every
// call from the nth on fails. 0 disarms.
void FailFileCreate(int nth, NTSTATUS status = STATUS_ACCESS_DENIED, bool repeat = false);
void FailFileWrite(int nth, NTSTATUS status = STATUS_DISK_FULL, bool repeat = false);

// The ZwCreateFile and ZwWriteFile calls of the process so far, failed ones
// included: a fault sweep counts a clean run's calls to know how many runs
// it takes for each call to fail once.
unsigned FileCreateCalls();
unsigned FileWriteCalls();

}  // namespace emu

// The log file: 8-bit text appended at its end, never truncated. There is
// exactly one, a static object of the driver; only the log writer's thread
// uses its handle while a log writer runs.
#pragma once

#include <stdint.h>

#include <ntddk.h>

#include "framework/PoolObject.h"

class LogFile : public PoolObject {
 public:
  LogFile() : isOpen(false), handle(NULL), endOfFile(0) {}
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // The driver's one log file (constructed by StaticInit).
  static LogFile& Instance();

  // Entry of the driver's static-init table: constructs the instance closed
  // and registers ExitRoutine in the driver's exit table.
  static void StaticInit();

  // Opens or creates "\DosDevices\" + name for synchronous writing; others
  // may read it meanwhile. With truncate the file is emptied; the driver
  // never asks for that. The file's size is read at once (writes go there);
  // a file whose size cannot be read is closed again with that status.
  // While the file is open, refuses with STATUS_SHARING_VIOLATION and
  // leaves it as it is. PASSIVE_LEVEL.
  NTSTATUS Open(PCWSTR name, bool truncate);

  // Writes `length` bytes at the end of the file: its size at Open plus
  // what this handle wrote since. *written gets the byte count of the I/O
  // status block. PASSIVE_LEVEL.
  NTSTATUS Append(const void* data, ULONG length, ULONG* written);
  // Append that counts a short write as failed (STATUS_DISK_FULL).
  NTSTATUS Write(const void* data, ULONG length);

  // The file's size: measured at Open, moved by each Append.
  ULONGLONG EndOfFile() const { return endOfFile; }

  // Renames the closed file "\DosDevices\" + name + `from` to name + `to`
  // (suffixes; `from` may be empty), replacing a file of that name.
  // PASSIVE_LEVEL.
  static NTSTATUS Rename(PCWSTR name, PCWSTR from, PCWSTR to);

  // Closes the handle; a failed close leaves the file open, so that
  // CloseIfOpen at unload tries again.
  NTSTATUS Close();
  void CloseIfOpen();

  bool IsOpen() const { return isOpen; }

 private:
  // Runs at unload, at most once.
  static void ExitRoutine();

  bool isOpen;
  HANDLE handle;
  ULONGLONG endOfFile;
};

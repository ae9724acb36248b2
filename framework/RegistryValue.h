// One value under the driver's service key: read into an owned copy, or
// written. PASSIVE_LEVEL only.
//
// The service key is the registry path the driver is given at load. The
// driver object keeps that path and hands it here with SetServiceKeyPath
// (at load, and null at unload); SetKey copies it. Without a path, Query and
// the writes fail with STATUS_OBJECT_PATH_NOT_FOUND.
//
// A value that exists but holds nothing (REG_NONE, or length 0) is reported
// by Query as missing (STATUS_OBJECT_NAME_NOT_FOUND), so every reader takes
// its default. A copied value is followed by at least one zero character and
// is never shorter than 4 bytes: a number shorter than 4 bytes reads as its
// bytes followed by zeros, and a string without a terminating zero ends
// where the value ends.
#pragma once

#include <ntddk.h>

#include "framework/CountedString.h"

void SetServiceKeyPath(PCUNICODE_STRING path);
PCUNICODE_STRING ServiceKeyPath();

class RegistryValue {
 public:
  RegistryValue() : valueType(REG_NONE), valueLength(0), data(NULL) {}
  ~RegistryValue() { FreeValue(); }
  RegistryValue(const RegistryValue&) = delete;
  RegistryValue& operator=(const RegistryValue&) = delete;

  // The key: the service key, followed by "\" and `subkey` if one is given.
  void SetKey(PCWSTR subkey);
  NTSTATUS Query(PCWSTR name);
  // Query for a setting that has a default: success when the value was read
  // (`*present` true) or is missing (false); any other failure (no memory
  // for the copy, a registry that cannot be read) is returned, so that a
  // reader never takes the default for a value it could not read.
  NTSTATUS QuerySetting(PCWSTR name, bool* present);
  // QuerySetting for a string setting: `*text` is the value read, or
  // `fallback` when it is missing; valid while this object holds the value.
  NTSTATUS QueryStringSetting(PCWSTR name, PCWSTR fallback, PCWSTR* text);
  // The first 32 bits of the value; 0 when none was read.
  ULONG DwordValue() const;
  // The value as a NUL-terminated wide string; "" when none was read.
  PCWSTR StringValue() const;
  ULONG ValueType() const { return valueType; }
  ULONG ValueLength() const { return valueLength; }
  PCWSTR KeyPath() const { return keyPath.Text(); }

  NTSTATUS WriteDword(PCWSTR name, ULONG value);
  // REG_SZ, the terminating NUL included.
  NTSTATUS WriteString(PCWSTR name, PCWSTR text);
  void FreeValue();

 private:
  NTSTATUS WriteValue(PCWSTR name, ULONG type, PVOID bytes, ULONG length);
  static NTSTATUS NTAPI CopyValue(PWSTR valueName, ULONG type, PVOID bytes, ULONG length,
                                  PVOID context, PVOID entryContext);

  CountedString keyPath;
  ULONG valueType;
  ULONG valueLength;
  PVOID data;
};

#include "framework/RegistryValue.h"

#include "framework/Pool.h"

namespace {
PCUNICODE_STRING serviceKeyPath = NULL;
const WCHAR kEmptyText[1] = {0};
}  // namespace

void SetServiceKeyPath(PCUNICODE_STRING path) {
  serviceKeyPath = path;
}

PCUNICODE_STRING ServiceKeyPath() {
  return serviceKeyPath;
}

void RegistryValue::SetKey(PCWSTR subkey) {
  FreeValue();
  keyPath.Clear();
  if (serviceKeyPath == NULL)
    return;
  keyPath.Assign(serviceKeyPath);
  if (subkey != NULL) {
    keyPath.Append(L"\\");
    keyPath.Append(subkey);
  }
}

NTSTATUS RegistryValue::Query(PCWSTR name) {
  FreeValue();
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof table);
  table[0].QueryRoutine = CopyValue;
  table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
  table[0].Name = name;
  table[0].DefaultType = REG_NONE;
  if (!NT_SUCCESS(keyPath.Status()))
    return keyPath.Status();
  if (keyPath.Text() == NULL)
    return STATUS_OBJECT_PATH_NOT_FOUND;
  NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, keyPath.Text(), table, this, NULL);
  if (!NT_SUCCESS(status))
    return status;
  // An empty value is as good as a missing one to every reader.
  if (data == NULL)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  return status;
}

NTSTATUS RegistryValue::QuerySetting(PCWSTR name, bool* present) {
  NTSTATUS status = Query(name);
  *present = NT_SUCCESS(status);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND)
    return STATUS_SUCCESS;
  return status;
}

NTSTATUS RegistryValue::QueryStringSetting(PCWSTR name, PCWSTR fallback, PCWSTR* text) {
  bool present = false;
  NTSTATUS status = QuerySetting(name, &present);
  *text = present ? StringValue() : fallback;
  return status;
}

NTSTATUS NTAPI RegistryValue::CopyValue(PWSTR valueName, ULONG type, PVOID bytes, ULONG length,
                                        PVOID context, PVOID entryContext) {
  UNREFERENCED_PARAMETER(valueName);
  UNREFERENCED_PARAMETER(entryContext);
  RegistryValue* self = static_cast<RegistryValue*>(context);
  if (type == REG_NONE || length == 0)
    return STATUS_SUCCESS;
  // Room for the value, rounded up to whole characters, and a zero character
  // after it; PoolAlloc zero-fills and gives at least 4 bytes.
  PVOID copy = PoolAlloc(((length + 1) & ~1UL) + sizeof(WCHAR), NonPagedPool);
  if (copy == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, bytes, length);
  PoolFree(self->data);
  self->data = copy;
  self->valueType = type;
  self->valueLength = length;
  return STATUS_SUCCESS;
}

ULONG RegistryValue::DwordValue() const {
  if (data == NULL)
    return 0;
  return *static_cast<const ULONG*>(data);
}

PCWSTR RegistryValue::StringValue() const {
  if (data == NULL)
    return kEmptyText;
  return static_cast<PCWSTR>(data);
}

NTSTATUS RegistryValue::WriteDword(PCWSTR name, ULONG value) {
  return WriteValue(name, REG_DWORD, &value, sizeof value);
}

NTSTATUS RegistryValue::WriteString(PCWSTR name, PCWSTR text) {
  // The text and its terminating null; size_t and ULONG are both 32 bits wide on i386.
  size_t bytes = (wcslen(text) + 1) * sizeof(WCHAR);
  return WriteValue(name, REG_SZ, const_cast<PWSTR>(text), ULONG(bytes));
}

NTSTATUS RegistryValue::WriteValue(PCWSTR name, ULONG type, PVOID bytes, ULONG length) {
  if (!NT_SUCCESS(keyPath.Status()))
    return keyPath.Status();
  if (keyPath.Text() == NULL)
    return STATUS_OBJECT_PATH_NOT_FOUND;
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, keyPath.Text(), name, type, bytes, length);
}

void RegistryValue::FreeValue() {
  PoolFree(data);
  data = NULL;
  valueType = REG_NONE;
  valueLength = 0;
}

// The object namespace of the emulated machine: the directories \Device,
// \?? (which \DosDevices names too) and \Driver, the named device objects in
// them, symbolic links, and the volume that drive C's files live on.
#include "IoInternal.h"
#include "KernelInternal.h"

namespace emu {
namespace io {
namespace {

const std::u16string kVolumePath = u"\\Device\\HarddiskVolume1";

// Components of a normalised path, from the first: "\A\B" -> {"A", "B"}.
bool SplitComponents(const std::u16string& path, std::u16string* rebuilt) {
  rebuilt->clear();
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos)
      end = path.size();
    if (end == start)
      return false;  // empty component: "\\" or a trailing "\"
    std::u16string component = path.substr(start, end - start);
    if (rebuilt->empty()) {
      std::u16string upper = Upcase(component);
      if (upper == u"DOSDEVICES" || upper == u"GLOBAL??")
        component = u"??";
    }
    *rebuilt += u'\\';
    *rebuilt += component;
    start = end + 1;
  }
  return true;
}

}  // namespace

ObjectNamespace& ObjectNamespace::Get() {
  static auto* space = new ObjectNamespace;
  return *space;
}

ObjectNamespace::ObjectNamespace() {
  Entry volume(Entry::kVolume);
  volume.path = kVolumePath;
  entries_[Upcase(kVolumePath)] = volume;
  Entry drive(Entry::kLink);
  drive.path = u"\\??\\C:";
  drive.target = kVolumePath;
  entries_[Upcase(drive.path)] = drive;
}

NTSTATUS ObjectNamespace::Normalize(const std::u16string& path, std::u16string* normalized) {
  if (path.empty())
    return STATUS_OBJECT_NAME_INVALID;
  if (path.find(u'\0') != std::u16string::npos)
    return STATUS_OBJECT_NAME_INVALID;
  if (path[0] != u'\\')
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (path.size() == 1) {
    *normalized = path;
    return STATUS_SUCCESS;
  }
  if (!SplitComponents(path, normalized))
    return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

bool ObjectNamespace::DirectoryExists(const std::u16string& key) const {
  return key.empty() || key == u"\\" || key == u"\\DEVICE" || key == u"\\??" || key == u"\\DRIVER";
}

NTSTATUS ObjectNamespace::CheckNewName(const std::u16string& path, std::u16string* key) const {
  *key = Upcase(path);
  size_t slash = key->rfind(u'\\');
  if (DirectoryExists(*key) || entries_.count(*key) != 0)
    return STATUS_OBJECT_NAME_COLLISION;
  if (!DirectoryExists(key->substr(0, slash)))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::InsertDevice(const std::u16string& path, PDEVICE_OBJECT device) {
  std::u16string key;
  NTSTATUS status = CheckNewName(path, &key);
  if (!NT_SUCCESS(status))
    return status;
  Entry entry(Entry::kDevice);
  entry.device = device;
  entry.path = path;
  entries_[key] = entry;
  return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveDevice(const std::u16string& path) {
  entries_.erase(Upcase(path));
}

NTSTATUS ObjectNamespace::InsertLink(const std::u16string& link, const std::u16string& target,
                                     DriverRecord* owner) {
  std::u16string key;
  NTSTATUS status = CheckNewName(link, &key);
  if (!NT_SUCCESS(status))
    return status;
  Entry entry(Entry::kLink);
  entry.target = target;
  entry.path = link;
  entry.owner = owner;
  entries_[key] = entry;
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::RemoveLink(const std::u16string& link) {
  auto it = entries_.find(Upcase(link));
  if (it == entries_.end() || it->second.kind != Entry::kLink)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  entries_.erase(it);
  return STATUS_SUCCESS;
}

std::u16string ObjectNamespace::LinkTarget(const std::u16string& link) const {
  auto it = entries_.find(Upcase(link));
  if (it == entries_.end() || it->second.kind != Entry::kLink)
    return std::u16string();
  return it->second.target;
}

bool ObjectNamespace::FindLinkOf(const DriverRecord* driver, std::u16string* link) const {
  for (const auto& item : entries_) {
    if (item.second.kind == Entry::kLink && item.second.owner == driver) {
      *link = item.second.path;
      return true;
    }
  }
  return false;
}

NTSTATUS ObjectNamespace::Resolve(const std::u16string& path, Resolved* resolved) const {
  std::u16string current;
  NTSTATUS status = Normalize(path, &current);
  if (!NT_SUCCESS(status))
    return status;
  // A chain of links longer than this is a loop.
  for (int reparse = 0; reparse < 32; ++reparse) {
    std::u16string key = Upcase(current);
    if (DirectoryExists(key))
      return STATUS_OBJECT_TYPE_MISMATCH;
    // The longest prefix, at a component boundary, that names an object.
    const Entry* found = nullptr;
    size_t end = key.size();
    while (end > 0) {
      auto it = entries_.find(key.substr(0, end));
      if (it != entries_.end()) {
        found = &it->second;
        break;
      }
      end = key.rfind(u'\\', end - 1);
    }
    if (found == nullptr) {
      // A missing object in an existing directory, or a missing directory.
      size_t slash = key.rfind(u'\\');
      return DirectoryExists(key.substr(0, slash)) ? STATUS_OBJECT_NAME_NOT_FOUND
                                                   : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string remainder = current.substr(end);
    switch (found->kind) {
      case Entry::kLink: {
        status = Normalize(found->target + remainder, &current);
        if (!NT_SUCCESS(status))
          return status;
        continue;
      }
      case Entry::kDevice:
        resolved->kind = Resolved::kDevice;
        resolved->device = found->device;
        resolved->remainder = remainder;
        return STATUS_SUCCESS;
      case Entry::kVolume:
        resolved->kind = Resolved::kVolume;
        resolved->device = nullptr;
        resolved->remainder = remainder;
        return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_INVALID;
}

}  // namespace io

PDEVICE_OBJECT FindDevice(const std::u16string& path) {
  std::lock_guard<std::mutex> guard(io::Lock());
  io::Resolved resolved;
  NTSTATUS status = io::ObjectNamespace::Get().Resolve(path, &resolved);
  if (!NT_SUCCESS(status) || resolved.kind != io::Resolved::kDevice ||
      !resolved.remainder.empty()) {
    return nullptr;
  }
  return resolved.device;
}

std::u16string SymbolicLinkTarget(const std::u16string& linkPath) {
  std::u16string normalized;
  if (!NT_SUCCESS(io::ObjectNamespace::Normalize(linkPath, &normalized)))
    return std::u16string();
  std::lock_guard<std::mutex> guard(io::Lock());
  return io::ObjectNamespace::Get().LinkTarget(normalized);
}

PDEVICE_OBJECT StackTop(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(io::Lock());
  return io::TopOfStack(device);
}

}  // namespace emu

using namespace emu;
using namespace emu::io;

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  std::u16string link;
  std::u16string target;
  NTSTATUS status = ObjectNamespace::Normalize(FromUnicodeString(SymbolicLinkName), &link);
  if (!NT_SUCCESS(status))
    return status;
  status = ObjectNamespace::Normalize(FromUnicodeString(DeviceName), &target);
  if (!NT_SUCCESS(status))
    return status;
  std::lock_guard<std::mutex> guard(Lock());
  // The link belongs to the driver of the device it names, or else to the
  // driver whose entry or unload routine creates it.
  DriverRecord* owner = CurrentDriver();
  Resolved resolved;
  if (NT_SUCCESS(ObjectNamespace::Get().Resolve(target, &resolved)) &&
      resolved.kind == Resolved::kDevice) {
    owner = FindDeviceRecord(resolved.device)->driver;
  }
  return ObjectNamespace::Get().InsertLink(link, target, owner);
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  internal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  std::u16string link;
  NTSTATUS status = ObjectNamespace::Normalize(FromUnicodeString(SymbolicLinkName), &link);
  if (!NT_SUCCESS(status))
    return status;
  std::lock_guard<std::mutex> guard(Lock());
  return ObjectNamespace::Get().RemoveLink(link);
}

// Objects, references and handles: the kernel's table and each user
// process's.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "emu/Object.h"
#include "emu/Process.h"
#include "IoInternal.h"
#include "KernelInternal.h"
#include "ObjectInternal.h"
#include "emu/BugCheck.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define EMU_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define EMU_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define EMU_POISON(address, size) ((void)(address), (void)(size))
#define EMU_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

struct _OBJECT_TYPE {
  const char* name;
  emu::ObjectDeleteProcedure deleteProcedure;
};

namespace emu {
namespace {

struct alignas(8) ObjectHeader {
  std::atomic<LONG> references;
  POBJECT_TYPE type;
  size_t size;  // the header's and the body's, for ObjectMemory
};

// A user process's handles take the lowest free value from 4 on, as
// Windows reuses a closed handle's value for the next one made.
struct ProcessTable {
  std::map<HANDLE, PVOID> handles;
  std::function<void(HANDLE, PVOID)> observer;
};

struct State {
  std::mutex lock;
  std::unordered_set<PVOID> live;
  // The kernel's table: its handles have the top bit set, as on i386 NT,
  // and are found only in kernel mode.
  std::map<HANDLE, PVOID> handles;
  ULONG_PTR nextHandle = 0x80000004;
  std::map<Process*, ProcessTable> processes;
};

constexpr ULONG_PTR KERNEL_HANDLE_BIT = 0x80000000;

bool IsKernelHandle(HANDLE handle) {
  return (reinterpret_cast<ULONG_PTR>(handle) & KERNEL_HANDLE_BIT) != 0;
}

State& S() {
  static State* state = new State;
  return *state;
}

// Object memory is recycled here rather than handed back to the host's
// allocator. The host's reuse of a freed block depends on which host thread
// freed it (per-thread caches, arenas handed from exiting threads to new
// ones), so an object's address would depend on timing, and a log names
// file objects by address: the same run could name them differently. One
// list for every thread, the most recently freed block of a size first,
// makes the address a function of the order of creations and deletions
// alone, as the kernel's lookaside lists make it. A block on the list is
// poisoned under AddressSanitizer, so a touch of a deleted object is still
// caught.
class ObjectMemory {
 public:
  static void* Take(size_t size) {
    {
      std::lock_guard<std::mutex> guard(Lock());
      std::vector<void*>& list = Free()[size];
      if (!list.empty()) {
        void* block = list.back();
        list.pop_back();
        EMU_UNPOISON(block, size);
        std::memset(block, 0, size);
        return block;
      }
    }
    return std::calloc(1, size);
  }

  static void Give(void* block, size_t size) {
    EMU_POISON(block, size);
    std::lock_guard<std::mutex> guard(Lock());
    Free()[size].push_back(block);
  }

 private:
  static std::mutex& Lock() {
    static auto* lock = new std::mutex;
    return *lock;
  }
  static std::map<size_t, std::vector<void*>>& Free() {
    static auto* free = new std::map<size_t, std::vector<void*>>;
    return *free;
  }
};

ObjectHeader* HeaderOf(PVOID body) {
  return static_cast<ObjectHeader*>(body) - 1;
}

// Bug-checks unless body is a live object; the caller holds the lock.
ObjectHeader* Checked(PVOID body, const char* service) {
  if (S().live.count(body) == 0) {
    BugCheck(REFERENCE_BY_POINTER, "%s of %p, which is not a live object (already deleted?)",
             service, body);
  }
  return HeaderOf(body);
}

// Device objects are built by the I/O manager outside this object table, but
// drivers may reference and dereference them like any object (a filter keeps
// the device it attached to). A pointer reference keeps the device object's
// memory after IoDeleteDevice: it counts in DEVICE_OBJECT.ReferenceCount,
// which the I/O manager checks before it frees a deleted device, and in
// deviceReferences, which tells them apart from the opens that share that
// count. Both are guarded by the I/O manager's lock.
std::map<PDEVICE_OBJECT, LONG>& DeviceReferences() {
  static auto* references = new std::map<PDEVICE_OBJECT, LONG>;
  return *references;
}

// Takes or drops a pointer reference to a device object. False when `body`
// is no device object (the caller then reports it).
bool ReferenceDevice(PVOID body, int delta, const char* service, LONG_PTR* left) {
  auto* device = static_cast<PDEVICE_OBJECT>(body);
  std::lock_guard<std::mutex> guard(io::Lock());
  io::DeviceRecord* record = io::FindDeviceRecord(device);
  if (record == nullptr)
    return false;
  LONG& mine = DeviceReferences()[device];
  if (delta < 0 && mine == 0) {
    DeviceReferences().erase(device);
    BugCheck(REFERENCE_BY_POINTER,
             "%s of device object %p, which holds no reference taken by ObReferenceObject "
             "(dereferenced more often than referenced)",
             service, body);
  }
  mine += delta;
  device->ReferenceCount += delta;
  *left = mine;
  if (mine == 0)
    DeviceReferences().erase(device);
  if (delta < 0)
    io::ReleaseDeviceIfUnused(device);
  return true;
}

}  // namespace

namespace internal {
LONG DeviceObjectReferences(PDEVICE_OBJECT device) {
  auto it = DeviceReferences().find(device);
  return it == DeviceReferences().end() ? 0 : it->second;
}
}  // namespace internal

POBJECT_TYPE CreateObjectType(const char* name, ObjectDeleteProcedure deleteProcedure) {
  return new _OBJECT_TYPE{name, deleteProcedure};
}

const char* ObjectTypeName(POBJECT_TYPE type) {
  return type ? type->name : "(none)";
}

PVOID CreateObject(POBJECT_TYPE type, size_t bodySize) {
  void* memory = ObjectMemory::Take(sizeof(ObjectHeader) + bodySize);
  auto* header = new (memory) ObjectHeader;
  header->references.store(1);
  header->type = type;
  header->size = sizeof(ObjectHeader) + bodySize;
  PVOID body = header + 1;
  std::lock_guard<std::mutex> guard(S().lock);
  S().live.insert(body);
  return body;
}

HANDLE CreateHandle(PVOID body) {
  std::lock_guard<std::mutex> guard(S().lock);
  Checked(body, "CreateHandle")->references.fetch_add(1);
  HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
  S().nextHandle += 4;
  S().handles[handle] = body;
  return handle;
}

HANDLE CreateProcessHandle(Process* process, PVOID body) {
  std::function<void(HANDLE, PVOID)> observer;
  HANDLE handle;
  {
    std::lock_guard<std::mutex> guard(S().lock);
    Checked(body, "CreateProcessHandle")->references.fetch_add(1);
    ProcessTable& table = S().processes[process];
    ULONG_PTR value = 4;
    while (table.handles.count(reinterpret_cast<HANDLE>(value)) != 0) value += 4;
    handle = reinterpret_cast<HANDLE>(value);
    table.handles[handle] = body;
    observer = table.observer;
  }
  if (observer)
    observer(handle, body);
  return handle;
}

std::vector<HANDLE> ProcessHandles(Process* process) {
  std::lock_guard<std::mutex> guard(S().lock);
  std::vector<HANDLE> handles;
  for (const auto& entry : S().processes[process].handles) handles.push_back(entry.first);
  return handles;
}

PVOID ProcessHandleObject(Process* process, HANDLE handle) {
  std::lock_guard<std::mutex> guard(S().lock);
  auto& handles = S().processes[process].handles;
  auto it = handles.find(handle);
  return it == handles.end() ? nullptr : it->second;
}

NTSTATUS CloseProcessHandle(Process* process, HANDLE handle) {
  PVOID body;
  {
    std::lock_guard<std::mutex> guard(S().lock);
    auto& handles = S().processes[process].handles;
    auto it = handles.find(handle);
    if (it == handles.end())
      return STATUS_INVALID_HANDLE;
    body = it->second;
    handles.erase(it);
  }
  ObfDereferenceObject(body);
  return STATUS_SUCCESS;
}

void SetHandleObserver(Process* process, std::function<void(HANDLE, PVOID)> observer) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().processes[process].observer = std::move(observer);
}

namespace internal {

HANDLE CreateHandleInContext(PVOID body, ULONG attributes) {
  Process* process = CurrentProcess();
  if ((attributes & OBJ_KERNEL_HANDLE) != 0 || process == SystemProcess())
    return CreateHandle(body);
  return CreateProcessHandle(process, body);
}

}  // namespace internal

namespace {

// The table a handle is looked up in from the current context: a kernel
// handle in the kernel's (kernel mode only), any other in the current
// process's. Null when the handle is in neither. The caller holds the lock.
std::map<HANDLE, PVOID>* TableFor(HANDLE handle, KPROCESSOR_MODE mode) {
  if (IsKernelHandle(handle))
    return mode == KernelMode ? &S().handles : nullptr;
  Process* process = CurrentProcess();
  if (process == SystemProcess())
    return nullptr;
  return &S().processes[process].handles;
}

}  // namespace

bool IsObject(PVOID body) {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().live.count(body) != 0;
}

POBJECT_TYPE ObjectType(PVOID body) {
  std::lock_guard<std::mutex> guard(S().lock);
  return Checked(body, "ObjectType")->type;
}

LONG ObjectReferenceCount(PVOID body) {
  std::lock_guard<std::mutex> guard(S().lock);
  return Checked(body, "ObjectReferenceCount")->references.load();
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().handles.size();
}

}  // namespace emu

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  std::lock_guard<std::mutex> guard(emu::S().lock);
  std::map<HANDLE, PVOID>* table = emu::TableFor(Handle, AccessMode);
  if (table == nullptr)
    return STATUS_INVALID_HANDLE;
  auto it = table->find(Handle);
  if (it == table->end())
    return STATUS_INVALID_HANDLE;
  emu::ObjectHeader* header = emu::HeaderOf(it->second);
  if (ObjectType != nullptr && header->type != ObjectType)
    return STATUS_OBJECT_TYPE_MISMATCH;
  header->references.fetch_add(1);
  *Object = it->second;
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    if (emu::S().live.count(Object) != 0)
      return emu::HeaderOf(Object)->references.fetch_add(1) + 1;
  }
  LONG_PTR left;
  if (emu::ReferenceDevice(Object, +1, "ObReferenceObject", &left))
    return left;
  std::lock_guard<std::mutex> guard(emu::S().lock);
  return emu::Checked(Object, "ObReferenceObject")->references.fetch_add(1) + 1;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  emu::internal::RequireIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
  bool isObject;
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    isObject = emu::S().live.count(Object) != 0;
  }
  LONG_PTR deviceLeft;
  if (!isObject && emu::ReferenceDevice(Object, -1, "ObDereferenceObject", &deviceLeft))
    return deviceLeft;
  emu::ObjectHeader* header;
  LONG left;
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    header = emu::Checked(Object, "ObDereferenceObject");
    left = header->references.fetch_sub(1) - 1;
    if (left == 0)
      emu::S().live.erase(Object);
  }
  if (left == 0) {
    if (header->type != nullptr && header->type->deleteProcedure != nullptr) {
      header->type->deleteProcedure(Object);
    }
    const size_t size = header->size;
    header->~ObjectHeader();
    emu::ObjectMemory::Give(header, size);
  }
  return left;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  PVOID body;
  {
    // A kernel-mode close of a handle that is not open in the current
    // context (the kernel's table, or the current process's) stops the
    // system, as NT's does for a kernel-mode caller.
    std::lock_guard<std::mutex> guard(emu::S().lock);
    std::map<HANDLE, PVOID>* table = emu::TableFor(Handle, KernelMode);
    auto it = table != nullptr ? table->find(Handle) : std::map<HANDLE, PVOID>::iterator();
    if (table == nullptr || it == table->end()) {
      emu::BugCheck(emu::INVALID_KERNEL_HANDLE,
                    "ZwClose of %p, which is not a handle open in the current context (process "
                    "%s)",
                    Handle, emu::ProcessName(emu::CurrentProcess()));
    }
    body = it->second;
    table->erase(it);
  }
  ObfDereferenceObject(body);
  return STATUS_SUCCESS;
}

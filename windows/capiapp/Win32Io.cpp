// The emulated I/O manager's host calls and the user-memory seam, for a
// Win32 program. capiapp.exe links the simulator's application code
// (sim/CapiApplication, sim/UserApplication, sim/MessageBuilder) unchanged,
// so that it sends the very bytes pellinor-sim's application sends. That
// code is written against emu::Open, Close, Read, Write, DeviceIoControl and
// DeviceIoControlUser; here they are what they stand for, the native calls
// a Win32 program makes, and nothing of emu/ is linked. ntdll's calls, not
// kernel32's, so that the status and the status block's Information come
// back as the driver left them. The handle is opened for synchronous I/O
// (SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT): the system waits for a
// request the driver leaves pending and returns its final status, so
// STATUS_PENDING never comes back. emu's <ntddk.h> only, never <windows.h>:
// the two declare the same types.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "emu/Io.h"
#include "sim/CapiDevice.h"
#include "sim/UserSpace.h"
#include "windows/capisim/ClientCodes.h"

// Not in emu's header, whose drivers never send one by handle. In user mode
// ntdll's Zw and Nt entries are the same calls.
NTSYSAPI NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event,
                                              PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                              PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                                              PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength);

// Every status block starts zeroed: Information stays 0 where the system
// does not write it (a request refused before it reached the driver, and on
// NT an error the driver completed at once, whatever Information it set).
namespace emu {

namespace {

// The handles of kernel-mode opens: each is a handle to the provider
// driver's test client, which holds the kernel-mode open behind it.
std::set<HANDLE>& ClientHandles() {
  static std::set<HANDLE> handles;
  return handles;
}

// What the client answered for the request it sent, as that request's
// status and information.
IoResult ClientAnswer(const IoResult& io, const std::vector<uint8_t>& answer) {
  if (!NT_SUCCESS(io.status))
    return IoResult{io.status, 0};
  if (io.information < sizeof(capisim::ClientResult))
    return IoResult{STATUS_INVALID_DEVICE_STATE, 0};
  capisim::ClientResult result;
  std::memcpy(&result, answer.data(), sizeof(result));
  return IoResult{NTSTATUS(result.status), result.information};
}

// A program has no kernel-mode opens of its own: the client makes one, of
// the provider's device only.
NTSTATUS OpenClient(const std::u16string& path, HANDLE* handle) {
  if (path != sim::kCapiDeviceName)
    return STATUS_NOT_SUPPORTED;
  HANDLE client = nullptr;
  NTSTATUS status = Open(capisim::kClientObjectPath, UserMode, &client);
  if (!NT_SUCCESS(status))
    return status;
  std::vector<uint8_t> answer(sizeof(capisim::ClientResult));
  status = ClientAnswer(DeviceIoControl(client, capisim::kClientOpen, nullptr, 0, answer.data(),
                                        ULONG(answer.size())),
                        answer)
               .status;
  if (!NT_SUCCESS(status)) {
    ZwClose(client);
    return status;
  }
  ClientHandles().insert(client);
  *handle = client;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Open(const std::u16string& path, KPROCESSOR_MODE mode, HANDLE* handle,
              ACCESS_MASK desiredAccess) {
  *handle = nullptr;
  if (mode != UserMode)
    return OpenClient(path, handle);
  // "\\.\NAME" is the Win32 spelling of "\??\NAME"; object paths go as they are.
  std::u16string objectPath = path;
  if (objectPath.compare(0, 4, u"\\\\.\\") == 0)
    objectPath = u"\\??\\" + objectPath.substr(4);
  if (objectPath.size() > 0x7FFE)
    return STATUS_OBJECT_NAME_INVALID;
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(objectPath.c_str()));
  name.Length = USHORT(objectPath.size() * sizeof(WCHAR));
  name.MaximumLength = USHORT(name.Length + sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  // The create request as the emulated I/O manager builds it: no sharing,
  // no attributes, an existing file that is no directory.
  IO_STATUS_BLOCK io = {};
  HANDLE opened = nullptr;
  const NTSTATUS status =
      ZwCreateFile(&opened, desiredAccess | SYNCHRONIZE, &attributes, &io, nullptr, 0, 0, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  if (NT_SUCCESS(status))
    *handle = opened;
  return status;
}

// The file's only handle: the driver gets its cleanup, and its close once
// the last reference to the file goes.
NTSTATUS Close(HANDLE handle) {
  // A kernel-mode open ends with its cleanup and close, sent by the client
  // before its own handle goes.
  if (ClientHandles().erase(handle) != 0) {
    std::vector<uint8_t> answer(sizeof(capisim::ClientResult));
    DeviceIoControl(handle, capisim::kClientClose, nullptr, 0, answer.data(), ULONG(answer.size()));
  }
  return ZwClose(handle);
}

// Reads and writes with the offset given, as the emulated calls pass one,
// so that the request's ByteOffset is the same on both. No event (emu's
// header types it as the kernel's PKEVENT; ntdll's is a handle).
static IoResult Transfer(decltype(&ZwReadFile) call, HANDLE handle, const void* buffer,
                         ULONG length, LONGLONG byteOffset) {
  IO_STATUS_BLOCK io = {};
  LARGE_INTEGER offset;
  offset.QuadPart = byteOffset;
  const NTSTATUS status = call(handle, nullptr, nullptr, nullptr, &io, const_cast<void*>(buffer),
                               length, &offset, nullptr);
  return IoResult{status, io.Information};
}

IoResult Read(HANDLE handle, void* buffer, ULONG length, LONGLONG byteOffset) {
  return Transfer(ZwReadFile, handle, buffer, length, byteOffset);
}

IoResult Write(HANDLE handle, const void* buffer, ULONG length, LONGLONG byteOffset) {
  return Transfer(ZwWriteFile, handle, buffer, length, byteOffset);
}

IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength) {
  IO_STATUS_BLOCK io = {};
  const NTSTATUS status =
      ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, code, const_cast<void*>(input),
                            inputLength, output, outputLength);
  return IoResult{status, io.Information};
}

// An internal I/O control of a kernel-mode open, sent by the client with
// kernel copies of the buffers. No system buffer: the applications pass
// none.
IoResult InternalDeviceIoControl(HANDLE handle, ULONG code, void* type3Input, ULONG inputLength,
                                 void* output, ULONG outputLength, void*) {
  if (ClientHandles().count(handle) == 0)
    return IoResult{STATUS_INVALID_HANDLE, 0};
  if (inputLength > capisim::kClientMaxData || outputLength > capisim::kClientMaxData)
    return IoResult{STATUS_INVALID_PARAMETER, 0};
  capisim::ClientControl head{code, inputLength, outputLength};
  std::vector<uint8_t> input(sizeof(head) + inputLength);
  std::memcpy(input.data(), &head, sizeof(head));
  if (inputLength != 0)
    std::memcpy(input.data() + sizeof(head), type3Input, inputLength);
  std::vector<uint8_t> answer(sizeof(capisim::ClientResult) + outputLength);
  const IoResult io = DeviceIoControl(handle, capisim::kClientControl, input.data(),
                                      ULONG(input.size()), answer.data(), ULONG(answer.size()));
  const IoResult result = ClientAnswer(io, answer);
  if (NT_SUCCESS(io.status) && outputLength != 0 &&
      io.information >= sizeof(capisim::ClientResult) + outputLength)
    std::memcpy(output, answer.data() + sizeof(capisim::ClientResult), outputLength);
  return result;
}

// The process's memory is its user memory: the same call.
IoResult DeviceIoControlUser(HANDLE handle, ULONG code, const void* userInput, ULONG inputLength,
                             void* userOutput, ULONG outputLength) {
  return DeviceIoControl(handle, code, userInput, inputLength, userOutput, outputLength);
}

}  // namespace emu

namespace sim {

// User memory is the heap, every address a user address, seen as itself.
// The application code cannot be told of a failed allocation (it would
// write through the null pointer), so there is none.
void* UserSpaceAlloc(size_t bytes) {
  void* block = std::calloc(1, bytes != 0 ? bytes : 1);
  if (block == nullptr)
    std::abort();
  return block;
}

void UserSpaceFree(void* userAddress) {
  std::free(userAddress);
}

bool UserSpaceContains(const void*, size_t) {
  return true;
}

void* UserSpaceView(const void* userAddress, size_t) {
  return const_cast<void*>(userAddress);
}

// On Windows the line offers a call by itself and a program cannot make it
// ring: an incoming call ends after LISTEN with "the line offered no call".
uint32_t InjectIncomingCall(const IncomingCall&, NTSTATUS* status) {
  if (status != nullptr)
    *status = STATUS_NOT_SUPPORTED;
  return 0;
}

}  // namespace sim

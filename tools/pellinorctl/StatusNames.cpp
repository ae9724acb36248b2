#include "tools/pellinorctl/StatusNames.h"

#include <cstdio>

namespace pellinorctl {
namespace {

struct CodeName {
  uint32_t code;
  const char* name;
};

// The statuses that the control device, the I/O manager and the object
// manager complete the tool's requests with.
constexpr CodeName ntStatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "kStatusPending"},
    {0x80000005, "kStatusBufferOverflow"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "kStatusBufferTooSmall"},
    {0xC0000024, "STATUS_OBJECT_TYPE_MISMATCH"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000043, "STATUS_SHARING_VIOLATION"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC00000E8, "STATUS_INVALID_USER_BUFFER"},
    {0xC0000120, "STATUS_CANCELLED"},
};

constexpr CodeName win32ErrorNames[] = {
    {0, "ERROR_SUCCESS"},
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {31, "ERROR_GEN_FAILURE"},
    {32, "ERROR_SHARING_VIOLATION"},
    {50, "ERROR_NOT_SUPPORTED"},
    {55, "ERROR_DEV_NOT_EXIST"},
    {87, "ERROR_INVALID_PARAMETER"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {123, "ERROR_INVALID_NAME"},
    {170, "ERROR_BUSY"},
    {1051, "ERROR_DEPENDENT_SERVICES_RUNNING"},
    {1052, "ERROR_INVALID_SERVICE_CONTROL"},
    {1056, "ERROR_SERVICE_ALREADY_RUNNING"},
    {1060, "ERROR_SERVICE_DOES_NOT_EXIST"},
    {1061, "ERROR_SERVICE_CANNOT_ACCEPT_CTRL"},
    {1062, "ERROR_SERVICE_NOT_ACTIVE"},
    {1072, "ERROR_SERVICE_MARKED_FOR_DELETE"},
    {1073, "ERROR_SERVICE_EXISTS"},
    {1078, "ERROR_DUPLICATE_SERVICE_NAME"},
    {1784, "ERROR_INVALID_USER_BUFFER"},
};

static_assert(sizeof(ntStatusNames) / sizeof(ntStatusNames[0]) == 24, "NTSTATUS names");
static_assert(sizeof(win32ErrorNames) / sizeof(win32ErrorNames[0]) == 26, "Win32 error names");

template <size_t N>
const char* Find(const CodeName (&table)[N], uint32_t code) {
  for (const CodeName& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return nullptr;
}

}  // namespace

const char* NtStatusName(uint32_t status) { return Find(ntStatusNames, status); }

const char* Win32ErrorName(uint32_t error) { return Find(win32ErrorNames, error); }

std::string DescribeResult(const ControlResult& result) {
  const bool nt = result.kind == ControlResult::Kind::NtStatus;
  const char* name = nt ? NtStatusName(result.code) : Win32ErrorName(result.code);
  char text[80];
  std::snprintf(text, sizeof text, "%s0x%08X %s", nt ? "" : "Win32 error ",
                static_cast<unsigned>(result.code), name ? name : "(unknown)");
  return text;
}

}  // namespace pellinorctl

#include "tools/pellinorctl/StatusNames.h"

#include <cstdio>
#include <cstring>

#include "trace/NameTables.h"

namespace pellinorctl {
namespace {

struct CodeName {
  uint32_t code;
  const char* name;
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

static_assert(sizeof(win32ErrorNames) / sizeof(win32ErrorNames[0]) == 26, "Win32 error names");

template <size_t N>
const char* Find(const CodeName (&table)[N], uint32_t code) {
  for (const CodeName& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return nullptr;
}

}  // namespace

// The driver's own table of the platform's status names, so that the tool
// and the trace name a status alike.
const char* NtStatusName(uint32_t status) {
  const char* name = ntStatusName(status);
  return std::strcmp(name, "STATUS_???") == 0 ? nullptr : name;
}

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
